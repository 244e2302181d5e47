#include "video_graph_filter.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "graph_input_writer.h"
#include "graph_test_writers.h"
#include "raw_video_writer.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>

extern "C" {
#include <libavutil/log.h>
}

namespace kelmora {

namespace {

using testing_support::FollowsSideRule;
using testing_support::MakeI420;
using testing_support::MakeInput;
using testing_support::RecordingWriter;
using testing_support::SeenFrame;

// Collects, per filter instance, the options the library reports setting
// while the graph creates its filters, as "key=value" joined by ":".
class FilterArgsLog {
 public:
  FilterArgsLog() : saved_level_(av_log_get_level()) {
    instance_ = this;
    av_log_set_level(AV_LOG_DEBUG);
    av_log_set_callback(&Callback);
  }
  ~FilterArgsLog() {
    av_log_set_callback(av_log_default_callback);
    av_log_set_level(saved_level_);
    instance_ = nullptr;
  }
  std::string Args(const std::string& instance) const {
    auto it = args_.find(instance);
    return it == args_.end() ? "<none>" : it->second;
  }

 private:
  static void Callback(void* avcl, int level, const char* fmt, va_list vl) {
    if (!avcl || !instance_) return;
    const AVClass* cls = *static_cast<const AVClass**>(avcl);
    if (!cls || strcmp(cls->class_name, "AVFilter") != 0) return;
    char line[1024];
    vsnprintf(line, sizeof(line), fmt, vl);
    char key[256];
    char value[768];
    if (sscanf(line, "Setting '%255[^']' to value '%767[^']'", key, value) !=
        2) {
      return;
    }
    std::string& args =
        instance_->args_[static_cast<AVFilterContext*>(avcl)->name];
    if (!args.empty()) args += ":";
    args += std::string(key) + "=" + value;
  }

  static FilterArgsLog* instance_;
  int saved_level_;
  std::map<std::string, std::string> args_;
};

FilterArgsLog* FilterArgsLog::instance_ = nullptr;

class VideoGraphFilterTest : public ::testing::Test {
 protected:
  VideoGraphFilterTest() : out_(new RecordingWriter()) {
    filter_.writer_.reset(out_);
  }

  // Registers an input that the test keeps (owned here, as the adapters do).
  GraphInputWriter* Add(GraphInputWriter* input) {
    inputs_.emplace_back(input);
    EXPECT_EQ(filter_.AddInputWriter(input), 0);
    return input;
  }

  // Configures "[in_writer]...;[in_writer_a]..." with a 48 kHz stereo main
  // input and wraps that input in an adapter.
  void BuildMain(const std::string& text, int width = 32, int height = 24) {
    GraphInputWriter* input = MakeInput(width, height, 48000);
    main_input_ = input;
    ASSERT_EQ(filter_.AddInputWriter(input), 0);
    main_.reset(new RawVideoWriter(input));
    filter_.graph_description_ = text;
    ASSERT_EQ(filter_.InitFiltering(), 0);
    ASSERT_EQ(main_->Open(), 0);
    picture_ = MakeI420(width, height, 80, 128);
  }

  void AddPictures(int count, int64_t first_pts, int64_t step) {
    for (int i = 0; i < count; ++i) {
      ASSERT_EQ(main_->AddFrame(picture_.data(), first_pts + i * step), 0);
    }
  }

  void AddAudioFrames(int frames) {
    std::vector<int16_t> samples(1024 * 2 * frames, 100);
    ASSERT_EQ(main_->AppendAudio(samples.data(), 1024 * frames), 0);
  }

  // Expects `result` of InitFiltering with exactly `err` on standard error.
  void ExpectInitFails(int result, const std::string& err) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(filter_.InitFiltering(), result);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), err);
  }

  VideoGraphFilter filter_;
  RecordingWriter* out_;
  std::vector<std::unique_ptr<GraphInputWriter>> inputs_;
  std::unique_ptr<RawVideoWriter> main_;
  GraphInputWriter* main_input_ = nullptr;  // inside main_
  std::vector<uint8_t> picture_;
};

// Claims audio but reports no usable rate.
class NoRateInput : public GraphInputWriter {
 public:
  bool IsAudioEnabled() override { return true; }
};

TEST_F(VideoGraphFilterTest, UnconfiguredInputsAreRefusedAndNotRegistered) {
  GraphInputWriter empty;
  GraphInputWriter no_pixel_format;
  no_pixel_format.SetVideoSize(16, 16);
  no_pixel_format.set_pixel_format(AV_PIX_FMT_NONE);
  NoRateInput no_rate;
  for (GraphInputWriter* input :
       std::vector<GraphInputWriter*>{&empty, &no_pixel_format, &no_rate}) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(filter_.AddInputWriter(input), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "cannot add unconfigured GraphInputWriter\n");
  }
  EXPECT_EQ(no_pixel_format.VideoPosition(), 0);

  filter_.graph_description_ = "[in_writer]null";
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(filter_.InitFiltering(), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Filter graph has no input writer for: in_writer\n");
}

TEST_F(VideoGraphFilterTest, SourcesCarryTheInputsDeclaration) {
  GraphInputWriter* input = MakeInput(64, 48, 44100, 1);
  input->set_video_time_base(AVRational{1, 90000});
  FilterArgsLog log;
  Add(input);
  filter_.graph_description_ = "[in_writer]null;[in_writer_a]anull";
  ASSERT_EQ(filter_.InitFiltering(), 0);
  EXPECT_EQ(log.Args("in_writer"),
            "video_size=64x48:pix_fmt=yuv420p:time_base=1/90000");
  EXPECT_EQ(log.Args("in_writer_a"),
            "time_base=1/44100:sample_rate=44100:sample_fmt=s16:"
            "channel_layout=0x4");
  EXPECT_EQ(log.Args("format"), "pix_fmts=yuv420p");
}

TEST_F(VideoGraphFilterTest, UnmatchedInputLabelsAreRefused) {
  // A camera label without a camera input.
  {
    VideoGraphFilter filter;
    filter.writer_.reset(new RecordingWriter());
    std::unique_ptr<GraphInputWriter> main(MakeInput(32, 24, 0));
    ASSERT_EQ(filter.AddInputWriter(main.get()), 0);
    filter.graph_description_ =
        "[in_writer]null[main],[main][cam_writer]overlay[out]";
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(filter.InitFiltering(), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Filter graph has no input writer for: cam_writer\n");
  }
  // An audio label that only a video source carries.
  Add(MakeInput(32, 24, 0));
  GraphInputWriter* cam = MakeInput(16, 16, 0);
  cam->set_video_source_name("cam_writer");
  Add(cam);
  filter_.graph_description_ =
      "[in_writer][cam_writer]overlay;[cam_writer]anull";
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(filter_.InitFiltering(), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Filter graph has no input writer for: cam_writer\n");
}

TEST_F(VideoGraphFilterTest, UnusedInputMakesTheLibraryRefuseTheGraph) {
  Add(MakeInput(32, 24, 0));
  GraphInputWriter* cam = MakeInput(16, 16, 0);
  cam->set_video_source_name("cam_writer");
  Add(cam);
  filter_.graph_description_ = "[in_writer]null";
  int result = filter_.InitFiltering();
  EXPECT_LT(result, 0);
  EXPECT_NE(result, -1);
  EXPECT_EQ(out_->open_calls, 0);

  // So does a text that does not parse.
  VideoGraphFilter filter;
  filter.writer_.reset(new RecordingWriter());
  filter.graph_description_ = "[in_writer]no_such_filter_here";
  result = filter.InitFiltering();
  EXPECT_LT(result, 0);
  EXPECT_NE(result, -1);
}

TEST_F(VideoGraphFilterTest, InputWritersWithoutInputLabelsWarn) {
  Add(MakeInput(32, 24, 0));
  filter_.graph_description_ = "testsrc=size=32x24:duration=1";
  ::testing::internal::CaptureStderr();
  int result = filter_.InitFiltering();
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_LT(result, 0);
  EXPECT_EQ(err.rfind("Filter graph has input writer but no inputs\n", 0), 0u)
      << err;
}

TEST_F(VideoGraphFilterTest, OutputsMustBeOneVideoAndAtMostOneAudio) {
  {
    VideoGraphFilter filter;
    filter.writer_.reset(new RecordingWriter());
    std::unique_ptr<GraphInputWriter> audio(MakeInput(0, 0, 48000));
    ASSERT_EQ(filter.AddInputWriter(audio.get()), 0);
    filter.graph_description_ = "[in_writer_a]anull";
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(filter.InitFiltering(), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Filter graph has no outputs\n");
  }
  {
    VideoGraphFilter filter;
    filter.writer_.reset(new RecordingWriter());
    std::unique_ptr<GraphInputWriter> video(MakeInput(32, 24, 0));
    ASSERT_EQ(filter.AddInputWriter(video.get()), 0);
    filter.graph_description_ = "[in_writer]split[a][b]";
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(filter.InitFiltering(), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Filter graph has multiple video outputs\n");
  }
  Add(MakeInput(32, 24, 48000));
  filter_.graph_description_ = "[in_writer]null;[in_writer_a]asplit[a][b]";
  ExpectInitFails(-1, "Filter graph has multiple audio outputs\n");
}

TEST_F(VideoGraphFilterTest, AudioSinkAsksForTheWritersRatesFormatAndLayout) {
  out_->rates = {44100, 48000};
  out_->layout = AV_CH_LAYOUT_STEREO;
  out_->sample_fmt = AV_SAMPLE_FMT_S16;
  {
    FilterArgsLog log;
    Add(MakeInput(32, 24, 22050));
    filter_.graph_description_ = "[in_writer]null;[in_writer_a]anull";
    ASSERT_EQ(filter_.InitFiltering(), 0);
    EXPECT_EQ(log.Args("aformat"),
              "sample_rates=44100|48000:sample_fmts=s16:channel_layouts=0x3");
  }
  // The writer is told the rate that the sink negotiated.
  EXPECT_TRUE(out_->audio_sample_rate() == 44100 ||
              out_->audio_sample_rate() == 48000)
      << out_->audio_sample_rate();
  EXPECT_FALSE(filter_.audio_done_);

  // No supported rates: no rate argument, and the input's rate stays.
  VideoGraphFilter filter;
  RecordingWriter* out = new RecordingWriter();
  out->sample_fmt = AV_SAMPLE_FMT_FLTP;
  out->layout = AV_CH_LAYOUT_MONO;
  filter.writer_.reset(out);
  std::unique_ptr<GraphInputWriter> input(MakeInput(32, 24, 22050));
  FilterArgsLog log;
  ASSERT_EQ(filter.AddInputWriter(input.get()), 0);
  filter.graph_description_ = "[in_writer]null;[in_writer_a]anull";
  ASSERT_EQ(filter.InitFiltering(), 0);
  EXPECT_EQ(log.Args("aformat"), "sample_fmts=fltp:channel_layouts=0x4");
  EXPECT_EQ(out->audio_sample_rate(), 22050);
}

TEST_F(VideoGraphFilterTest, WriterIsSizedFromTheGraphAndOpened) {
  Add(MakeInput(64, 48, 0));
  filter_.graph_description_ = "[in_writer]scale=w=32:h=16[main]";
  ASSERT_EQ(filter_.InitFiltering(), 0);
  EXPECT_EQ(out_->thread_factor, 0.5f);
  EXPECT_EQ(out_->width(), 32);
  EXPECT_EQ(out_->height(), 16);
  EXPECT_EQ(out_->audio_sample_rate(), 0);
  EXPECT_FALSE(out_->IsAudioEnabled());
  EXPECT_EQ(out_->init_calls, 1);
  EXPECT_EQ(out_->open_calls, 1);
  // Without an audio output the audio side counts as ended from the start.
  EXPECT_TRUE(filter_.audio_done_);
  EXPECT_FALSE(filter_.video_done_);
}

TEST_F(VideoGraphFilterTest, FailedWriterOpenFailsTheStart) {
  out_->open_result = AVERROR(EACCES);
  Add(MakeInput(32, 24, 0));
  filter_.graph_description_ = "[in_writer]null";
  EXPECT_EQ(filter_.InitFiltering(), AVERROR(EACCES));
}

TEST_F(VideoGraphFilterTest, SideRulePullsTheStreamThatLiesBehind) {
  BuildMain("[in_writer]null[main];[in_writer_a]anull");
  AddPictures(3, 0, 40);
  AddAudioFrames(3);
  out_->fixed_audio_position = 960;
  out_->fixed_video_position = 1000;
  ASSERT_EQ(filter_.FilterOnce(), 0);
  EXPECT_EQ(out_->Order(), "A");
  out_->fixed_audio_position = 1000;
  ASSERT_EQ(filter_.FilterOnce(), 0);
  EXPECT_EQ(out_->Order(), "AV");

  // Once the video has ended, audio is pulled whatever the positions.
  ASSERT_EQ(main_->Close(), 0);
  out_->fixed_audio_position = 5000;
  while (!filter_.video_done_) {
    ASSERT_EQ(filter_.FilterOnce(), 0);
  }
  EXPECT_EQ(out_->Order(), "AVVV");
  ASSERT_EQ(filter_.FilterOnce(), 0);
  EXPECT_EQ(out_->Order(), "AVVVA");
}

TEST_F(VideoGraphFilterTest, AudioThatIsNotReadyEndsTheDrainPass) {
  BuildMain("[in_writer]null[main];[in_writer_a]anull");
  AddPictures(3, 0, 40);
  // Video at 0 and 40 go out; then audio lies behind and has nothing.
  EXPECT_EQ(filter_.FilterAvailable(), 0);
  EXPECT_EQ(out_->Order(), "VV");
  EXPECT_EQ(filter_.FilterOnce(), AVERROR(EAGAIN));
  EXPECT_EQ(out_->Order(), "VV");

  AddAudioFrames(5);  // 106 ms
  EXPECT_EQ(filter_.FilterAvailable(), 0);
  EXPECT_EQ(out_->video_frames(), 3);
  EXPECT_EQ(out_->audio_frames(), 5);
  EXPECT_TRUE(FollowsSideRule(out_->frames));
}

// Video that waits for audio leaves the graph; the waiting frames, and the
// end of the video behind them, still reach the writer in turn.
TEST_F(VideoGraphFilterTest, VideoWaitingForAudioReachesTheWriterInTurn) {
  BuildMain("[in_writer]null[main];[in_writer_a]anull");
  int out = 0;
  for (int i = 0; i < 4; ++i) {
    ++out;
    SharedPicture picture(picture_.data(), [&out](const uint8_t*) { --out; });
    ASSERT_EQ(main_->LendFrame(picture, i * 40), 0);
  }
  EXPECT_EQ(out, 0);  // copied on the way in
  EXPECT_EQ(filter_.FilterAvailable(), 0);
  EXPECT_EQ(out_->Order(), "VV");
  EXPECT_EQ(out, 0);
  ASSERT_EQ(main_input_->WriteVideoFrame(nullptr), 0);  // video ends
  EXPECT_EQ(filter_.FilterAvailable(), 0);
  EXPECT_FALSE(filter_.video_done_);  // its end waits behind the frames

  AddAudioFrames(9);  // 192 ms
  ASSERT_EQ(main_input_->WriteAudioFrame(nullptr), 0);
  ASSERT_EQ(filter_.FilterAvailable(), 0);
  EXPECT_TRUE(filter_.audio_done_ && filter_.video_done_);
  EXPECT_EQ(out_->video_frames(), 4);
  EXPECT_EQ(out_->audio_frames(), 9);
  EXPECT_TRUE(FollowsSideRule(out_->frames));
  int64_t expected_video = 0;
  for (const SeenFrame& f : out_->frames) {
    if (f.audio) continue;
    EXPECT_EQ(f.pts, expected_video);
    EXPECT_EQ(f.bytes, std::vector<uint8_t>(picture_.begin(), picture_.begin() + 32 * 24));
    expected_video += 40;
  }
}

TEST_F(VideoGraphFilterTest, DrainInterleavesLongRunsByTime) {
  BuildMain("[in_writer]null[main];[in_writer_a]anull");
  // One second of 25 fps pictures and of audio, fed as a recorder would.
  for (int i = 0; i < 25; ++i) {
    ASSERT_EQ(main_->AddFrame(picture_.data(), i * 40), 0);
    if (i % 2 == 1) AddAudioFrames(4);
    ASSERT_EQ(filter_.FilterAvailable(), 0);
  }
  ASSERT_EQ(main_->Close(), 0);
  ASSERT_EQ(filter_.FilterAvailable(), 0);
  EXPECT_TRUE(filter_.audio_done_ && filter_.video_done_);
  EXPECT_EQ(out_->video_frames(), 25);
  EXPECT_EQ(out_->audio_frames(), 48);
  EXPECT_TRUE(FollowsSideRule(out_->frames));
  // Both streams keep their timestamps, rescaled into the writer's bases.
  int64_t expected_video = 0;
  int64_t expected_audio = 0;
  for (const SeenFrame& f : out_->frames) {
    if (f.audio) {
      EXPECT_EQ(f.pts, expected_audio);
      expected_audio += 1024;
    } else {
      EXPECT_EQ(f.pts, expected_video);
      expected_video += 40;
    }
  }
}

TEST_F(VideoGraphFilterTest, CloseDeletesTheWriterWhateverItsResult) {
  bool destroyed = false;
  out_->destroyed = &destroyed;
  out_->close_result = AVERROR(ENOSPC);
  out_->fixed_video_position = 777;
  Add(MakeInput(32, 24, 0));
  filter_.graph_description_ = "[in_writer]null";
  ASSERT_EQ(filter_.InitFiltering(), 0);
  EXPECT_EQ(filter_.OutputPosition(), 777);
  EXPECT_EQ(filter_.Close(), AVERROR(ENOSPC));
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(filter_.writer_, nullptr);
  EXPECT_EQ(filter_.OutputPosition(), -1);
}

TEST(VideoGraphFilterSourcesTest, FilterToEndRunsAGraphWithItsOwnSources) {
  // Sources written into the text, as the editor's movie sources are.
  VideoGraphFilter filter;
  std::vector<SeenFrame> frames;
  bool destroyed = false;
  RecordingWriter* out = new RecordingWriter();
  out->keep_frames = &frames;
  out->destroyed = &destroyed;
  out->sample_fmt = AV_SAMPLE_FMT_FLTP;
  out->close_result = 3;
  filter.writer_.reset(out);
  filter.graph_description_ =
      "testsrc=size=40x30:rate=25:duration=0.4;"
      "sine=sample_rate=48000:duration=0.4";
  EXPECT_EQ(filter.FilterToEnd(), 3);
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(filter.OutputPosition(), -1);
  EXPECT_TRUE(filter.audio_done_ && filter.video_done_);

  int video = 0;
  int samples = 0;
  for (const SeenFrame& f : frames) {
    if (f.audio) {
      EXPECT_EQ(f.pts, samples);  // in 1/48000
      EXPECT_LE(f.nb_samples, 1024);
      EXPECT_EQ(f.format, AV_SAMPLE_FMT_FLTP);
      samples += f.nb_samples;
    } else {
      EXPECT_EQ(f.pts, video * 40);  // in milliseconds
      EXPECT_EQ(f.width, 40);
      EXPECT_EQ(f.format, AV_PIX_FMT_YUV420P);
      ++video;
    }
  }
  EXPECT_EQ(video, 10);
  EXPECT_EQ(samples, 19200);
  EXPECT_TRUE(FollowsSideRule(frames));
}

TEST(VideoGraphFilterDeathTest, DrainingAnUnconfiguredGraphStops) {
  EXPECT_DEATH(
      {
        VideoGraphFilter filter;
        filter.writer_.reset(new RecordingWriter());
        filter.FilterAvailable();
      },
      "output_filter_video_ctx_ != __null");
  EXPECT_DEATH(
      {
        VideoGraphFilter filter;
        filter.InitFiltering();
      },
      "writer_ != __null");
  // A text that does not parse takes the input sources with it: a later
  // write stops on the missing source instead of using a freed one.
  EXPECT_DEATH(
      {
        VideoGraphFilter filter;
        filter.writer_.reset(new RecordingWriter());
        std::unique_ptr<GraphInputWriter> input(MakeInput(16, 16, 0));
        filter.AddInputWriter(input.get());
        filter.graph_description_ = "[in_writer]no_such_filter_here";
        filter.InitFiltering();
        input->Close();
      },
      "video_filter_ctx_ != __null");
}

}  // namespace
}  // namespace kelmora
