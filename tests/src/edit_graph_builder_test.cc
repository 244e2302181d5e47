#include "edit_graph_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "edit_test_media.h"
#include "flash_beep_scene.h"
#include "media_test_support.h"
#include "simple_video_writer.h"
#include "video_graph_filter.h"

namespace kelmora {
namespace {

using edit_test::TestMediaSpec;
using edit_test::WriteTestMedia;
using testing_support::TempDir;

const char kExampleInput[] = "/html5_persistent/in.webm";
// What every movie source carries after its file name.
const std::string kLocalOnly = ":format_opts=protocol_whitelist=file";

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
          "movie=filename=/html5_persistent/in.webm:format_opts=protocol_whitelist=file:seek_point=1.500,"
          "trim=end=4.000:start=1.500,setpts=expr=PTS-1.500/TB,"
          "crop=h=50:w=100:x=20:y=10,"
          "scale=force_original_aspect_ratio=decrease:h=min(480\\,ih):"
          "w=min(640\\,iw),fps=fps=15;"
          "amovie=filename=/html5_persistent/in.webm:format_opts=protocol_whitelist=file:seek_point=1.500,"
          "atrim=end=4.000:start=1.500,asetpts=expr=PTS-1.500/TB",
          input));
}

TEST_F(EditGraphTextTest, GifHasNoAudioChain) {
  const std::string input = MakeExampleInput();
  EditConfig config = Config(input, kEditOutFormatGif);
  config.scale = Size{480, 270};
  config.fps = 10;
  EXPECT_EQ(Build(config),
            ForExample("movie=filename=/html5_persistent/in.webm:format_opts=protocol_whitelist=file,"
                       "scale=force_original_aspect_ratio=decrease:"
                       "h=min(270\\,ih):w=min(480\\,iw),fps=fps=10",
                       input));
}

TEST_F(EditGraphTextTest, Mp4OfOddInputIsCutToEvenSize) {
  const std::string input = MakeExampleInput(1365, 767);
  EXPECT_EQ(Build(Config(input, kEditOutFormatMp4)),
            ForExample("movie=filename=/html5_persistent/in.webm:format_opts=protocol_whitelist=file,"
                       "crop=h=trunc(ih/2)*2:w=trunc(iw/2)*2;"
                       "amovie=filename=/html5_persistent/in.webm:format_opts=protocol_whitelist=file",
                       input));

  // So do the default encoders of other outputs (the browser's refuses odd
  // sizes); a GIF takes odd sizes; a crop or a box replaces the even crop.
  EXPECT_EQ(Build(Config(input, kEditOutFormatOther)),
            "movie=filename=" + input + kLocalOnly +
                ",crop=h=trunc(ih/2)*2:w=trunc(iw/2)*2;amovie=filename=" + input + kLocalOnly);
  EXPECT_EQ(Build(Config(input, kEditOutFormatGif)), "movie=filename=" + input + kLocalOnly);
  EditConfig cropped = Config(input, kEditOutFormatMp4);
  cropped.crop = Rect{0, 0, 1365, 767};
  EXPECT_EQ(Build(cropped), "movie=filename=" + input + kLocalOnly +
                                ",crop=h=766:w=1364:x=0:y=0;amovie=filename=" +
                                input + kLocalOnly);

  const std::string even = MakeInput("even.mkv", 1280, 720, true);
  EXPECT_EQ(Build(Config(even, kEditOutFormatMp4)),
            "movie=filename=" + even + kLocalOnly + ";amovie=filename=" + even + kLocalOnly);
}

TEST_F(EditGraphTextTest, TrimBoundsOnlyWhenPositive) {
  const std::string input = MakeInput("in.mkv", 320, 240, true);
  EditConfig config = Config(input, kEditOutFormatOther);
  config.trim = TrimRange{0.0, 0.0};
  EXPECT_EQ(Build(config), "movie=filename=" + input + kLocalOnly +
                               ",trim,setpts=expr=PTS-0.000/TB;"
                               "amovie=filename=" + input + kLocalOnly +
                               ",atrim,asetpts=expr=PTS-0.000/TB");

  config.trim = TrimRange{2.5, 0.0};
  EXPECT_EQ(Build(config),
            "movie=filename=" + input + kLocalOnly +
                ":seek_point=2.500,trim=start=2.500,setpts=expr=PTS-2.500/TB;"
                "amovie=filename=" + input + kLocalOnly +
                ":seek_point=2.500,atrim=start=2.500,asetpts=expr=PTS-2.500/TB");

  config.trim = TrimRange{-1.0, 3.25};
  EXPECT_EQ(Build(config), "movie=filename=" + input + kLocalOnly +
                               ",trim=end=3.250,setpts=expr=PTS-0.000/TB;"
                               "amovie=filename=" + input + kLocalOnly +
                               ",atrim=end=3.250,asetpts=expr=PTS-0.000/TB");
}

TEST_F(EditGraphTextTest, CropSidesAreCutTowardZeroToEven) {
  const std::string input = MakeInput("in.mkv", 320, 240, false);
  EditConfig config = Config(input, kEditOutFormatOther);
  config.crop = Rect{-4, 7, -3, 0};
  EXPECT_EQ(Build(config),
            "movie=filename=" + input + kLocalOnly + ",crop=h=0:w=-2:x=7:y=-4");
}

TEST_F(EditGraphTextTest, InputWithoutAudioOrVideo) {
  const std::string silent = MakeInput("silent.mkv", 320, 240, false);
  EditConfig config = Config(silent, kEditOutFormatMp4);
  config.trim = TrimRange{1.0, 2.0};
  config.fps = 0;
  std::string text = Build(config);
  EXPECT_EQ(text.find(';'), std::string::npos) << text;
  EXPECT_EQ(text, "movie=filename=" + silent + kLocalOnly +
                      ":seek_point=1.000,trim=end=2.000:start=1.000,"
                      "setpts=expr=PTS-1.000/TB");

  // The video chain does not depend on the input having video.
  const std::string sound = MakeInput("sound.mka", 0, 0, true);
  EXPECT_EQ(Build(Config(sound, kEditOutFormatMp4)),
            "movie=filename=" + sound + kLocalOnly + ";amovie=filename=" + sound + kLocalOnly);
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
            "movie=filename=" + dir_.path() + "/" + escaped_name + kLocalOnly);
}

// Fitting into a box keeps the aspect ratio and may give an odd side, which
// a video encoder refuses; such a picture is cut to the even size below.
TEST_F(EditGraphTextTest, Mp4ScaleToOddSizeIsCutToEven) {
  const std::string input = MakeInput("in.mkv", 320, 240, false);
  const std::string scale_100 =
      ",scale=force_original_aspect_ratio=decrease:h=min(100\\,ih):"
      "w=min(100\\,iw)";
  EditConfig config = Config(input, kEditOutFormatMp4);
  config.scale = Size{100, 100};  // 100 x 75
  EXPECT_EQ(Build(config), "movie=filename=" + input + kLocalOnly + scale_100 +
                               ",crop=h=trunc(ih/2)*2:w=trunc(iw/2)*2");

  config.outFormat = kEditOutFormatGif;
  EXPECT_EQ(Build(config), "movie=filename=" + input + kLocalOnly + scale_100);
  config.outFormat = kEditOutFormatOther;
  EXPECT_EQ(Build(config), "movie=filename=" + input + kLocalOnly + scale_100 +
                               ",crop=h=trunc(ih/2)*2:w=trunc(iw/2)*2");

  config.outFormat = kEditOutFormatMp4;
  config.scale = Size{160, 0};  // 160 x 120
  EXPECT_EQ(Build(config),
            "movie=filename=" + input + kLocalOnly +
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

// Each built graph is run the way an edit runs it: one FilterOnce at a time
// into an encode-and-mux writer, then the output is decoded back.
class EditGraphRunTest : public EditGraphTextTest {
 protected:
  // 4 s of 320 x 240 at 25 frames per second, with audio unless asked not.
  std::string MakeRunInput(const std::string& name, int width = 320,
                           int height = 240, bool audio = true,
                           int frames = 100) {
    const std::string path = dir_.File(name);
    TestMediaSpec spec;
    spec.videos = {{width, height}};
    spec.audio = audio;
    spec.frame_count = frames;
    spec.format = "matroska";
    EXPECT_EQ(WriteTestMedia(path, spec), "");
    return path;
  }

  // Builds and runs the graph of `config`; the output is decoded back.
  testing_support::FileInfo Run(const EditConfig& config) {
    testing_support::FileInfo none;
    EditGraphBuilder builder(config);
    boost::optional<std::string> text = builder.Build();
    EXPECT_TRUE(text);
    if (!text) {
      return none;
    }
    VideoGraphFilter filter;
    filter.graph_description_ = *text;
    filter.thread_factor_ = testing_support::OneEncoderThread();
    auto writer = std::make_unique<SimpleVideoWriter>(config.outFilename);
    if (config.outFormat == kEditOutFormatMp4) {
      writer->format_name_ = "mp4";
      writer->SetVideoCodec("libx264");
      writer->SetAudioCodec("aac");
    }
    filter.writer_ = std::move(writer);
    int result = filter.InitFiltering();
    EXPECT_GE(result, 0) << *text;
    if (result < 0) {
      return none;
    }
    for (int steps = 0; !(filter.audio_done_ && filter.video_done_); ++steps) {
      result = filter.FilterOnce();
      EXPECT_GE(result, 0) << *text;
      if (result < 0 || steps > 100000) {
        return none;
      }
    }
    EXPECT_GE(filter.Close(), 0);
    return testing_support::DecodeFile(config.outFilename);
  }

  EditConfig RunConfig(const std::string& input, int32_t out_format,
                       const std::string& out_name) {
    EditConfig config = Config(input, out_format);
    config.outFilename = dir_.File(out_name);
    return config;
  }

  // Presentation times of the decodable video packets, in milliseconds,
  // in display order.
  static std::vector<int64_t> VideoTimesMs(
      const testing_support::StreamInfo& video) {
    std::vector<int64_t> times;
    for (int64_t pts : video.packet_pts) {
      times.push_back(av_rescale_q(pts, video.time_base, AVRational{1, 1000}));
    }
    std::sort(times.begin(), times.end());
    return times;
  }
};

TEST_F(EditGraphRunTest, TrimKeepsTheRange) {
  const std::string input = MakeRunInput("in.mkv");
  EditConfig config = RunConfig(input, kEditOutFormatMp4, "trim.mp4");
  config.trim = TrimRange{1.5, 3.5};
  testing_support::FileInfo out = Run(config);
  ASSERT_TRUE(out.opened);
  const testing_support::StreamInfo* video = out.Find(AVMEDIA_TYPE_VIDEO);
  const testing_support::StreamInfo* audio = out.Find(AVMEDIA_TYPE_AUDIO);
  ASSERT_TRUE(video && audio);
  // The frame on screen at 1.5 s (from 1.48 s) shows from 0, then the
  // frames at 1.52 s .. 3.48 s of the input, as far from the cut as they
  // were from 1.5 s.
  EXPECT_EQ(video->decoded_frames, 51);
  std::vector<int64_t> times = VideoTimesMs(*video);
  ASSERT_GE(times.size(), 2u);
  EXPECT_EQ(times[0], 0);
  EXPECT_EQ(times[1], 20);
  EXPECT_NEAR(times.back(), 1980, 1);
  // The last frame lasts at most the usual 40 ms.
  EXPECT_GE(video->last_end_ms, 1999);
  EXPECT_LE(video->last_end_ms, 2021);
  // The audio is cut to the same two seconds.
  EXPECT_NEAR(audio->decoded_samples / static_cast<double>(audio->sample_rate),
              2.0, 0.05);
  EXPECT_EQ(video->decode_errors + audio->decode_errors, 0);

  // An open end runs to the end of the input.
  config.trim = TrimRange{2.5, 0.0};
  config.outFilename = dir_.File("trim_start.mp4");
  out = Run(config);
  video = out.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_TRUE(video);
  // The frame shown at 2.5 s, then those at 2.52 s .. 3.96 s.
  EXPECT_EQ(video->decoded_frames, 38);
  EXPECT_GE(video->last_end_ms, 1499);
  EXPECT_LE(video->last_end_ms, 1521);
}

TEST_F(EditGraphRunTest, TrimKeepsPictureAndSoundTogether) {
  // The screen stands still from 1.9 s to 2.581 s: the first picture kept
  // after a trim at 2 s comes 581 ms after the cut, the sound does not.
  testing_support::FlashBeepScene scene(2581, {3000, 3500}, 4000);
  const std::string input = dir_.File("flash.webm");
  {
    SimpleVideoWriter writer(input);
    writer.SetVideoSize(96, 64);
    writer.SetAudioSampleRate(scene.kSampleRate);
    writer.SetThreadFactor(testing_support::OneEncoderThread());
    testing::internal::CaptureStdout();
    int init = writer.Init();
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(init, 0);
    ASSERT_EQ(writer.Open(), 0);
    int64_t samples = 0;
    auto sound_until = [&](int64_t ms) {
      while (samples * 1000 / scene.kSampleRate < ms) {
        FramePtr sound =
            scene.AudioFrame(samples, writer.audio_frame_size());
        ASSERT_EQ(writer.WriteAudioFrame(sound.get()), 0);
        samples += writer.audio_frame_size();
      }
    };
    for (int64_t ms : scene.frame_times()) {
      sound_until(ms);
      FramePtr picture = scene.VideoFrame(96, 64, ms);
      ASSERT_EQ(writer.WriteVideoFrame(picture.get()), 0);
    }
    sound_until(scene.end_ms());
    ASSERT_EQ(writer.Close(), 0);
  }
  // The input itself has them together (the muxer may move its whole
  // timeline by the audio encoder's delay).
  const testing_support::FlashBeepTimes in =
      testing_support::MeasureFlashesAndBeeps(input);
  ASSERT_EQ(in.flashes_ms.size(), 2u);
  ASSERT_EQ(in.beeps_ms.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_NEAR(in.flashes_ms[i], scene.flashes_ms()[i], 10);
    EXPECT_NEAR(in.beeps_ms[i], in.flashes_ms[i], 20);
  }

  EditConfig config = RunConfig(input, kEditOutFormatMp4, "trim_sync.mp4");
  config.trim = TrimRange{2.0, 0.0};
  ASSERT_TRUE(Run(config).opened);
  const testing_support::FlashBeepTimes out =
      testing_support::MeasureFlashesAndBeeps(config.outFilename);
  ASSERT_EQ(out.flashes_ms.size(), 2u);
  ASSERT_EQ(out.beeps_ms.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_NEAR(out.flashes_ms[i], in.flashes_ms[i] - 2000, 3);
    EXPECT_NEAR(out.beeps_ms[i], out.flashes_ms[i], 20);
  }
}

TEST_F(EditGraphRunTest, CropGivesTheEvenSizeBelowTheRectangle) {
  const std::string input = MakeRunInput("in.mkv", 320, 240, true, 10);
  EditConfig config = RunConfig(input, kEditOutFormatMp4, "crop.mp4");
  config.crop = Rect{10, 20, 101, 51};
  testing_support::FileInfo out = Run(config);
  const testing_support::StreamInfo* video = out.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_TRUE(video);
  EXPECT_EQ(video->width, 100);
  EXPECT_EQ(video->height, 50);
  EXPECT_EQ(video->decoded_frames, 10);
}

TEST_F(EditGraphRunTest, ScaleFitsTheBoxWithoutEnlarging) {
  const std::string input = MakeRunInput("in.mkv", 320, 240, true, 10);
  struct Case {
    Size box;
    int32_t out_format;
    int width;
    int height;
  } cases[] = {
      {{160, 160}, kEditOutFormatMp4, 160, 120},
      {{640, 480}, kEditOutFormatMp4, 320, 240},  // never scaled up
      {{1000, 60}, kEditOutFormatMp4, 80, 60},
      // 100 x 75 would be refused by the H.264 encoder, and by the
      // browser's that a WebM takes.
      {{100, 100}, kEditOutFormatMp4, 100, 74},
      {{100, 100}, kEditOutFormatOther, 100, 74},
  };
  int index = 0;
  for (const Case& c : cases) {
    const std::string name = "scale" + std::to_string(index++) +
                             (c.out_format == kEditOutFormatMp4 ? ".mp4"
                                                                : ".webm");
    EditConfig config = RunConfig(input, c.out_format, name);
    config.scale = c.box;
    testing_support::FileInfo out = Run(config);
    const testing_support::StreamInfo* video = out.Find(AVMEDIA_TYPE_VIDEO);
    ASSERT_TRUE(video) << name;
    EXPECT_EQ(video->width, c.width) << name;
    EXPECT_EQ(video->height, c.height) << name;
    EXPECT_EQ(video->decoded_frames, 10) << name;
  }
}

TEST_F(EditGraphRunTest, Mp4OfOddInputHasEvenSize) {
  const std::string input = MakeRunInput("odd.mkv", 321, 241, false, 10);
  testing_support::FileInfo out =
      Run(RunConfig(input, kEditOutFormatMp4, "even.mp4"));
  const testing_support::StreamInfo* video = out.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_TRUE(video);
  EXPECT_EQ(video->width, 320);
  EXPECT_EQ(video->height, 240);
  EXPECT_EQ(video->decoded_frames, 10);
  // An input without audio gives an output without audio.
  EXPECT_FALSE(out.Find(AVMEDIA_TYPE_AUDIO));
}

TEST_F(EditGraphRunTest, FpsResamplesTheFrameRate) {
  const std::string input = MakeRunInput("in.mkv");
  EditConfig config = RunConfig(input, kEditOutFormatMp4, "fps.mp4");
  config.fps = 10;
  testing_support::FileInfo out = Run(config);
  const testing_support::StreamInfo* video = out.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_TRUE(video);
  EXPECT_EQ(video->decoded_frames, 40);
  std::vector<int64_t> times = VideoTimesMs(*video);
  for (size_t i = 1; i < times.size(); ++i) {
    EXPECT_EQ(times[i] - times[i - 1], 100) << i;
  }
}

// The first worked example, run: 2.5 s of 100 x 50 at 15 frames per second.
TEST_F(EditGraphRunTest, AllStepsTogether) {
  const std::string input = MakeRunInput("in.mkv", 320, 240, true, 125);
  EditConfig config = RunConfig(input, kEditOutFormatMp4, "all.mp4");
  config.trim = TrimRange{1.5, 4.0};
  config.crop = Rect{10, 20, 101, 51};
  config.scale = Size{640, 480};
  config.fps = 15;
  testing_support::FileInfo out = Run(config);
  const testing_support::StreamInfo* video = out.Find(AVMEDIA_TYPE_VIDEO);
  const testing_support::StreamInfo* audio = out.Find(AVMEDIA_TYPE_AUDIO);
  ASSERT_TRUE(video && audio);
  EXPECT_EQ(video->width, 100);
  EXPECT_EQ(video->height, 50);
  EXPECT_NEAR(video->decoded_frames, 37.5, 1);
  std::vector<int64_t> times = VideoTimesMs(*video);
  ASSERT_GE(times.size(), 2u);
  EXPECT_EQ(times.front(), 0);
  EXPECT_NEAR(times[1] - times[0], 67, 1);
  EXPECT_NEAR(audio->decoded_samples / static_cast<double>(audio->sample_rate),
              2.5, 0.05);
}

TEST_F(EditGraphRunTest, InputNameWithGraphSyntaxCharacters) {
  const std::string input =
      MakeRunInput("a b,c;[d]:e'f.mkv", 320, 240, true, 10);
  testing_support::FileInfo out =
      Run(RunConfig(input, kEditOutFormatOther, "named.webm"));
  const testing_support::StreamInfo* video = out.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_TRUE(video);
  EXPECT_EQ(video->decoded_frames, 10);
  EXPECT_TRUE(out.Find(AVMEDIA_TYPE_AUDIO));
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
