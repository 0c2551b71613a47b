#include "helper_thread.hpp"

#include <unistd.h>

#include <new>

namespace quarn::detail {

namespace {

struct Holder {
  HelperThread* helper = nullptr;
  pid_t pid = 0;
  // In a forked child the helper's thread does not exist, and joining it would never return: the
  // child's copy is left alone.
  ~Holder() {
    if (helper != nullptr && pid == getpid()) delete helper;
  }
};

thread_local Holder holder;

std::atomic<unsigned> active_parses{0};
thread_local unsigned parse_depth = 0;  // this thread's ActiveParse objects

unsigned core_count() noexcept {
  static const unsigned cores = std::thread::hardware_concurrency();
  return cores;
}

}  // namespace

ActiveParse::ActiveParse() noexcept {
  if (parse_depth++ == 0) active_parses.fetch_add(1, std::memory_order_relaxed);
}
ActiveParse::~ActiveParse() {
  if (--parse_depth == 0) active_parses.fetch_sub(1, std::memory_order_relaxed);
}

bool cores_to_spare(unsigned more) noexcept {
  return 2 * (active_parses.load(std::memory_order_relaxed) + more) <= core_count();
}

HelperThread* HelperThread::of_this_thread() noexcept {
  const pid_t pid = getpid();
  if (holder.helper != nullptr && holder.pid == pid) return holder.helper;
  auto* helper = new (std::nothrow) HelperThread;
  if (helper == nullptr) return nullptr;
  try {
    helper->thread_ = std::thread([helper] { helper->run(); });
  } catch (...) {
    delete helper;
    return nullptr;
  }
  holder.helper = helper;
  holder.pid = pid;
  return helper;
}

HelperThread::~HelperThread() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

HelperThread::Ticket HelperThread::start(Job job, void* context) noexcept {
  // Only the owner hands out tickets: started_ cannot change under it.
  const Ticket previous = started_.load(std::memory_order_relaxed);
  spin_until([this, previous] { return returned(previous); });
  std::unique_lock<std::mutex> lock(mutex_);
  if (!returned(previous)) {
    ++owners_sleeping_;
    done_.wait(lock, [this, previous] { return returned(previous); });
    --owners_sleeping_;
  }
  job_ = job;
  context_ = context;
  const Ticket ticket = previous + 1;
  started_.store(ticket, std::memory_order_release);
  const bool sleeps = helper_sleeps_;
  lock.unlock();
  if (sleeps) wake_.notify_one();
  return ticket;
}

void HelperThread::warm() noexcept {
  // The owner's load already counts among the parses: without a core for each thread, the helper's
  // spin would take the one another parse needs.
  if (!cores_to_spare()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  if (!helper_sleeps_) return;
  warmed_ = true;
  lock.unlock();
  wake_.notify_one();
}

void HelperThread::wait(Ticket ticket) noexcept {
  while (!wait_for(ticket, std::chrono::hours(1))) {
  }
}

bool HelperThread::wait_for(Ticket ticket, std::chrono::microseconds timeout) noexcept {
  if (spin_until([this, ticket] { return returned(ticket); })) return true;
  std::unique_lock<std::mutex> lock(mutex_);
  ++owners_sleeping_;
  const bool done = done_.wait_for(lock, timeout, [this, ticket] { return returned(ticket); });
  --owners_sleeping_;
  return done;
}

void HelperThread::run() noexcept {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (job_ == nullptr && !stop_) {
      // A load often starts its next job soon after the last one ended (the split after the inflater),
      // and a warmed helper's job is on its way.
      const auto limit = warmed_ ? kSpinAfterWake : kSpin;
      warmed_ = false;
      lock.unlock();
      spin_until([this] { return started_.load(std::memory_order_acquire) != finished_.load(std::memory_order_relaxed); },
                 limit);
      lock.lock();
      if (job_ == nullptr && !stop_) {
        helper_sleeps_ = true;
        wake_.wait(lock, [this] { return stop_ || job_ != nullptr || warmed_; });
        helper_sleeps_ = false;
        if (job_ == nullptr && !stop_) continue;  // warmed: spin for the job
      }
    }
    if (job_ == nullptr) return;
    const Job job = job_;
    void* const context = context_;
    job_ = nullptr;
    lock.unlock();
    job(context);
    lock.lock();
    finished_.store(finished_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    if (owners_sleeping_ > 0) done_.notify_all();
  }
}

}  // namespace quarn::detail
