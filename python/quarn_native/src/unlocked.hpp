// Core work with the interpreter lock released, so that other Python threads run meanwhile.
#pragma once

#include <Python.h>

#include <utility>

#include "quarn/interrupt.hpp"

namespace quarn::py {

// Whether this is the interpreter's main thread, the one its signal handlers run on. Needs the lock.
// False until find_main_thread() has succeeded.
bool on_main_thread() noexcept;
// Learns which thread is the main one; once, at module initialisation. False with an exception set.
bool find_main_thread() noexcept;

// An interrupt check for work that released the lock: `context` points to the saved thread state.
// Takes the lock back, runs the pending signal handlers, releases it again; an exception a handler
// raised stays set on the thread for the caller to return.
inline bool signal_raised_unlocked(void* context) noexcept {
  auto* state = static_cast<PyThreadState**>(context);
  PyEval_RestoreThread(*state);
  const bool raised = PyErr_CheckSignals() != 0;
  *state = PyEval_SaveThread();
  return raised;
}

// Runs work() without the interpreter lock and returns its result; the lock is taken back before
// anything, an exception included, reaches the caller. `work` must not touch Python objects: convert
// the arguments before, build the result objects after. Called with the lock held.
//
// On the main thread the core's interrupt check takes the lock back for a moment to run pending
// signal handlers, so that Ctrl-C stops the work; other threads never receive signals, and taking
// the lock there would only make them wait for it.
template <class Work>
decltype(auto) without_lock(Work&& work) {
  const bool main = on_main_thread();
  struct Relock {
    PyThreadState* state;
    ~Relock() { PyEval_RestoreThread(state); }
  } relock{PyEval_SaveThread()};
  const InterruptScope signals(main ? signal_raised_unlocked : nullptr, &relock.state);
  return std::forward<Work>(work)();
}

}  // namespace quarn::py
