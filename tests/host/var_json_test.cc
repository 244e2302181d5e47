#include "var_json.h"

#include <gtest/gtest.h>

#include "ppapi/cpp/var_array.h"
#include "ppapi/cpp/var_dictionary.h"

namespace {

pp::Var FromJson(const std::string& text) {
  Json::Value value;
  EXPECT_TRUE(Json::Reader().parse(text, value));
  pp::Var var;
  std::string error;
  EXPECT_TRUE(pphost::JsonToVar(value, {}, &var, &error)) << error;
  return var;
}

TEST(VarJsonTest, NumbersConvertAsTheScriptEngineDoes) {
  EXPECT_TRUE(FromJson("47").is_int());
  EXPECT_TRUE(FromJson("47.0").is_int());
  EXPECT_TRUE(FromJson("-2147483648").is_int());
  EXPECT_TRUE(FromJson("47.9").is_double());
  EXPECT_TRUE(FromJson("3000000000").is_double());
  EXPECT_TRUE(FromJson("-0.0").is_double());
  EXPECT_EQ(47, FromJson("47.9").AsInt());
}

TEST(VarJsonTest, PrintsOneLineInKeyOrder) {
  pp::VarDictionary message;
  message.Set(pp::Var("type"), pp::Var("state"));
  pp::VarDictionary data;
  data.Set(pp::Var("state"), pp::Var("recording"));
  data.Set(pp::Var("time"), pp::Var(-0.5));
  data.Set(pp::Var("fps"), pp::Var(-1.0));
  data.Set(pp::Var("ratio"), pp::Var(0.1));
  data.Set(pp::Var("droppedAudioTime"), pp::Var(int32_t{0}));
  data.Set(pp::Var("text"), pp::Var("a\"b\\c\nd\t\x01"));
  pp::VarArray list;
  list.Set(0, pp::Var(true));
  list.Set(1, pp::Var(pp::Var::Null()));
  list.Set(2, pp::Var());
  data.Set(pp::Var("list"), list);
  message.Set(pp::Var("data"), data);
  EXPECT_EQ(
      R"({"type":"state","data":{"state":"recording","time":-0.5,"fps":-1,"ratio":0.1,)"
      R"("droppedAudioTime":0,"text":"a\"b\\c\nd\t\u0001","list":[true,null,null]}})",
      pphost::VarToJson(message));
}

TEST(VarJsonTest, RoundTrip) {
  const char* text = R"({"a":[1,2.5,"x",{"b":false}],"c":null})";
  pp::Var var = FromJson(text);
  Json::Value back;
  ASSERT_TRUE(Json::Reader().parse(pphost::VarToJson(var), back));
  Json::Value original;
  Json::Reader().parse(text, original);
  EXPECT_EQ(original, back);
}

TEST(VarJsonTest, MatchesContainment) {
  pp::Var data = FromJson(R"({"state":"started","progressMs":1000,"nested":{"a":1,"b":2}})");
  auto matches = [&](const std::string& pattern) {
    Json::Value value;
    Json::Reader().parse(pattern, value);
    return pphost::VarMatches(data, value);
  };
  EXPECT_TRUE(matches("{}"));
  EXPECT_TRUE(matches(R"({"state":"started"})"));
  EXPECT_TRUE(matches(R"({"progressMs":1000.0})"));
  EXPECT_TRUE(matches(R"({"nested":{"b":2}})"));
  EXPECT_FALSE(matches(R"({"state":"done"})"));
  EXPECT_FALSE(matches(R"({"missing":null})"));
  EXPECT_FALSE(matches(R"({"progressMs":"1000"})"));
  EXPECT_FALSE(matches(R"("started")"));
  EXPECT_TRUE(pphost::VarMatches(pp::Var(false), Json::Value(false)));
  EXPECT_FALSE(pphost::VarMatches(pp::Var("false"), Json::Value(false)));
}

}  // namespace
