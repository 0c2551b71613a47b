#include "parser/helper_thread.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
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
