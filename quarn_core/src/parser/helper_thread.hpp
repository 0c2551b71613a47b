// The second thread of a loading thread: kept from one file to the next, it inflates beside the parse
// and parses a later part of a large text.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace quarn::detail {

// A load or parse in progress in this process, for as long as it exists; one per thread however
// nested (a load parses). The count decides whether loads use their helpers and spin_until spins.
class ActiveParse {
 public:
  ActiveParse() noexcept;
  ~ActiveParse();
  ActiveParse(const ActiveParse&) = delete;
  ActiveParse& operator=(const ActiveParse&) = delete;
};

// True while every parse in progress, and `more` about to start, can have a core for each of its
// two threads. Why loads ask it before handing work to their helpers: with more threads than cores,
// each hand-over waits for a core, and two loading threads on two cores did less than one.
bool cores_to_spare(unsigned more = 0) noexcept;

// How long spin_until polls: shorter than one wake, or, for a caller that knows the other side has
// just been woken, about one wake and what follows it.
constexpr auto kSpin = std::chrono::microseconds(40);
constexpr auto kSpinAfterWake = std::chrono::microseconds(120);

// Polls `ready` for up to `limit` before the caller goes to sleep; true once it held.
// Why: the two threads of a load hand over several times per file, and waking a sleeping thread
// costs 15 to 50 us on a virtual machine, as much as parsing 10 KB. The spin stays about as short as
// one wake, so it costs little where the other side is slow; and it is skipped when parses in
// progress outnumber half the cores, where it would take the core the other side needs. Never throws.
template <class Ready>
bool spin_until(Ready ready, std::chrono::microseconds limit = kSpin) noexcept {
  if (!cores_to_spare()) return ready();
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (unsigned round = 1;; ++round) {
    if (ready()) return true;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
    if (round % 32 == 0 && std::chrono::steady_clock::now() >= deadline) return ready();
  }
}

// Why a kept thread rather than one per file: starting and joining a thread costs about 100 us on a
// virtual machine, a tenth of loading a typical archive entry; waking a waiting one costs 15 to 50,
// and both sides spin briefly before they sleep (spin_until), so that a job that follows another
// soon, or ends soon, is handed over without a wake.
//
// Each thread that loads gets its own helper, started on first use and stopped when that thread
// exits. Jobs run one at a time. Jobs never throw and never ask the
// interrupt check (it belongs to the loading thread); whoever starts one waits for it before the
// memory it uses goes away. A forked child starts a helper of its own: the parent's does not exist
// there.
class HelperThread {
 public:
  using Job = void (*)(void* context) noexcept;
  using Ticket = std::uint64_t;

  // The calling thread's helper, started now if it has none. Null when no thread can be started
  // (the job is then the caller's to do). Never throws.
  static HelperThread* of_this_thread() noexcept;

  // Runs job(context) on the helper; first waits for the job started before it, should that one not
  // have returned yet. Never throws, never allocates. Call only from the owning thread.
  Ticket start(Job job, void* context) noexcept;
  // Wakes a sleeping helper ahead of a job that the owner is about to start, so that the wake
  // passes while the owner still works (reading the file it will inflate). The helper then waits for
  // the job spinning, for a while; not when the owner's parse would leave too few cores for
  // spinning (see spin_until). Never throws. Call only from the owning thread.
  void warm() noexcept;
  // Returns once the job of `ticket` has returned (at once for 0, the ticket of no job).
  void wait(Ticket ticket) noexcept;
  // The same, giving up after `timeout`: true when the job has returned.
  bool wait_for(Ticket ticket, std::chrono::microseconds timeout) noexcept;

  HelperThread(const HelperThread&) = delete;
  HelperThread& operator=(const HelperThread&) = delete;
  ~HelperThread();

 private:
  HelperThread() = default;
  void run() noexcept;
  bool returned(Ticket ticket) const noexcept { return finished_.load(std::memory_order_acquire) >= ticket; }

  std::mutex mutex_;
  std::condition_variable wake_;  // the helper waits here for work
  std::condition_variable done_;  // the owner waits here for a finished job
  Job job_ = nullptr;             // the pending job, guarded by mutex_
  void* context_ = nullptr;
  // Tickets handed out and jobs returned: written under mutex_, read without it while spinning.
  std::atomic<Ticket> started_{0};
  std::atomic<Ticket> finished_{0};
  // Who sleeps on a condition variable, guarded by mutex_: the other side notifies only then.
  bool helper_sleeps_ = false;
  bool warmed_ = false;  // woken by warm(), no job yet
  int owners_sleeping_ = 0;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace quarn::detail
