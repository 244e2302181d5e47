#include "page_script.h"

#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "echo_module.h"
#include "ppapi/cpp/var_dictionary.h"

namespace {

class PageScriptTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(browser_.UseModule(new kelmora_test::EchoModule(), &error)) << error;
    instance_ = browser_.CreateInstance(&error);
    ASSERT_NE(0, instance_) << error;
    script_.reset(new pphost::PageScript(&browser_, instance_));
  }

  bool Run(const std::vector<std::string>& lines, std::string* error) {
    for (const auto& line : lines) {
      if (!script_->RunLine(line, error)) return false;
    }
    return true;
  }

  std::vector<std::string> Replies() {
    std::vector<std::string> replies;
    for (const auto& message : browser_.Messages())
      replies.push_back(pphost::VarToJson(pp::VarDictionary(message.message).Get(pp::Var("data"))));
    return replies;
  }

  pphost::Browser browser_;
  PP_Instance instance_ = 0;
  std::unique_ptr<pphost::PageScript> script_;
};

TEST_F(PageScriptTest, PostsMessagesAndAwaitsReplies) {
  std::string error;
  ASSERT_TRUE(Run({R"({"type":"start","data":{"config":"{}","chromeVersion":47.9}})", "",
                   R"("text")",
                   R"({"$await":"echo","match":{"type":"start","data":{"chromeVersion":47.9}}})",
                   R"({"$await":"echo","match":"text","timeout_ms":5000})",
                   R"({"$sleep":10})"},
                  &error))
      << error;
  EXPECT_EQ((std::vector<std::string>{
                R"({"data":{"chromeVersion":47.9,"config":"{}"},"type":"start","seen":true})",
                R"("text")"}),
            Replies());
  // Both replies were taken: a third await finds nothing.
  EXPECT_FALSE(script_->RunLine(R"({"$await":"echo","timeout_ms":50})", &error));
  EXPECT_EQ(R"(line 7: timed out after 50 ms waiting for "echo")", error);
}

TEST_F(PageScriptTest, AwaitMatchesContainedMembersOnly) {
  std::string error;
  ASSERT_TRUE(Run({R"({"state":"recording","time":1.5})"}, &error)) << error;
  EXPECT_FALSE(script_->RunLine(
      R"({"$await":"echo","match":{"state":"paused"},"timeout_ms":20})", &error));
  EXPECT_EQ(R"(line 2: timed out after 20 ms waiting for "echo" matching {"state":"paused"})",
            error);
  EXPECT_TRUE(script_->RunLine(R"({"$await":"echo","match":{"time":1.5}})", &error)) << error;
}

TEST_F(PageScriptTest, ErrorsNameTheLine) {
  std::string error;
  EXPECT_FALSE(Run({R"({"type":"x","data":{}})", "{not json"}, &error));
  EXPECT_EQ("line 2: not JSON: {not json", error);
  EXPECT_FALSE(script_->RunLine(R"({"$fly":1})", &error));
  EXPECT_EQ(R"(line 3: unknown directive: {"$fly":1})", error);
  EXPECT_FALSE(script_->RunLine(R"({"$sleep":"long"})", &error));
  EXPECT_EQ("line 4: $sleep wants a number of milliseconds", error);
  EXPECT_FALSE(script_->RunLine(R"({"data":{"$track":{}}})", &error));
  EXPECT_EQ("line 5: unknown script object $track", error);
  ASSERT_TRUE(script_->RunLine(R"({"$destroy":true})", &error));
  EXPECT_EQ(0, script_->instance());
  EXPECT_TRUE(browser_.LiveInstances().empty());
  EXPECT_FALSE(script_->RunLine(R"({"type":"x","data":{}})", &error));
  EXPECT_EQ("line 7: the instance was destroyed at line 6", error);
}

TEST_F(PageScriptTest, ScriptObjectsAndDirectivesCanBeAdded) {
  script_->AddScriptObject("$number", [](const Json::Value& value, pp::Var* var,
                                         std::string* error) {
    *var = pp::Var(value.asInt() * 2);
    return true;
  });
  int seen = 0;
  script_->AddDirective("$count", [&](const Json::Value& line, std::string* error) {
    seen = line["$count"].asInt();
    return true;
  });
  std::string error;
  ASSERT_TRUE(Run({R"({"value":{"$number":21}})", R"({"$count":3})",
                   R"({"$await":"echo","match":{"value":42}})"},
                  &error))
      << error;
  EXPECT_EQ(3, seen);
}

}  // namespace

namespace {

// Main-thread work keeps running while the script has no next line yet:
// here only that work supplies the line.
TEST_F(PageScriptTest, TheMainThreadRunsWhileTheScriptWaitsForInput) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  pp::Module::Get()->core()->CallOnMainThread(
      20, pp::platform::MakeFunctionCallback([&](int32_t) {
        const char line[] = "\"from main\"\n";
        EXPECT_EQ(static_cast<ssize_t>(sizeof(line) - 1), write(fds[1], line, sizeof(line) - 1));
        close(fds[1]);
      }));
  std::string error;
  ASSERT_TRUE(script_->RunFrom(fds[0], &error)) << error;
  close(fds[0]);
  EXPECT_EQ(std::vector<std::string>{"\"from main\""}, Replies());
}

}  // namespace
