#include "ppapi/utility/completion_callback_factory.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ppapi/c/pp_errors.h"
#include "ppapi/cpp/var_dictionary.h"

namespace {

class Owner {
 public:
  Owner() : factory_(this) {}

  pp::CompletionCallbackFactory<Owner, pp::ThreadSafeThreadTraits>& factory() {
    return factory_;
  }

  void OnDone(int32_t result) { log += "done " + std::to_string(result) + ";"; }
  void OnData(int32_t result, const pp::VarDictionary& data, int generation) {
    log += "data " + data.Get(pp::Var("key")).AsString() + " " + std::to_string(generation) +
           ";";
  }
  void OnFrame(int32_t result, const std::string& frame, int generation) {
    log += "frame " + frame + " " + std::to_string(result) + " " +
           std::to_string(generation) + ";";
  }

  std::string log;

 private:
  pp::CompletionCallbackFactory<Owner, pp::ThreadSafeThreadTraits> factory_;
};

TEST(CompletionCallbackFactoryTest, CallsTheMethodWithTheArgumentsAsTheyWereThen) {
  Owner owner;
  pp::CompletionCallback done = owner.factory().NewCallback(&Owner::OnDone);
  pp::VarDictionary data;
  data.Set(pp::Var("key"), pp::Var("first"));
  int generation = 3;
  pp::CompletionCallback with_data = owner.factory().NewCallback(&Owner::OnData, data, generation);
  generation = 4;
  EXPECT_FALSE(done.IsOptional());
  EXPECT_TRUE(owner.factory().NewOptionalCallback(&Owner::OnDone).IsOptional());
  done.Run(PP_ERROR_ABORTED);
  with_data.Run(PP_OK);
  EXPECT_EQ("done -3;data first 3;", owner.log);
}

TEST(CompletionCallbackFactoryTest, OutputIsStoredBeforeTheCallbackRuns) {
  Owner owner;
  pp::CompletionCallbackWithOutput<std::string> callback =
      owner.factory().NewCallbackWithOutput(&Owner::OnFrame, 7);
  ASSERT_NE(nullptr, callback.output());
  *callback.output() = "I420";
  // Copies share the output and the one run.
  pp::CompletionCallbackWithOutput<std::string> copy = callback;
  copy.Run(PP_OK);
  EXPECT_EQ("frame I420 0 7;", owner.log);
}

TEST(CompletionCallbackFactoryTest, CallbacksOfAGoneOwnerDoNothing) {
  pp::CompletionCallback late;
  pp::CompletionCallback cancelled;
  std::string log_after_cancel;
  {
    Owner owner;
    cancelled = owner.factory().NewCallback(&Owner::OnDone);
    owner.factory().CancelAll();
    cancelled.Run(PP_OK);
    pp::CompletionCallback fresh = owner.factory().NewCallback(&Owner::OnDone);
    fresh.Run(PP_OK);
    log_after_cancel = owner.log;
    late = owner.factory().NewCallback(&Owner::OnData, pp::VarDictionary(), 1);
  }
  EXPECT_EQ("done 0;", log_after_cancel);
  // Runs on another thread after the owner is gone: nothing happens.
  std::thread other([&] { late.Run(PP_OK); });
  other.join();
}

TEST(CompletionCallbackFactoryTest, PlainFunctionCallbacks) {
  int seen = 0;
  pp::CompletionCallback callback(
      [](void* user_data, int32_t result) { *static_cast<int*>(user_data) = result; }, &seen);
  EXPECT_FALSE(callback.is_empty());
  callback.Run(42);
  EXPECT_EQ(42, seen);
  EXPECT_TRUE(pp::CompletionCallback().is_empty());
  EXPECT_TRUE(pp::CompletionCallback(nullptr, nullptr).is_empty());
}

TEST(CompletionCallbackFactoryDeathTest, RunningOneCallbackTwiceStopsTheModule) {
  Owner owner;
  pp::CompletionCallback callback = owner.factory().NewCallback(&Owner::OnDone);
  callback.Run(PP_OK);
  EXPECT_DEATH(callback.Run(PP_OK), "completion callback run twice");
}

}  // namespace
