#include "quarn/interrupt.hpp"

#include <pthread.h>

#include <atomic>
#include <chrono>

namespace quarn {

namespace {

// Often enough to answer Ctrl-C well within a quarter of a second, rarely enough that a check which
// takes the interpreter lock back costs nothing measurable.
constexpr long long kPollNs = 5'000'000;

// The installed checks, one slot per thread that has one, found by the thread's id. Why not a
// thread_local: in a module loaded at run time, a thread's first touch of thread-local data allocates
// it, and a search's worker that cannot get that memory ends the process; a worker here only reads
// the slots' owners. Only the owner touches the rest of its slot.
struct Slot {
  std::atomic<pthread_t> owner{0};
  InterruptCheck check = nullptr;
  void* context = nullptr;
  bool requested = false;
  long long next_ns = 0;
};

constexpr int kSlots = 64;
Slot slots[kSlots];
std::atomic<int> claimed{0};

Slot* own_slot() noexcept {
  if (claimed.load(std::memory_order_acquire) == 0) return nullptr;
  const pthread_t self = pthread_self();
  for (Slot& s : slots) {
    if (s.owner.load(std::memory_order_relaxed) == self) return &s;
  }
  return nullptr;
}

long long now_ns() noexcept {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

InterruptScope::InterruptScope(InterruptCheck check, void* context) noexcept
    : check_(nullptr), context_(nullptr), requested_(false), next_ns_(0) {
  Slot* s = own_slot();
  nested_ = s != nullptr;
  if (s == nullptr) {
    const pthread_t self = pthread_self();
    for (Slot& candidate : slots) {
      pthread_t none = 0;
      if (candidate.owner.compare_exchange_strong(none, self, std::memory_order_acq_rel)) {
        s = &candidate;
        claimed.fetch_add(1, std::memory_order_release);
        break;
      }
    }
  }
  slot_ = s;
  if (s == nullptr) return;  // more callers at once than slots: this call cannot be interrupted
  check_ = s->check;
  context_ = s->context;
  requested_ = s->requested;
  next_ns_ = s->next_ns;
  s->check = check;
  s->context = context;
  s->requested = false;
  s->next_ns = 0;
}

InterruptScope::~InterruptScope() {
  auto* s = static_cast<Slot*>(slot_);
  if (s == nullptr) return;
  s->check = check_;
  s->context = context_;
  s->requested = requested_;
  s->next_ns = next_ns_;
  if (!nested_) {
    s->owner.store(0, std::memory_order_release);
    claimed.fetch_sub(1, std::memory_order_release);
  }
}

bool interrupt_watched() noexcept {
  const Slot* s = own_slot();
  return s != nullptr && s->check != nullptr;
}

bool interrupt_requested() noexcept {
  Slot* s = own_slot();
  if (s == nullptr || s->check == nullptr) return false;
  if (s->requested) return true;
  const long long now = now_ns();
  if (now < s->next_ns) return false;
  s->next_ns = now + kPollNs;
  s->requested = s->check(s->context);
  return s->requested;
}

}  // namespace quarn
