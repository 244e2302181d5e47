#include "edit_config_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelmora {
namespace {

struct ParseOutcome {
  bool ok = false;
  EditConfig config;
  std::string error_output;
};

ParseOutcome Parse(const std::string& text) {
  ParseOutcome outcome;
  testing::internal::CaptureStderr();
  outcome.ok = ParseEditConfig(text, &outcome.config);
  outcome.error_output = testing::internal::GetCapturedStderr();
  return outcome;
}

// A text with both file names and `extra` members after them.
std::string WithNames(const std::string& extra) {
  std::string text = R"({"inFilename": "/html5_persistent/in.webm", )"
                     R"("outFilename": "/html5_persistent/out.mp4")";
  if (!extra.empty()) {
    text += ", " + extra;
  }
  return text + "}";
}

const char kConversionLinePrefix[] = "Failed to parse edit config: ";

bool IsConversionFailure(const ParseOutcome& outcome) {
  return !outcome.ok &&
         outcome.error_output.rfind(kConversionLinePrefix, 0) == 0 &&
         outcome.error_output.back() == '\n' &&
         outcome.error_output.find('\n') == outcome.error_output.size() - 1;
}

TEST(EditConfigParserTest, FileNamesAloneGiveDefaults) {
  ParseOutcome outcome = Parse(WithNames(""));
  ASSERT_TRUE(outcome.ok);
  EXPECT_EQ(outcome.error_output, "");
  EXPECT_EQ(outcome.config.inFilename, "/html5_persistent/in.webm");
  EXPECT_EQ(outcome.config.outFilename, "/html5_persistent/out.mp4");
  EXPECT_FALSE(outcome.config.trim);
  EXPECT_FALSE(outcome.config.crop);
  EXPECT_FALSE(outcome.config.scale);
  EXPECT_EQ(outcome.config.outFormat, 0);
  EXPECT_EQ(outcome.config.fps, 0);
}

TEST(EditConfigParserTest, FullConfigIsReadIntoEveryField) {
  ParseOutcome outcome = Parse(WithNames(
      R"("trim": {"start": 1.5, "end": 4}, )"
      R"("crop": {"left": 20, "top": 10, "width": 101, "height": 51}, )"
      R"("scale": {"width": 640, "height": 480}, "outFormat": "mp4", )"
      R"("fps": 15, "unknownKey": [1, 2], "Fps": 99)"));
  ASSERT_TRUE(outcome.ok) << outcome.error_output;
  ASSERT_TRUE(outcome.config.trim);
  EXPECT_DOUBLE_EQ(outcome.config.trim->start, 1.5);
  EXPECT_DOUBLE_EQ(outcome.config.trim->end, 4.0);
  ASSERT_TRUE(outcome.config.crop);
  EXPECT_EQ(outcome.config.crop->left, 20);
  EXPECT_EQ(outcome.config.crop->top, 10);
  EXPECT_EQ(outcome.config.crop->width, 101);
  EXPECT_EQ(outcome.config.crop->height, 51);
  ASSERT_TRUE(outcome.config.scale);
  EXPECT_EQ(outcome.config.scale->width, 640);
  EXPECT_EQ(outcome.config.scale->height, 480);
  EXPECT_EQ(outcome.config.outFormat, 2);
  EXPECT_EQ(outcome.config.fps, 15);
}

TEST(EditConfigParserTest, MissingOrEmptyFileNamesFail) {
  for (const char* text : {"{}", "null"}) {
    ParseOutcome neither = Parse(text);
    EXPECT_FALSE(neither.ok) << text;
    EXPECT_EQ(neither.error_output, "Missing required string 'inFilename'\n")
        << text;
  }

  ParseOutcome null_in = Parse(R"({"inFilename": null, "outFilename": "o"})");
  EXPECT_FALSE(null_in.ok);
  EXPECT_EQ(null_in.error_output, "Missing required string 'inFilename'\n");

  ParseOutcome empty_out =
      Parse(R"({"inFilename": "/in.webm", "outFilename": ""})");
  EXPECT_FALSE(empty_out.ok);
  EXPECT_EQ(empty_out.error_output,
            "Missing required string 'outFilename'\n");
  EXPECT_EQ(empty_out.config.inFilename, "/in.webm");

  // Key names are case-sensitive.
  ParseOutcome wrong_case =
      Parse(R"({"infilename": "/in.webm", "outFilename": "o"})");
  EXPECT_FALSE(wrong_case.ok);
  EXPECT_EQ(wrong_case.error_output,
            "Missing required string 'inFilename'\n");
}

TEST(EditConfigParserTest, FileNamesFollowTheLibraryStringConversion) {
  ParseOutcome boolean = Parse(R"({"inFilename": true, "outFilename": "o"})");
  ASSERT_TRUE(boolean.ok);
  EXPECT_EQ(boolean.config.inFilename, "true");

  EXPECT_TRUE(IsConversionFailure(
      Parse(R"({"inFilename": 5, "outFilename": "o"})")));
  EXPECT_TRUE(IsConversionFailure(
      Parse(R"({"inFilename": "i", "outFilename": {"a": 1}})")));
}

TEST(EditConfigParserTest, EmptyBlocksCountAsAbsent) {
  for (const char* empty : {"null", "{}", "[]"}) {
    std::string extra = std::string("\"trim\": ") + empty + ", \"crop\": " +
                        empty + ", \"scale\": " + empty;
    ParseOutcome outcome = Parse(WithNames(extra));
    ASSERT_TRUE(outcome.ok) << empty;
    EXPECT_FALSE(outcome.config.trim) << empty;
    EXPECT_FALSE(outcome.config.crop) << empty;
    EXPECT_FALSE(outcome.config.scale) << empty;
  }
}

TEST(EditConfigParserTest, BlockMembersDefaultToZeroAndAreNotValidated) {
  ParseOutcome outcome = Parse(WithNames(
      R"("trim": {"start": 2}, "scale": {"width": 640}, )"
      R"("crop": {"width": -3, "left": -7, "extra": "x"})"));
  ASSERT_TRUE(outcome.ok) << outcome.error_output;
  EXPECT_DOUBLE_EQ(outcome.config.trim->start, 2.0);
  EXPECT_DOUBLE_EQ(outcome.config.trim->end, 0.0);
  EXPECT_EQ(outcome.config.scale->width, 640);
  EXPECT_EQ(outcome.config.scale->height, 0);
  EXPECT_EQ(outcome.config.crop->width, -3);
  EXPECT_EQ(outcome.config.crop->left, -7);
  EXPECT_EQ(outcome.config.crop->top, 0);
  EXPECT_EQ(outcome.config.crop->height, 0);

  ParseOutcome reversed =
      Parse(WithNames(R"("trim": {"start": 9.25, "end": 3})"));
  ASSERT_TRUE(reversed.ok);
  EXPECT_DOUBLE_EQ(reversed.config.trim->start, 9.25);
  EXPECT_DOUBLE_EQ(reversed.config.trim->end, 3.0);
}

TEST(EditConfigParserTest, BlockMembersFollowTheLibraryNumberConversions) {
  ParseOutcome outcome = Parse(WithNames(
      R"("crop": {"width": 100.9, "height": true, "left": null, "top": -2.7}, )"
      R"("trim": {"start": false, "end": true}, )"
      R"("scale": {"width": 2147483647, "height": -2147483648})"));
  ASSERT_TRUE(outcome.ok) << outcome.error_output;
  EXPECT_EQ(outcome.config.crop->width, 100);
  EXPECT_EQ(outcome.config.crop->height, 1);
  EXPECT_EQ(outcome.config.crop->left, 0);
  EXPECT_EQ(outcome.config.crop->top, -2);
  EXPECT_DOUBLE_EQ(outcome.config.trim->start, 0.0);
  EXPECT_DOUBLE_EQ(outcome.config.trim->end, 1.0);
  EXPECT_EQ(outcome.config.scale->width, 2147483647);
  EXPECT_EQ(outcome.config.scale->height, -2147483648LL);

  // Values the conversions refuse.
  for (const char* extra : {
           R"("crop": {"width": "100"})",
           R"("crop": {"height": 2147483648})",
           R"("crop": {"left": 1e12})",
           R"("scale": {"width": [1]})",
           R"("trim": {"start": "1.5"})",
           R"("trim": {"end": {}})",
       }) {
    EXPECT_TRUE(IsConversionFailure(Parse(WithNames(extra)))) << extra;
  }
}

TEST(EditConfigParserTest, BlocksThatAreNotObjectsFail) {
  for (const char* extra : {
           R"("trim": [1, 2])",
           R"("crop": "0,0,10,10")",
           R"("scale": 640)",
           R"("trim": true)",
           R"("crop": 0)",
       }) {
    ParseOutcome outcome = Parse(WithNames(extra));
    EXPECT_TRUE(IsConversionFailure(outcome)) << extra << outcome.error_output;
  }
}

TEST(EditConfigParserTest, OutFormatMapping) {
  struct Case {
    const char* value;
    int32_t expected;
  } cases[] = {{R"("gif")", 1},  {R"("mp4")", 2},  {R"("webm")", 0},
               {R"("GIF")", 0},  {R"("MP4")", 0},  {R"("")", 0},
               {R"(null)", 0},   {R"(true)", 0},   {R"(" mp4")", 0}};
  for (const Case& c : cases) {
    ParseOutcome outcome =
        Parse(WithNames(std::string("\"outFormat\": ") + c.value));
    ASSERT_TRUE(outcome.ok) << c.value;
    EXPECT_EQ(outcome.config.outFormat, c.expected) << c.value;
  }
  EXPECT_TRUE(IsConversionFailure(Parse(WithNames(R"("outFormat": 2)"))));
  EXPECT_TRUE(IsConversionFailure(Parse(WithNames(R"("outFormat": ["gif"])"))));
}

TEST(EditConfigParserTest, FpsMustBeASignedIntegerInRange) {
  for (int fps : {1, 30, 60}) {
    ParseOutcome outcome =
        Parse(WithNames("\"fps\": " + std::to_string(fps)));
    ASSERT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.config.fps, fps);
  }
  for (const char* fps : {"61", "0", "-1", "-2147483648"}) {
    ParseOutcome outcome = Parse(WithNames(std::string("\"fps\": ") + fps));
    EXPECT_FALSE(outcome.ok) << fps;
    EXPECT_EQ(outcome.error_output, "Invalid int range for 'fps'\n") << fps;
    EXPECT_EQ(outcome.config.fps, 0) << fps;
  }
  // Anything but a 32-bit signed integer is ignored without a word.
  for (const char* fps : {"15.0", "\"15\"", "true", "null", "{}", "[15]",
                          "2147483648", "-2147483649", "1e1"}) {
    ParseOutcome outcome = Parse(WithNames(std::string("\"fps\": ") + fps));
    ASSERT_TRUE(outcome.ok) << fps;
    EXPECT_EQ(outcome.error_output, "") << fps;
    EXPECT_EQ(outcome.config.fps, 0) << fps;
  }
}

TEST(EditConfigParserTest, TextThatIsNotJsonFails) {
  for (const std::string& text : std::vector<std::string>{
           "", "   ", "{", "not json", R"({"inFilename": "a",})",
        R"({'inFilename': 'a', 'outFilename': 'b'})",
        // Trailing text after the document.
        WithNames("") + " {}", WithNames("") + "}"}) {
    ParseOutcome outcome = Parse(text);
    EXPECT_FALSE(outcome.ok) << text;
    EXPECT_EQ(outcome.error_output,
              "Failed to parse edit config json '" + text + "'\n");
  }

  // Nesting deeper than the reader allows is refused, not a crash.
  std::string deep = R"({"inFilename": "a", "outFilename": "b", "x": )" +
                     std::string(100000, '[') + std::string(100000, ']') + "}";
  ParseOutcome outcome = Parse(deep);
  EXPECT_FALSE(outcome.ok);
  EXPECT_EQ(outcome.error_output.rfind("Failed to parse edit config json '", 0),
            0u);
}

TEST(EditConfigParserTest, CommentsAndWhitespaceAreAccepted) {
  ParseOutcome outcome = Parse("// edit\n" + WithNames(R"("fps": /* r */ 10)") +
                               "  /* end */\n");
  ASSERT_TRUE(outcome.ok) << outcome.error_output;
  EXPECT_EQ(outcome.config.fps, 10);
}

TEST(EditConfigParserTest, RootMustBeAnObject) {
  for (const char* text : {"[]", R"(["inFilename"])", R"("x")", "5", "true"}) {
    ParseOutcome outcome = Parse(text);
    EXPECT_TRUE(IsConversionFailure(outcome)) << text << outcome.error_output;
  }
}

}  // namespace
}  // namespace kelmora
