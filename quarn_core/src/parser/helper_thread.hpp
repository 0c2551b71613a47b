// The second thread of a loading thread: kept from one file to the next, it inflates beside the parse
// and parses a later part of a large text.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace quarn::detail {

// Why a kept thread rather than one per file: starting and joining a thread costs about 100 us on a
// virtual machine, a tenth of loading a typical archive entry; waking a waiting one costs a few.
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

  std::mutex mutex_;
  std::condition_variable wake_;  // the helper waits here for work
  std::condition_variable done_;  // the owner waits here for a finished job
  Job job_ = nullptr;             // the pending job, guarded by mutex_
  void* context_ = nullptr;
  Ticket started_ = 0;            // tickets handed out, guarded by mutex_
  Ticket finished_ = 0;           // jobs returned, guarded by mutex_
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace quarn::detail
