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

}  // namespace

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
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [this] { return finished_ == started_; });
  job_ = job;
  context_ = context;
  const Ticket ticket = ++started_;
  lock.unlock();
  wake_.notify_one();
  return ticket;
}

void HelperThread::wait(Ticket ticket) noexcept {
  if (ticket == 0) return;
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [this, ticket] { return finished_ >= ticket; });
}

bool HelperThread::wait_for(Ticket ticket, std::chrono::microseconds timeout) noexcept {
  if (ticket == 0) return true;
  std::unique_lock<std::mutex> lock(mutex_);
  return done_.wait_for(lock, timeout, [this, ticket] { return finished_ >= ticket; });
}

void HelperThread::run() noexcept {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || job_ != nullptr; });
    if (job_ == nullptr) return;
    const Job job = job_;
    void* const context = context_;
    job_ = nullptr;
    lock.unlock();
    job(context);
    lock.lock();
    ++finished_;
    done_.notify_all();
  }
}

}  // namespace quarn::detail
