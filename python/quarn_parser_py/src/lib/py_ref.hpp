// Owned Python references and the boundary every call crosses: no C++ exception reaches the interpreter.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <string_view>
#include <utility>

#include "quarn/interrupt.hpp"
#include "quarn/memory.hpp"

namespace quarn::py {

// One strong reference, released on scope exit; the binding holds every new object in one of these
// so that an early return or a C++ exception never leaks a partial result.
class Ref {
 public:
  Ref() noexcept = default;
  explicit Ref(PyObject* owned) noexcept : p_(owned) {}
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(p_);
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Hands the reference to the caller (or to a call that steals it).
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }

 private:
  PyObject* p_ = nullptr;
};

// Holds the interpreter's cyclic garbage collector off while a large result is built, and restores
// its state afterwards. Why: every 700 new container objects start a collection, and building a million
// row lists spends more time in those collections than in making the lists; what the binding builds
// holds no reference cycles for a collection to find. Runs no interpreter code (no import, no call
// through the interpreter), so no pending signal handler runs and no exception is set or cleared.
// Never fails: before prepare_collector_pause() has succeeded, the result is built with it running.
class CollectorPause {
 public:
  CollectorPause() noexcept;
  ~CollectorPause();
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
  bool paused_ = false;
};

// Finds, once at module initialisation, how CollectorPause reaches the collector on the running
// interpreter. False with an exception set when that fails.
bool prepare_collector_pause() noexcept;

// Whether the running interpreter is at least major.minor: the binary is built for 3.9 and must pick
// newer features at run time.
bool python_at_least(int major, int minor) noexcept;

// The exception type for broken invariants: derived directly from BaseException so that a broad
// `except Exception` never swallows a defect. Created on first use; nullptr (with an exception set)
// only when even that fails.
PyObject* internal_error_type() noexcept;

// Sets the internal-error exception with `message`; always returns nullptr.
PyObject* raise_internal(const char* message) noexcept;

// Sets MemoryError with `message`; always returns nullptr.
PyObject* raise_memory(const char* message) noexcept;

// A str from UTF-8 text; text that is not UTF-8 breaks a reader invariant and raises the internal
// error instead of a UnicodeDecodeError.
PyObject* text(std::string_view utf8) noexcept;

// The interrupt check of a call that holds the interpreter lock: runs the pending signal handlers
// (on the main thread; elsewhere it returns at once) and says stop when one raised.
inline bool signal_raised(void*) noexcept { return PyErr_CheckSignals() != 0; }

// Runs `body` (returning a new reference, or nullptr with an exception set) and turns any C++
// exception into a Python one: std::bad_alloc into MemoryError (with the core's text of what did not
// fit when it gives one), Interrupted into the exception a signal handler raised, anything else into
// the internal error.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (const quarn::Interrupted&) {
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    return nullptr;
  } catch (const quarn::MemoryShortage& e) {
    return raise_memory(e.what());  // says what did not fit
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_internal(e.what());
  } catch (...) {
    return raise_internal("unknown internal failure");
  }
}

// guarded, for calls whose core work may be long (parse and the queries; not the getters, which
// would only pay for the check): the core asks between its steps whether a signal handler raised
// (Ctrl-C's KeyboardInterrupt, a timeout's exception), and the handler's exception is then the call's.
template <class Body>
PyObject* interruptible(Body&& body) noexcept {
  return guarded([&]() -> PyObject* {
    const quarn::InterruptScope signals(signal_raised, nullptr);
    return std::forward<Body>(body)();
  });
}

}  // namespace quarn::py
