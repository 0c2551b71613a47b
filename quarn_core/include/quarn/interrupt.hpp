// Asking a long call to stop (Ctrl-C). Whoever calls into the core may install a check on its thread
// for the length of the call; the core asks it at interruption points spread through its long loops
// (reading, parsing, pair searches, sorting, result building), at most every few milliseconds, and
// once the check says stop the call unwinds by throwing Interrupted. Whatever the call had made is
// freed on the way out; a cache it was building stays unbuilt (see Structure), never half made.
//
// Thread safety: the check belongs to the thread that installed it and is asked only on that thread;
// threads the core starts never ask it (they see the stop through their search's status instead), and
// asking on them is safe and says no. Without an installed check nothing is ever interrupted. Nothing
// here allocates, thread-local memory included. At most 64 threads have a check at once; a scope
// beyond them installs nothing, and its call runs to the end.
#pragma once

#include <exception>

namespace quarn {

// A call that stopped because its caller's check asked it to, before it had its answer.
struct Interrupted : std::exception {
  const char* what() const noexcept override { return "the call was interrupted"; }
};

// Returns true when the running call should stop. Called only on the installing thread, with
// whatever locks that thread held when it called into the core; must not throw.
using InterruptCheck = bool (*)(void* context) noexcept;

// Installs `check` on this thread until destruction, then restores the previous one (scopes nest).
class InterruptScope {
 public:
  InterruptScope(InterruptCheck check, void* context) noexcept;
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  void* slot_ = nullptr;  // where this thread's check is kept; null when none could be had
  bool nested_ = false;   // the thread had a scope already: restore it rather than free the slot
  InterruptCheck check_;
  void* context_;
  bool requested_;
  long long next_ns_;
};

// True when this thread has a check installed.
bool interrupt_watched() noexcept;

// Asks this thread's check, when there is one and the last question was long enough ago; once it
// said stop, true until the scope ends. Costs a clock read between questions: call it every few
// thousand items of work, not per item.
bool interrupt_requested() noexcept;

// Throws Interrupted when interrupt_requested().
inline void interruption_point() {
  if (interrupt_requested()) throw Interrupted();
}

}  // namespace quarn
