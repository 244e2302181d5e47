#include "browser.h"

#include <string>

#include <json/json.h>
#include <gtest/gtest.h>

#include "echo_module.h"
#include "page_script.h"
#include "ppapi/cpp/var_dictionary.h"
#include "var_json.h"

namespace {

using pphost::Browser;

class BrowserTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(browser_.UseModule(new kelmora_test::EchoModule(), &error)) << error;
  }

  PP_Instance Create() {
    std::string error;
    PP_Instance instance = browser_.CreateInstance(&error);
    EXPECT_NE(0, instance) << error;
    return instance;
  }

  static pp::Var Message(const std::string& json) {
    Json::Value value;
    Json::Reader().parse(json, value);
    pp::Var var;
    std::string error;
    EXPECT_TRUE(pphost::JsonToVar(value, {}, &var, &error)) << error;
    return var;
  }

  static std::function<bool(const pp::Var&)> DataIs(const std::string& json) {
    Json::Value pattern;
    Json::Reader().parse("{\"data\":" + json + "}", pattern);
    return [pattern](const pp::Var& var) { return pphost::VarMatches(var, pattern); };
  }

  Browser browser_;
};

TEST_F(BrowserTest, PageMessagesReachTheInstanceOnTheMainThreadAsCopies) {
  PP_Instance instance = Create();
  pp::Var sent = Message(R"({"type":"start","data":{"n":1}})");
  browser_.PostToInstance(instance, sent);
  pp::Var reply;
  ASSERT_TRUE(browser_.Await(instance, [](const pp::Var&) { return true; }, 60000, &reply));
  pp::VarDictionary envelope(reply);
  EXPECT_TRUE(envelope.Get(pp::Var("main")).AsBool());
  // (The script's JSON reader gives members in name order.)
  EXPECT_EQ(R"({"data":{"n":1},"type":"start","seen":true})",
            pphost::VarToJson(envelope.Get(pp::Var("data"))));
  // The page's own message is untouched.
  EXPECT_FALSE(pp::VarDictionary(sent).HasKey(pp::Var("seen")));
}

TEST_F(BrowserTest, EachMessageIsAwaitedOnceAndEarlierOnesCount) {
  PP_Instance instance = Create();
  browser_.PostToInstance(instance, Message("1"));
  browser_.PostToInstance(instance, Message("2"));
  browser_.PostToInstance(instance, Message("1"));
  browser_.RunUntilIdle();
  // Already received: found without waiting, and in order.
  EXPECT_TRUE(browser_.Await(instance, DataIs("2"), 0, nullptr));
  EXPECT_TRUE(browser_.Await(instance, DataIs("1"), 0, nullptr));
  EXPECT_TRUE(browser_.Await(instance, DataIs("1"), 0, nullptr));
  EXPECT_FALSE(browser_.Await(instance, DataIs("1"), 100, nullptr));
  EXPECT_FALSE(browser_.Await(instance, DataIs("2"), 0, nullptr));
  std::vector<pphost::ReceivedMessage> messages = browser_.Messages();
  ASSERT_EQ(3u, messages.size());
  for (const auto& message : messages) EXPECT_TRUE(message.awaited);
}

TEST_F(BrowserTest, InstancesAreKeptApart) {
  PP_Instance first = Create();
  PP_Instance second = Create();
  EXPECT_NE(first, second);
  browser_.PostToInstance(second, Message("\"to second\""));
  browser_.PostToInstance(first, Message("\"log\""));
  EXPECT_TRUE(browser_.Await(second, DataIs("\"to second\""), 60000, nullptr));
  EXPECT_FALSE(browser_.Await(first, DataIs("\"to second\""), 0, nullptr));
  std::vector<pphost::ConsoleLine> console = browser_.ConsoleLines();
  ASSERT_EQ(1u, console.size());
  EXPECT_EQ(first, console[0].instance);
  EXPECT_EQ(PP_LOGLEVEL_LOG, console[0].level);
  EXPECT_EQ("echo log", console[0].text);

  browser_.DestroyInstance(first);
  EXPECT_EQ(std::vector<PP_Instance>{second}, browser_.LiveInstances());
  // A message for a destroyed instance is dropped.
  browser_.PostToInstance(first, Message("3"));
  browser_.RunUntilIdle();
  EXPECT_EQ(1u, browser_.Messages().size());
}

TEST_F(BrowserTest, ThePageKeepsOnlyTheNewestUnawaitedMessagesOfEachType) {
  PP_Instance instance = Create();
  const int states = static_cast<int>(Browser::kUnawaitedKeptPerType) + 40;
  browser_.PostToInstance(instance, Message(R"({"reply_type":"start"})"));
  for (int i = 0; i < states; ++i) {
    browser_.PostToInstance(instance, Message(R"({"reply_type":"state","n":)" +
                                              std::to_string(i) + "}"));
  }
  browser_.RunUntilIdle();
  EXPECT_EQ(1 + Browser::kUnawaitedKeptPerType, browser_.Messages().size());
  // The one reply of its type is still there however many states came after.
  auto type_is = [](const std::string& type) {
    return [type](const pp::Var& var) {
      return pp::VarDictionary(var).Get(pp::Var("type")).AsString() == type;
    };
  };
  EXPECT_TRUE(browser_.Await(instance, type_is("start"), 0, nullptr));
  // The oldest states went; the first one left is the oldest kept.
  pp::Var first;
  ASSERT_TRUE(browser_.Await(instance, type_is("state"), 0, &first));
  const int oldest_kept = states - static_cast<int>(Browser::kUnawaitedKeptPerType);
  EXPECT_EQ(R"({"n":)" + std::to_string(oldest_kept) + R"(,"reply_type":"state","seen":true})",
            pphost::VarToJson(pp::VarDictionary(first).Get(pp::Var("data"))));
  // Awaited messages stay, and make room among the unawaited of their type.
  browser_.PostToInstance(instance, Message(R"({"reply_type":"state","n":-1})"));
  browser_.RunUntilIdle();
  EXPECT_EQ(2 + Browser::kUnawaitedKeptPerType, browser_.Messages().size());
}

TEST(BrowserLoadTest, LoadingNeedsAModuleWithAFactory) {
  Browser browser;
  std::string error;
  EXPECT_FALSE(browser.LoadModule("/nonexistent/module.so", &error));
  EXPECT_NE(std::string::npos, error.find("cannot load module"));
  EXPECT_EQ(0, browser.CreateInstance(&error));
  EXPECT_EQ("no module loaded", error);
  // A library without pp::CreateModule is no module.
  EXPECT_FALSE(browser.LoadModule(std::string(KELMORA_BUILD_DIR) + "/libppplatform.so", &error));
  EXPECT_NE(std::string::npos, error.find("has no pp::CreateModule"));
}

}  // namespace
