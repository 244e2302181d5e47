#include "ppapi/cpp/message_loop.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ppapi/c/pp_errors.h"
#include "ppapi/cpp/core.h"
#include "ppapi/cpp/module.h"
#include "ppapi/utility/threading/simple_thread.h"
#include "ppplatform/browser.h"
#include "ppplatform/pending_completion.h"

namespace {

using pp::platform::MakeFunctionCallback;
using Clock = std::chrono::steady_clock;

class NoInstances : public pp::Module {
 public:
  pp::Instance* CreateInstance(PP_Instance) override { return nullptr; }
};

// The test runner's thread is the browser's main thread, with a module for
// pp::Module::Get()->core().
void EnsureBrowser() {
  static bool ready = [] {
    pp::platform::BecomeMainThread();
    return pp::platform::ModuleHost::InitializeModule(new NoInstances(), 1);
  }();
  ASSERT_TRUE(ready);
}

pp::Core* core() { return pp::Module::Get()->core(); }

// Collects what ran, in order, from any thread.
struct Trace {
  std::mutex mutex;
  std::vector<std::string> entries;
  void Add(const std::string& entry) {
    std::lock_guard<std::mutex> lock(mutex);
    entries.push_back(entry);
  }
  std::vector<std::string> Get() {
    std::lock_guard<std::mutex> lock(mutex);
    return entries;
  }
  size_t size() {
    std::lock_guard<std::mutex> lock(mutex);
    return entries.size();
  }
};

bool WaitFor(const std::function<bool()>& done) {
  return pp::platform::RunMainLoopUntil(done, 60000);
}

TEST(MessageLoopTest, WorkRunsOnTheThreadInDueOrder) {
  EnsureBrowser();
  pp::SimpleThread thread(pp::InstanceHandle(1));
  Trace trace;
  pp::MessageLoop loop = thread.message_loop();
  // Posted before the thread runs: kept until it does.
  auto start = Clock::now();
  ASSERT_EQ(PP_OK, loop.PostWork(MakeFunctionCallback([&](int32_t result) {
                                   trace.Add("late " + std::to_string(result));
                                 }),
                                 150));
  for (int i = 0; i < 3; ++i) {
    loop.PostWork(MakeFunctionCallback([&, i](int32_t) {
      bool on_loop = pp::MessageLoop::GetCurrent() == pp::MessageLoop(thread.message_loop());
      trace.Add("now " + std::to_string(i) + (on_loop ? "" : " elsewhere") +
                (core()->IsMainThread() ? " main" : ""));
    }));
  }
  Clock::time_point late_ran;
  loop.PostWork(MakeFunctionCallback([&](int32_t) {
                  late_ran = Clock::now();
                  trace.Add("last");
                }),
                300);
  ASSERT_TRUE(thread.Start());
  EXPECT_FALSE(thread.Start());
  ASSERT_TRUE(WaitFor([&] { return trace.size() == 5; }));
  EXPECT_EQ((std::vector<std::string>{"now 0", "now 1", "now 2", "late 0", "last"}), trace.Get());
  EXPECT_GE(late_ran - start, std::chrono::milliseconds(300));
  EXPECT_TRUE(thread.Join());
  EXPECT_FALSE(thread.Join());
}

TEST(MessageLoopTest, JoinFinishesDueWorkAndDropsDelayedWork) {
  EnsureBrowser();
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> watch = token;
  std::atomic<int> due_ran{0};
  std::atomic<bool> delayed_ran{false};
  pp::MessageLoop loop;
  {
    pp::SimpleThread thread(pp::InstanceHandle(1));
    loop = thread.message_loop();
    ASSERT_TRUE(thread.Start());
    loop.PostWork(MakeFunctionCallback([&](int32_t) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      ++due_ran;
    }));
    loop.PostWork(MakeFunctionCallback([&](int32_t) { ++due_ran; }));
    loop.PostWork(MakeFunctionCallback([&, token](int32_t) { delayed_ran = true; }), 60000);
    token.reset();
    auto start = Clock::now();
    EXPECT_TRUE(thread.Join());
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
  }
  EXPECT_EQ(2, due_ran.load());
  EXPECT_FALSE(delayed_ran.load());
  // The dropped work was freed with everything it held.
  EXPECT_TRUE(watch.expired());
  // A destroyed loop takes no more work.
  EXPECT_EQ(PP_ERROR_FAILED, loop.PostWork(MakeFunctionCallback([](int32_t) {})));
  EXPECT_EQ(PP_ERROR_FAILED, loop.PostQuit(true));
}

TEST(MessageLoopTest, RefusesMisuse) {
  EnsureBrowser();
  pp::MessageLoop null_loop;
  EXPECT_EQ(PP_ERROR_BADRESOURCE, null_loop.PostWork(MakeFunctionCallback([](int32_t) {})));
  pp::MessageLoop loop(pp::InstanceHandle(1));
  EXPECT_EQ(PP_ERROR_BADARGUMENT, loop.PostWork(pp::CompletionCallback()));
  // Not attached to this thread.
  EXPECT_EQ(PP_ERROR_WRONG_THREAD, loop.Run());
  // This thread (the main thread) has a loop already.
  EXPECT_EQ(PP_ERROR_INPROGRESS, loop.AttachToCurrentThread());
  // Nobody quits or runs the browser's main loop.
  pp::MessageLoop main = pp::MessageLoop::GetForMainThread();
  EXPECT_EQ(PP_ERROR_WRONG_THREAD, main.PostQuit(false));
  EXPECT_EQ(PP_ERROR_INPROGRESS, main.Run());
  // A plain thread has no loop until it attaches one; a loop attaches once.
  std::thread plain([&] {
    EXPECT_TRUE(pp::MessageLoop::GetCurrent().is_null());
    EXPECT_EQ(PP_OK, loop.AttachToCurrentThread());
    EXPECT_EQ(loop, pp::MessageLoop::GetCurrent());
    pp::MessageLoop other(pp::InstanceHandle(1));
    EXPECT_EQ(PP_ERROR_INPROGRESS, other.AttachToCurrentThread());
    // Run until a quit that keeps the loop; then run again.
    int runs = 0;
    loop.PostWork(MakeFunctionCallback([&](int32_t) { ++runs; }));
    loop.PostQuit(false);
    EXPECT_EQ(PP_OK, loop.Run());
    loop.PostWork(MakeFunctionCallback([&](int32_t) { ++runs; }));
    loop.PostQuit(true);
    EXPECT_EQ(PP_OK, loop.Run());
    EXPECT_EQ(2, runs);
    EXPECT_TRUE(pp::MessageLoop::GetCurrent().is_null());
  });
  plain.join();
}

TEST(CoreTest, CallOnMainThreadRunsThereAfterTheDelay) {
  EnsureBrowser();
  EXPECT_TRUE(core()->IsMainThread());
  pp::SimpleThread thread(pp::InstanceHandle(1));
  ASSERT_TRUE(thread.Start());
  std::atomic<bool> worker_is_main{true};
  std::atomic<int32_t> got{0};
  std::atomic<bool> ran_on_main{false};
  Clock::time_point posted;
  Clock::time_point ran;
  thread.message_loop().PostWork(MakeFunctionCallback([&](int32_t) {
    worker_is_main = core()->IsMainThread();
    posted = Clock::now();
    core()->CallOnMainThread(200, MakeFunctionCallback([&](int32_t result) {
                               ran = Clock::now();
                               ran_on_main = core()->IsMainThread();
                               got = result;
                             }),
                             -7);
  }));
  ASSERT_TRUE(WaitFor([&] { return got.load() != 0; }));
  EXPECT_FALSE(worker_is_main.load());
  EXPECT_TRUE(ran_on_main.load());
  EXPECT_EQ(-7, got.load());
  EXPECT_GE(ran - posted, std::chrono::milliseconds(200));
}

TEST(CoreTest, TimeTicksAreMonotonicSeconds) {
  EnsureBrowser();
  double first = core()->GetTimeTicks();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  double second = core()->GetTimeTicks();
  EXPECT_GE(second - first, 0.05);
  EXPECT_LT(second - first, 60.0);
  // Wall-clock time is seconds since the epoch (after 2020).
  EXPECT_GT(core()->GetTime(), 1.5e9);
}

TEST(CompletionCallbackTest, MayForceRunsARequiredCallbackLaterOnTheMainThread) {
  EnsureBrowser();
  int32_t got = 0;
  pp::CompletionCallback callback = MakeFunctionCallback([&](int32_t result) { got = result; });
  EXPECT_EQ(PP_OK_COMPLETIONPENDING, callback.MayForce(PP_ERROR_FAILED));
  EXPECT_EQ(0, got);
  ASSERT_TRUE(WaitFor([&] { return got != 0; }));
  EXPECT_EQ(PP_ERROR_FAILED, got);
  // Pending or optional: the caller's result stands.
  pp::CompletionCallback optional = MakeFunctionCallback([](int32_t) {});
  optional.set_flags(PP_COMPLETIONCALLBACK_FLAG_OPTIONAL);
  EXPECT_EQ(PP_OK, optional.MayForce(PP_OK));
  EXPECT_EQ(PP_OK_COMPLETIONPENDING, callback.MayForce(PP_OK_COMPLETIONPENDING));
}

TEST(PendingCompletionTest, CompletesOnTheCallersLoopFromAnyThread) {
  EnsureBrowser();
  pp::SimpleThread caller(pp::InstanceHandle(1));
  ASSERT_TRUE(caller.Start());
  pp::platform::PendingCompletion<pp::CompletionCallbackWithOutput<std::string>> pending;
  std::atomic<bool> bound{false};
  std::atomic<bool> done{false};
  std::atomic<bool> on_caller{false};
  std::string output;
  int32_t result = 0;
  caller.message_loop().PostWork(MakeFunctionCallback([&](int32_t) {
    struct Body : pp::internal::OutputCallbackBody<std::string> {
      std::function<void(int32_t, const std::string&)> run;
      void Run(int32_t r) override { run(r, output_); }
    };
    auto callback_body = std::make_shared<Body>();
    callback_body->run = [&](int32_t r, const std::string& value) {
      on_caller = pp::MessageLoop::GetCurrent() == caller.message_loop();
      output = value;
      result = r;
      done = true;
    };
    EXPECT_EQ(PP_OK_COMPLETIONPENDING,
              pending.Bind(pp::CompletionCallbackWithOutput<std::string>(callback_body)));
    bound = true;
  }));
  ASSERT_TRUE(WaitFor([&] { return bound.load(); }));
  // The platform completes from a thread of its own.
  std::thread platform([&] {
    *pending.callback().output() = "frame";
    pending.Complete(PP_OK);
  });
  platform.join();
  EXPECT_FALSE(pending.is_pending());
  ASSERT_TRUE(WaitFor([&] { return done.load(); }));
  EXPECT_TRUE(on_caller.load());
  EXPECT_EQ("frame", output);
  EXPECT_EQ(PP_OK, result);

  // A thread without a loop cannot make asynchronous calls.
  std::thread no_loop([] {
    pp::platform::PendingCompletion<> orphan;
    EXPECT_EQ(PP_ERROR_NO_MESSAGE_LOOP, orphan.Bind(MakeFunctionCallback([](int32_t) {})));
    // A blocking call needs none.
    EXPECT_EQ(PP_OK_COMPLETIONPENDING, orphan.Bind(pp::CompletionCallback()));
  });
  no_loop.join();
}

TEST(SimpleThreadTest, ThreadsAreNamedForDebuggers) {
  EnsureBrowser();
  pp::SimpleThread first(pp::InstanceHandle(1));
  pp::SimpleThread second(pp::InstanceHandle(1));
  ASSERT_TRUE(first.Start());
  ASSERT_TRUE(second.Start());
  std::mutex mutex;
  std::vector<std::string> names;
  for (pp::SimpleThread* thread : {&first, &second}) {
    thread->message_loop().PostWork(MakeFunctionCallback([&](int32_t) {
      char name[16] = {};
      pthread_getname_np(pthread_self(), name, sizeof(name));
      std::lock_guard<std::mutex> lock(mutex);
      names.push_back(name);
    }));
  }
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return names.size() == 2;
  }));
  EXPECT_EQ(0u, names[0].rfind("pp_thread_", 0)) << names[0];
  EXPECT_EQ(0u, names[1].rfind("pp_thread_", 0)) << names[1];
  EXPECT_NE(names[0], names[1]);
}

}  // namespace
