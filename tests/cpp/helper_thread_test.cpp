#include "parser/helper_thread.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using quarn::detail::HelperThread;

struct Record {
  std::thread::id ran_on;
  int order = 0;
  std::atomic<int>* counter = nullptr;
};

void record(void* context) noexcept {
  auto* r = static_cast<Record*>(context);
  r->ran_on = std::this_thread::get_id();
  r->order = r->counter->fetch_add(1) + 1;
}

TEST(HelperThread, KeptPerLoadingThreadAndRunsJobsInTurn) {
  HelperThread* helper = HelperThread::of_this_thread();
  ASSERT_NE(helper, nullptr);
  EXPECT_EQ(HelperThread::of_this_thread(), helper);
  std::atomic<int> counter{0};
  Record a{{}, 0, &counter}, b{{}, 0, &counter};
  const auto ta = helper->start(record, &a);
  const auto tb = helper->start(record, &b);
  helper->wait(tb);
  helper->wait(ta);
  helper->wait(0);
  EXPECT_EQ(a.order, 1);
  EXPECT_EQ(b.order, 2);
  EXPECT_NE(a.ran_on, std::this_thread::get_id());
  EXPECT_EQ(a.ran_on, b.ran_on);

  HelperThread* other = nullptr;
  std::thread([&other] { other = HelperThread::of_this_thread(); }).join();
  EXPECT_NE(other, helper);
}

// Jobs and waits that end before, within and after the spin of the other side: a wake lost between
// spinning and sleeping hangs here.
TEST(HelperThread, HandsOverWhetherTheOtherSideSpinsOrSleeps) {
  HelperThread* helper = HelperThread::of_this_thread();
  ASSERT_NE(helper, nullptr);
  struct Pause {
    std::chrono::microseconds job;
    std::atomic<int> runs{0};
  } pause;
  const auto job = [](void* context) noexcept {
    auto* p = static_cast<Pause*>(context);
    if (p->job.count() > 0) std::this_thread::sleep_for(p->job);
    p->runs.fetch_add(1);
  };
  constexpr int kRounds = 600;
  for (int i = 0; i < kRounds; ++i) {
    const std::chrono::microseconds steps[] = {std::chrono::microseconds(0), std::chrono::microseconds(20),
                                               std::chrono::microseconds(150)};
    pause.job = steps[i % 3];
    if (i % 4 == 1) {  // woken ahead: the job comes while it spins, or after it slept again
      helper->warm();
      std::this_thread::sleep_for(2 * steps[(i / 4) % 3]);
    }
    const HelperThread::Ticket ticket = helper->start(job, &pause);
    if (i % 5 == 0) std::this_thread::sleep_for(steps[(i / 3) % 3]);
    if (i % 2 == 0) {
      helper->wait(ticket);
    } else {
      while (!helper->wait_for(ticket, std::chrono::microseconds(30))) {
      }
    }
    ASSERT_EQ(pause.runs.load(), i + 1);
  }
}

TEST(HelperThread, AForkedChildGetsAHelperOfItsOwn) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer cannot start threads in a forked child";
#endif
  HelperThread* parent = HelperThread::of_this_thread();
  ASSERT_NE(parent, nullptr);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    HelperThread* helper = HelperThread::of_this_thread();
    std::atomic<int> counter{0};
    Record r{{}, 0, &counter};
    if (helper != nullptr) helper->wait(helper->start(record, &r));
    _exit(helper != nullptr && r.order == 1 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
