#include "edit_graph_builder.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "edit_test_media.h"

namespace kelmora {
namespace {

using edit_test::TempDir;
using edit_test::TestMediaSpec;
using edit_test::WriteTestMedia;

const char kExampleInput[] = "/html5_persistent/in.webm";

// Replaces every occurrence of `from` in `text` with `to`.
std::string ReplaceAll(std::string text, const std::string& from,
                       const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

class EditGraphTextTest : public testing::Test {
 protected:
  // Writes a short input under the temporary directory and returns its path.
  std::string MakeInput(const std::string& name, int width, int height,
                        bool audio) {
    std::filesystem::path path = std::filesystem::path(dir_.path()) / name;
    std::filesystem::create_directories(path.parent_path());
    TestMediaSpec spec;
    if (width > 0) {
      spec.videos = {{width, height}};
    }
    spec.audio = audio;
    spec.frame_count = 3;
    spec.format = "matroska";
    EXPECT_EQ(WriteTestMedia(path.string(), spec), "");
    return path.string();
  }

  // The example input: a video and an audio stream, named like the page's
  // file system would name it, below the temporary directory.
  std::string MakeExampleInput(int width = 640, int height = 360) {
    return MakeInput(std::string(kExampleInput).substr(1), width, height,
                     true);
  }

  static std::string Build(const EditConfig& config) {
    EditGraphBuilder builder(config);
    boost::optional<std::string> text = builder.Build();
    return text ? *text : "<nothing>";
  }

  // `expected` written for the example input, with its real path.
  std::string ForExample(const std::string& expected,
                         const std::string& input) {
    return ReplaceAll(expected, kExampleInput, input);
  }

  static EditConfig Config(const std::string& input, int32_t out_format) {
    EditConfig config;
    config.inFilename = input;
    config.outFilename = "out";
    config.outFormat = out_format;
    return config;
  }

  TempDir dir_;
};

TEST_F(EditGraphTextTest, Mp4WithTrimCropScaleAndFps) {
  const std::string input = MakeExampleInput();
  EditConfig config = Config(input, kEditOutFormatMp4);
  config.trim = TrimRange{1.5, 4.0};
  config.crop = Rect{10, 20, 101, 51};
  config.scale = Size{640, 480};
  config.fps = 15;
  EXPECT_EQ(
      Build(config),
      ForExample(
          "movie=filename=/html5_persistent/in.webm:seek_point=1.500,"
          "trim=end=4.000:start=1.500,setpts=expr=PTS-STARTPTS,"
          "crop=h=50:w=100:x=20:y=10,"
          "scale=force_original_aspect_ratio=decrease:h=min(480\\,ih):"
          "w=min(640\\,iw),fps=fps=15;"
          "amovie=filename=/html5_persistent/in.webm:seek_point=1.500,"
          "atrim=end=4.000:start=1.500,asetpts=expr=PTS-STARTPTS",
          input));
}

TEST_F(EditGraphTextTest, GifHasNoAudioChain) {
  const std::string input = MakeExampleInput();
  EditConfig config = Config(input, kEditOutFormatGif);
  config.scale = Size{480, 270};
  config.fps = 10;
  EXPECT_EQ(Build(config),
            ForExample("movie=filename=/html5_persistent/in.webm,"
                       "scale=force_original_aspect_ratio=decrease:"
                       "h=min(270\\,ih):w=min(480\\,iw),fps=fps=10",
                       input));
}

TEST_F(EditGraphTextTest, Mp4OfOddInputIsCutToEvenSize) {
  const std::string input = MakeExampleInput(1365, 767);
  EXPECT_EQ(Build(Config(input, kEditOutFormatMp4)),
            ForExample("movie=filename=/html5_persistent/in.webm,"
                       "crop=h=trunc(ih/2)*2:w=trunc(iw/2)*2;"
                       "amovie=filename=/html5_persistent/in.webm",
                       input));

  // Other outputs take odd sizes; a crop or a box replaces the even crop.
  EXPECT_EQ(Build(Config(input, kEditOutFormatOther)),
            "movie=filename=" + input + ";amovie=filename=" + input);
  EditConfig cropped = Config(input, kEditOutFormatMp4);
  cropped.crop = Rect{0, 0, 1365, 767};
  EXPECT_EQ(Build(cropped), "movie=filename=" + input +
                                ",crop=h=766:w=1364:x=0:y=0;amovie=filename=" +
                                input);

  const std::string even = MakeInput("even.mkv", 1280, 720, true);
  EXPECT_EQ(Build(Config(even, kEditOutFormatMp4)),
            "movie=filename=" + even + ";amovie=filename=" + even);
}

TEST_F(EditGraphTextTest, TrimBoundsOnlyWhenPositive) {
  const std::string input = MakeInput("in.mkv", 320, 240, true);
  EditConfig config = Config(input, kEditOutFormatOther);
  config.trim = TrimRange{0.0, 0.0};
  EXPECT_EQ(Build(config), "movie=filename=" + input +
                               ",trim,setpts=expr=PTS-STARTPTS;"
                               "amovie=filename=" + input +
                               ",atrim,asetpts=expr=PTS-STARTPTS");

  config.trim = TrimRange{2.5, 0.0};
  EXPECT_EQ(Build(config),
            "movie=filename=" + input +
                ":seek_point=2.500,trim=start=2.500,setpts=expr=PTS-STARTPTS;"
                "amovie=filename=" + input +
                ":seek_point=2.500,atrim=start=2.500,asetpts=expr=PTS-STARTPTS");

  config.trim = TrimRange{-1.0, 3.25};
  EXPECT_EQ(Build(config), "movie=filename=" + input +
                               ",trim=end=3.250,setpts=expr=PTS-STARTPTS;"
                               "amovie=filename=" + input +
                               ",atrim=end=3.250,asetpts=expr=PTS-STARTPTS");
}

TEST_F(EditGraphTextTest, CropSidesAreCutTowardZeroToEven) {
  const std::string input = MakeInput("in.mkv", 320, 240, false);
  EditConfig config = Config(input, kEditOutFormatOther);
  config.crop = Rect{-4, 7, -3, 0};
  EXPECT_EQ(Build(config),
            "movie=filename=" + input + ",crop=h=0:w=-2:x=7:y=-4");
}

TEST_F(EditGraphTextTest, InputWithoutAudioOrVideo) {
  const std::string silent = MakeInput("silent.mkv", 320, 240, false);
  EditConfig config = Config(silent, kEditOutFormatMp4);
  config.trim = TrimRange{1.0, 2.0};
  config.fps = 0;
  std::string text = Build(config);
  EXPECT_EQ(text.find(';'), std::string::npos) << text;
  EXPECT_EQ(text, "movie=filename=" + silent +
                      ":seek_point=1.000,trim=end=2.000:start=1.000,"
                      "setpts=expr=PTS-STARTPTS");

  // The video chain does not depend on the input having video.
  const std::string sound = MakeInput("sound.mka", 0, 0, true);
  EXPECT_EQ(Build(Config(sound, kEditOutFormatMp4)),
            "movie=filename=" + sound + ";amovie=filename=" + sound);
}

TEST_F(EditGraphTextTest, UnreadableInputGivesNothing) {
  const std::string missing = dir_.File("missing.webm");
  testing::internal::CaptureStderr();
  EditGraphBuilder builder(Config(missing, kEditOutFormatMp4));
  EXPECT_FALSE(builder.Build());
  const std::string errors = testing::internal::GetCapturedStderr();
  const std::string line =
      "Failed to read input metadata of \"" + missing + "\"\n";
  ASSERT_GE(errors.size(), line.size());
  EXPECT_EQ(errors.substr(errors.size() - line.size()), line);
  EXPECT_EQ(errors.rfind("Failed to read metadata : ", 0), 0u) << errors;
}

TEST_F(EditGraphTextTest, SpecialCharactersInTheInputNameAreEscaped) {
  const std::string input = MakeInput("a b,c;[d]:e'f.mkv", 320, 240, false);
  const std::string escaped_name = "a b\\,c\\;\\[d\\]\\\\:e\\\\\\'f.mkv";
  EXPECT_EQ(Build(Config(input, kEditOutFormatOther)),
            "movie=filename=" + dir_.path() + "/" + escaped_name);
}

// Fitting into a box keeps the aspect ratio and may give an odd side, which
// an MP4 encoder refuses; such a picture is cut to the even size below.
TEST_F(EditGraphTextTest, Mp4ScaleToOddSizeIsCutToEven) {
  const std::string input = MakeInput("in.mkv", 320, 240, false);
  const std::string scale_100 =
      ",scale=force_original_aspect_ratio=decrease:h=min(100\\,ih):"
      "w=min(100\\,iw)";
  EditConfig config = Config(input, kEditOutFormatMp4);
  config.scale = Size{100, 100};  // 100 x 75
  EXPECT_EQ(Build(config), "movie=filename=" + input + scale_100 +
                               ",crop=h=trunc(ih/2)*2:w=trunc(iw/2)*2");

  config.outFormat = kEditOutFormatGif;
  EXPECT_EQ(Build(config), "movie=filename=" + input + scale_100);

  config.outFormat = kEditOutFormatMp4;
  config.scale = Size{160, 0};  // 160 x 120
  EXPECT_EQ(Build(config),
            "movie=filename=" + input +
                ",scale=force_original_aspect_ratio=decrease:h=min(0\\,ih):"
                "w=min(160\\,iw)");

  config.crop = Rect{0, 0, 150, 100};  // 150 x 100 into 160 x 120: unchanged
  config.scale = Size{160, 120};
  EXPECT_EQ(Build(config).find("trunc"), std::string::npos);
  config.crop = Rect{0, 0, 150, 110};  // 150 x 110 into 100 x 100: 100 x 73
  config.scale = Size{100, 100};
  EXPECT_NE(Build(config).find(scale_100 + ",crop=h=trunc(ih/2)*2:"),
            std::string::npos);
}

TEST(FilterSpecTest, RendersLabelsNameAndSortedOptions) {
  FilterSpec plain("null", {}, "");
  EXPECT_EQ(plain.Render(), "null");
  EXPECT_TRUE(plain.outputs.empty());

  FilterSpec overlay("overlay", {{"y", "2"}, {"x", "1"}}, "out");
  overlay.inputs = {"main", "cam"};
  EXPECT_EQ(overlay.Render(), "[main][cam]overlay=x=1:y=2[out]");

  overlay.AddPrefix("a");
  EXPECT_EQ(overlay.Render(), "[amain][acam]aoverlay=x=1:y=2[aout]");

  // The sort is over whole key=value texts: "a-b=1" sorts before "a=2".
  FilterSpec dashed("f", {{"a", "2"}, {"a-b", "1"}}, "");
  EXPECT_EQ(RenderFilterOptions(dashed), "=a-b=1:a=2");

  EXPECT_EQ(RenderPadLabels({}), "");
  EXPECT_EQ(RenderFilterChain({}), "");
  EXPECT_EQ(RenderFilterChain({plain, FilterSpec("fps", {{"fps", "5"}}, "")}),
            "null,fps=fps=5");
}

TEST(FormatSecondsTest, ThreeDecimals) {
  EXPECT_EQ(FormatSeconds(1.5), "1.500");
  EXPECT_EQ(FormatSeconds(4), "4.000");
  EXPECT_EQ(FormatSeconds(0.0), "0.000");
  EXPECT_EQ(FormatSeconds(1234.5678), "1234.568");
  EXPECT_EQ(FormatSeconds(-2.25), "-2.250");
  EXPECT_EQ(FormatSeconds(1e20), "100000000000000000000.000");
}

}  // namespace
}  // namespace kelmora
