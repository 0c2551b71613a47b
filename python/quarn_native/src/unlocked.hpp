// Core work with the interpreter lock released, so that other Python threads run meanwhile.
#pragma once

#include <Python.h>

#include <utility>

namespace quarn::py {

// Runs work() without the interpreter lock and returns its result; the lock is taken back before
// anything, an exception included, reaches the caller. `work` must not touch Python objects: convert
// the arguments before, build the result objects after. Called with the lock held.
template <class Work>
decltype(auto) without_lock(Work&& work) {
  struct Relock {
    PyThreadState* state;
    ~Relock() { PyEval_RestoreThread(state); }
  } relock{PyEval_SaveThread()};
  return std::forward<Work>(work)();
}

}  // namespace quarn::py
