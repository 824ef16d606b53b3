#include "server/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

namespace kestrel {
namespace {

using namespace std::chrono_literals;

// A derived class that sets its field only at the very end of a slow
// constructor: Execute must still see it set.
class LateFieldThread : public TThread {
 protected:
  LateFieldThread(std::promise<std::string>* seen, std::promise<void>* deleted)
      : seen_(seen), deleted_(deleted) {
    SetFreeOnTerminate(true);
    std::this_thread::sleep_for(50ms);
    field_ = "constructed";
  }
  ~LateFieldThread() override { deleted_->set_value(); }
  void Execute() override { seen_->set_value(field_); }

 private:
  std::promise<std::string>* seen_;
  std::promise<void>* deleted_;
  std::string field_;
};

TEST(TThread, ExecuteStartsAfterTheWholeConstructor) {
  std::promise<std::string> seen;
  std::promise<void> deleted;
  StartThread<LateFieldThread>(&seen, &deleted);
  auto value = seen.get_future();
  ASSERT_EQ(value.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(value.get(), "constructed");
  EXPECT_EQ(deleted.get_future().wait_for(5s), std::future_status::ready);
}

class PollingThread : public TThread {
 public:
  std::atomic<int> passes{0};

 protected:
  PollingThread() : TThread(64 * 1024) {}
  void Execute() override {
    while (!Terminated()) {
      ++passes;
      std::this_thread::sleep_for(1ms);
    }
  }
};

TEST(TThread, TerminateOnlySetsTheFlagThatExecutePolls) {
  PollingThread* thread = StartThread<PollingThread>();
  ASSERT_TRUE([&] {
    for (int i = 0; i < 5000 && thread->passes == 0; ++i)
      std::this_thread::sleep_for(1ms);
    return thread->passes > 0;
  }());
  EXPECT_FALSE(thread->Terminated());
  thread->Terminate();
  EXPECT_TRUE(thread->Terminated());
  thread->WaitFor();
  const int passes = thread->passes;
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(thread->passes, passes);
  delete thread;
}

class ThrowingThread : public TThread {
 protected:
  explicit ThrowingThread(std::promise<void>* deleted) : deleted_(deleted) {
    SetFreeOnTerminate(true);
  }
  ~ThrowingThread() override { deleted_->set_value(); }
  void Execute() override { throw std::runtime_error("escaped"); }

 private:
  std::promise<void>* deleted_;
};

TEST(TThread, EscapingExceptionStillFreesTheThread) {
  std::promise<void> deleted;
  StartThread<ThrowingThread>(&deleted);
  EXPECT_EQ(deleted.get_future().wait_for(5s), std::future_status::ready);
}

class FailingConstructor : public TThread {
 protected:
  explicit FailingConstructor(std::atomic<bool>* ran) : ran_(ran) {
    throw std::runtime_error("no resources");
  }
  void Execute() override { *ran_ = true; }

 private:
  std::atomic<bool>* ran_;
};

TEST(TThread, FailedConstructionStartsNothing) {
  std::atomic<bool> ran{false};
  EXPECT_THROW(StartThread<FailingConstructor>(&ran), std::runtime_error);
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace kestrel
