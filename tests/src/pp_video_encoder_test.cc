// "ppenc" and "ppenc_vp9": the browser's encoder behind the writer, driven
// from a worker thread while this thread serves the browser's main loop.

#include "pp_video_encoder.h"

#include <gtest/gtest.h>

#include <string>

#include "media_test_support.h"
#include "ppapi/c/pp_errors.h"
#include "ppplatform/video_encoder_hooks.h"
#include "pp_test_browser.h"
#include "simple_video_writer.h"
#include "video_encoder_rule.h"

namespace kelmora {
namespace {

using pp::platform::FailVideoEncoderStep;
using pp::platform::GetVideoEncoderRecord;
using pp::platform::VideoEncoderRecord;
using pp::platform::VideoEncoderStep;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;
using testing_support::DecodeFile;
using testing_support::FileInfo;
using testing_support::MakeVideoFrame;
using testing_support::StreamInfo;
using testing_support::TempPath;
using testing_support::TestBrowser;
using testing_support::WriteSynthetic;
using testing_support::Written;

class PPVideoEncoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestBrowser::Start();
    pp::platform::ResetVideoEncoderHooks();
    instance_ = TestBrowser::CreateInstance();
    ASSERT_TRUE(instance_);
    ASSERT_TRUE(ArePPEncodersRegistered());
  }
  void TearDown() override {
    if (instance_) TestBrowser::DestroyInstance(instance_);
    SetChromeVersion(0);
    pp::platform::ResetVideoEncoderHooks();
    EXPECT_EQ(GetVideoEncoderRecord().open_encoders, 0) << "browser encoder left open";
  }

  pp::Instance* instance_ = nullptr;
};

TEST_F(PPVideoEncoderTest, DefaultWebmUsesBrowserEncoderWithKeyframesEvery5s) {
  SetChromeVersion(47);
  std::string path = TempPath("ppenc_default.webm");
  Written written;
  std::string out, err;
  TestBrowser::RunOnWorker([&] {
    SimpleVideoWriter writer(path);
    writer.SetVideoSize(320, 240);
    writer.SetAudioSampleRate(48000);
    CaptureStdout();
    ASSERT_EQ(writer.Init(), 0);
    ASSERT_EQ(writer.Open(), 0);
    out = GetCapturedStdout();
    written = WriteSynthetic(&writer, 12, 10);
    ASSERT_EQ(writer.Close(), 0);
  });
  EXPECT_NE(out.find("simpleVideoWriter: using default codec ppenc for 320x240\n"),
            std::string::npos) << out;
  EXPECT_NE(out.find("ppVideoEncoder: started\n"), std::string::npos);

  VideoEncoderRecord record = GetVideoEncoderRecord();
  EXPECT_EQ(record.initialize_calls, 1);
  EXPECT_EQ(record.profile, PP_VIDEOPROFILE_VP8_ANY);
  EXPECT_EQ(record.input_format, PP_VIDEOFRAME_FORMAT_I420);
  EXPECT_EQ(record.acceleration, PP_HARDWAREACCELERATION_NONE);
  EXPECT_EQ(record.visible_size.width, 320);
  EXPECT_EQ(record.visible_size.height, 240);
  EXPECT_EQ(record.initial_bitrate, 320u * 240u * 60u);
  EXPECT_EQ(record.frames_encoded, written.video_frames);
  EXPECT_EQ(record.keyframes_requested, 2);  // at 5 s and 10 s
  // Every buffer went back to the browser.
  EXPECT_EQ(record.buffers_recycled, record.buffers_delivered);

  FileInfo info = DecodeFile(path);
  ASSERT_EQ(info.streams.size(), 2u);
  const StreamInfo* video = info.Find(AVMEDIA_TYPE_VIDEO);
  const StreamInfo* audio = info.Find(AVMEDIA_TYPE_AUDIO);
  ASSERT_TRUE(video && audio);
  EXPECT_EQ(video->codec_id, AV_CODEC_ID_VP8);
  EXPECT_EQ(video->width, 320);
  EXPECT_EQ(video->height, 240);
  EXPECT_EQ(video->decoded_frames, written.video_frames);
  EXPECT_EQ(video->decode_errors, 0);
  // Each packet carries its frame's time; keys exactly where the browser
  // made them. The muxer shifts everything by Opus's start padding.
  ASSERT_EQ(video->packet_pts.size(), 120u);
  const int64_t shift = av_rescale_q(video->packet_pts[0], video->time_base, {1, 1000});
  EXPECT_LT(shift, 10);
  for (int i = 0; i < 120; ++i) {
    EXPECT_EQ(av_rescale_q(video->packet_pts[i], video->time_base, {1, 1000}) - shift,
              i * 100);
  }
  EXPECT_EQ(video->key_pts_ms,
            (std::vector<int64_t>{shift, 5000 + shift, 10000 + shift}));
  EXPECT_EQ(audio->codec_id, AV_CODEC_ID_OPUS);
  EXPECT_NEAR(audio->decoded_samples, written.audio_samples, 960);
  EXPECT_NEAR(info.duration_ms, 12000, 150);
}

TEST_F(PPVideoEncoderTest, RuleSendsOldBrowsersAndLargePicturesToLibvpx) {
  struct Case {
    int version;
    int width, height;
    const char* codec;
  } cases[] = {{45, 320, 240, "libvpx"},
               {46, 1920, 1088, "ppenc"},
               {47, 1920, 1080, "ppenc"},
               {47, 2560, 1440, "libvpx"},
               {48, 2560, 1440, "ppenc"}};
  for (const Case& c : cases) {
    SetChromeVersion(c.version);
    pp::platform::ResetVideoEncoderHooks();
    std::string path = TempPath("rule.webm");
    std::string out;
    TestBrowser::RunOnWorker([&] {
      SimpleVideoWriter writer(path);
      writer.SetVideoSize(c.width, c.height);
      writer.SetThreadFactor(testing_support::OneEncoderThread());
      CaptureStdout();
      ASSERT_EQ(writer.Init(), 0);
      out = GetCapturedStdout();
      ASSERT_EQ(writer.Open(), 0);
      for (int i = 0; i < 2; ++i) {
        auto frame = MakeVideoFrame(c.width, c.height, i, i * 33);
        ASSERT_EQ(writer.WriteVideoFrame(frame.get()), 0);
      }
      ASSERT_EQ(writer.Close(), 0);
    });
    std::string line = std::string("simpleVideoWriter: using default codec ") + c.codec +
                       " for " + std::to_string(c.width) + "x" + std::to_string(c.height) +
                       "\n";
    EXPECT_NE(out.find(line), std::string::npos) << c.version << ": " << out;
    const bool browser = std::string(c.codec) == "ppenc";
    EXPECT_EQ(GetVideoEncoderRecord().frames_encoded, browser ? 2 : 0) << c.version;
    FileInfo info = DecodeFile(path);
    ASSERT_EQ(info.streams.size(), 1u);
    EXPECT_EQ(info.streams[0].codec_id, AV_CODEC_ID_VP8);
    EXPECT_EQ(info.streams[0].decoded_frames, 2);
  }
}

TEST_F(PPVideoEncoderTest, InitialBitrateFollowsBrowserVersion) {
  EXPECT_EQ(PPVideoEncoder::InitialBitrate(0, pp::Size(1280, 720)), 55296000u);
  EXPECT_EQ(PPVideoEncoder::InitialBitrate(47, pp::Size(1280, 720)), 55296000u);
  EXPECT_EQ(PPVideoEncoder::InitialBitrate(48, pp::Size(1280, 720)), 0u);

  SetChromeVersion(48);
  TestBrowser::RunOnWorker([&] {
    SimpleVideoWriter writer(TempPath("bitrate.webm"));
    ASSERT_TRUE(writer.SetVideoCodec("ppenc"));
    writer.SetVideoSize(1280, 720);
    ASSERT_EQ(writer.Open(), 0);
    ASSERT_EQ(writer.Close(), 0);
  });
  EXPECT_EQ(GetVideoEncoderRecord().initial_bitrate, 0u);
}

TEST_F(PPVideoEncoderTest, Vp9ByName) {
  std::string path = TempPath("ppenc_vp9.webm");
  Written written;
  TestBrowser::RunOnWorker([&] {
    SimpleVideoWriter writer(path);
    ASSERT_TRUE(writer.SetVideoCodec("ppenc_vp9"));
    writer.SetVideoSize(352, 288);
    writer.SetAudioSampleRate(48000);
    ASSERT_EQ(writer.Init(), 0);
    ASSERT_EQ(writer.Open(), 0);
    written = WriteSynthetic(&writer, 2, 15);
    ASSERT_EQ(writer.Close(), 0);
  });
  EXPECT_EQ(GetVideoEncoderRecord().profile, PP_VIDEOPROFILE_VP9_ANY);
  FileInfo info = DecodeFile(path);
  ASSERT_EQ(info.streams.size(), 2u);
  const StreamInfo* video = info.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_TRUE(video);
  EXPECT_EQ(video->codec_id, AV_CODEC_ID_VP9);
  EXPECT_EQ(video->width, 352);
  EXPECT_EQ(video->height, 288);
  EXPECT_EQ(video->decoded_frames, written.video_frames);
  EXPECT_EQ(video->decode_errors, 0);
  EXPECT_NEAR(info.duration_ms, 2000, 100);
}

TEST_F(PPVideoEncoderTest, KeyframeRule) {
  auto frame = MakeVideoFrame(16, 16, 0, 0);
  EXPECT_FALSE(PPVideoEncoder::ShouldForceKeyframe(frame.get(), 0));
  frame->pts = 4999;
  EXPECT_FALSE(PPVideoEncoder::ShouldForceKeyframe(frame.get(), 0));
  frame->pts = 5000;
  EXPECT_TRUE(PPVideoEncoder::ShouldForceKeyframe(frame.get(), 0));
  frame->pts = 9999;
  EXPECT_FALSE(PPVideoEncoder::ShouldForceKeyframe(frame.get(), 5000));
  // Back behind the last keyframe.
  frame->pts = 100;
  EXPECT_TRUE(PPVideoEncoder::ShouldForceKeyframe(frame.get(), 200));
  frame->pts = 200;
  frame->pict_type = AV_PICTURE_TYPE_I;
  EXPECT_TRUE(PPVideoEncoder::ShouldForceKeyframe(frame.get(), 200));
}

TEST_F(PPVideoEncoderTest, IntraPictureForcesKeyframe) {
  std::string path = TempPath("ppenc_intra.mkv");
  TestBrowser::RunOnWorker([&] {
    SimpleVideoWriter writer(path);
    ASSERT_TRUE(writer.SetVideoCodec("ppenc"));
    writer.SetVideoSize(160, 120);
    ASSERT_EQ(writer.Open(), 0);
    const int64_t pts[] = {0, 100, 200, 300, 400};
    for (int i = 0; i < 5; ++i) {
      auto frame = MakeVideoFrame(160, 120, i, pts[i]);
      if (i == 2) frame->pict_type = AV_PICTURE_TYPE_I;
      ASSERT_EQ(writer.WriteVideoFrame(frame.get()), 0);
    }
    ASSERT_EQ(writer.Close(), 0);
  });
  EXPECT_EQ(GetVideoEncoderRecord().keyframes_requested, 1);
  FileInfo info = DecodeFile(path);
  ASSERT_EQ(info.streams.size(), 1u);
  EXPECT_EQ(info.streams[0].key_pts_ms, (std::vector<int64_t>{0, 200}));
  EXPECT_EQ(info.streams[0].decoded_frames, 5);
}

TEST_F(PPVideoEncoderTest, DifferentCodedSizeFailsOpen) {
  pp::platform::SetVideoEncoderCodedSize(PP_MakeSize(1280, 736));
  std::string err;
  int result = 0;
  TestBrowser::RunOnWorker([&] {
    SimpleVideoWriter writer(TempPath("coded_size.webm"));
    ASSERT_TRUE(writer.SetVideoCodec("ppenc"));
    writer.SetVideoSize(1280, 720);
    CaptureStderr();
    result = writer.Open();
    err = GetCapturedStderr();
  });
  EXPECT_LT(result, 0);
  EXPECT_NE(err.find("ppVideoEncoder, requires size 1280x736, but was 1280x720\n"),
            std::string::npos) << err;
  EXPECT_NE(err.find("Could not open video codec : "), std::string::npos);
  EXPECT_EQ(GetVideoEncoderRecord().initialize_calls, 1);
}

TEST_F(PPVideoEncoderTest, StartFailuresFailOpen) {
  struct Case {
    VideoEncoderStep step;
    const char* line;
  } cases[] = {
      // A failure at the call reaches the required callback all the same.
      {VideoEncoderStep::kInitializeCall, "Encoder initialization failed: -2\n"},
      {VideoEncoderStep::kInitialize, "Encoder initialization failed: -2\n"},
      {VideoEncoderStep::kGetFrameCodedSize, "Cannot get encoder coded frame size -2\n"},
  };
  for (const Case& c : cases) {
    pp::platform::ResetVideoEncoderHooks();
    FailVideoEncoderStep(c.step, PP_ERROR_FAILED);
    std::string err;
    int result = 0;
    TestBrowser::RunOnWorker([&] {
      SimpleVideoWriter writer(TempPath("start_failure.webm"));
      ASSERT_TRUE(writer.SetVideoCodec("ppenc"));
      writer.SetVideoSize(320, 240);
      CaptureStderr();
      result = writer.Open();
      err = GetCapturedStderr();
    });
    EXPECT_EQ(result, AVERROR_EXTERNAL) << c.line;
    EXPECT_NE(err.find(c.line), std::string::npos) << err;
    EXPECT_NE(err.find("Could not open video codec : "), std::string::npos) << err;
    EXPECT_EQ(GetVideoEncoderRecord().open_encoders, 0) << c.line;
  }
}

TEST_F(PPVideoEncoderTest, WithoutInstanceOpenFails) {
  TestBrowser::DestroyInstance(instance_);
  instance_ = nullptr;
  ASSERT_FALSE(ArePPEncodersRegistered());
  std::string err;
  int result = 0;
  TestBrowser::RunOnWorker([&] {
    SimpleVideoWriter writer(TempPath("no_instance.webm"));
    // Still known to the writer, but nothing to reach the browser through.
    ASSERT_TRUE(writer.SetVideoCodec("ppenc"));
    writer.SetVideoSize(320, 240);
    CaptureStderr();
    result = writer.Open();
    err = GetCapturedStderr();
  });
  EXPECT_LT(result, 0);
  // The line has no end of its own: the open failure follows directly.
  EXPECT_NE(err.find("ppVideoEncoder instance not setCould not open video codec : "),
            std::string::npos)
      << err;
  EXPECT_EQ(GetVideoEncoderRecord().initialize_calls, 0);
}

// An instance that does not take itself out of the record when destroyed:
// the record as a worker finds it when it read the record just before the
// main thread destroyed the instance that it names.
class VanishingInstance : public pp::Instance {
 public:
  explicit VanishingInstance(PP_Instance id) : pp::Instance(id) {}
};

TEST_F(PPVideoEncoderTest, OpenDoesNotReachTheInstanceObject) {
  pp::Instance* vanishing = new VanishingInstance(9000);
  RegisterPPEncoders(vanishing);
  delete vanishing;  // the sanitizer build sees any later use
  std::string path = TempPath("ppenc_vanished.webm");
  Written written;
  TestBrowser::RunOnWorker([&] {
    SimpleVideoWriter writer(path);
    ASSERT_TRUE(writer.SetVideoCodec("ppenc"));
    writer.SetVideoSize(160, 120);
    CaptureStdout();
    int init = writer.Init();
    int open = writer.Open();
    GetCapturedStdout();
    ASSERT_EQ(init, 0);
    ASSERT_EQ(open, 0);
    written = WriteSynthetic(&writer, 1, 5);
    ASSERT_EQ(writer.Close(), 0);
  });
  // This browser takes any instance id; a real one refuses a dead one, and
  // the open then fails like any failed start.
  EXPECT_EQ(GetVideoEncoderRecord().initialize_calls, 1);
  EXPECT_EQ(DecodeFile(path).streams.at(0).decoded_frames, written.video_frames);
  // Tear-down clears the record through the fixture's instance.
  RegisterPPEncoders(instance_);
}

TEST_F(PPVideoEncoderTest, FailedEncodeStepDropsOnlyThatFrame) {
  struct Case {
    VideoEncoderStep step;
    std::string lines;
  } cases[] = {
      {VideoEncoderStep::kGetVideoFrame,
       "ppVideoEncoder: failed to get frame from encoder: -2\n"
       "PPVideoEncoder: getFrame failed\n"},
      {VideoEncoderStep::kEncode,
       "pVideoEncoder: Encode failed: -2\nPPVideoEncoder: encode failed\n"},
      {VideoEncoderStep::kGetBitstreamBuffer,
       "Cannot get bitstream buffer -2\nPPVideoEncoder: encode failed\n"},
  };
  for (const Case& c : cases) {
    pp::platform::ResetVideoEncoderHooks();
    std::string path = TempPath("encode_failure.webm");
    std::string err;
    TestBrowser::RunOnWorker([&] {
      SimpleVideoWriter writer(path);
      ASSERT_TRUE(writer.SetVideoCodec("ppenc"));
      writer.SetVideoSize(160, 120);
      ASSERT_EQ(writer.Open(), 0);
      FailVideoEncoderStep(c.step, PP_ERROR_FAILED, 3);
      for (int i = 0; i < 6; ++i) {
        auto frame = MakeVideoFrame(160, 120, i, i * 100);
        // A keyframe right after the lost frame shows whether the next
        // packets still carry their own pictures.
        if (i == 3) frame->pict_type = AV_PICTURE_TYPE_I;
        if (i == 2) CaptureStderr();
        // A frame that produced nothing is no failure of the writer.
        EXPECT_EQ(writer.WriteVideoFrame(frame.get()), 0);
        if (i == 2) err = GetCapturedStderr();
      }
      ASSERT_EQ(writer.Close(), 0);
    });
    EXPECT_EQ(err, c.lines);
    VideoEncoderRecord record = GetVideoEncoderRecord();
    EXPECT_EQ(record.buffers_recycled, record.buffers_delivered);
    FileInfo info = DecodeFile(path);
    ASSERT_EQ(info.streams.size(), 1u);
    EXPECT_EQ(info.streams[0].decoded_frames, 5) << c.lines;
    EXPECT_EQ(info.streams[0].key_pts_ms, (std::vector<int64_t>{0, 300})) << c.lines;
    EXPECT_EQ(info.streams[0].decode_errors, 0) << c.lines;
  }
}

TEST_F(PPVideoEncoderTest, TwoWritersHaveTheirOwnEncoders) {
  std::string first = TempPath("two_a.webm");
  std::string second = TempPath("two_b.webm");
  int open_while_writing = 0;
  TestBrowser::RunOnWorker([&] {
    SimpleVideoWriter a(first);
    SimpleVideoWriter b(second);
    ASSERT_TRUE(a.SetVideoCodec("ppenc"));
    ASSERT_TRUE(b.SetVideoCodec("ppenc_vp9"));
    a.SetVideoSize(160, 120);
    b.SetVideoSize(320, 240);
    ASSERT_EQ(a.Open(), 0);
    ASSERT_EQ(b.Open(), 0);
    open_while_writing = GetVideoEncoderRecord().open_encoders;
    for (int i = 0; i < 10; ++i) {
      auto small = MakeVideoFrame(160, 120, i, i * 40);
      auto large = MakeVideoFrame(320, 240, i, i * 40);
      ASSERT_EQ(a.WriteVideoFrame(small.get()), 0);
      ASSERT_EQ(b.WriteVideoFrame(large.get()), 0);
    }
    ASSERT_EQ(a.Close(), 0);
    ASSERT_EQ(b.Close(), 0);
  });
  EXPECT_EQ(open_while_writing, 2);
  FileInfo a = DecodeFile(first);
  FileInfo b = DecodeFile(second);
  ASSERT_EQ(a.streams.size(), 1u);
  ASSERT_EQ(b.streams.size(), 1u);
  EXPECT_EQ(a.streams[0].codec_id, AV_CODEC_ID_VP8);
  EXPECT_EQ(b.streams[0].codec_id, AV_CODEC_ID_VP9);
  EXPECT_EQ(a.streams[0].decoded_frames, 10);
  EXPECT_EQ(b.streams[0].decoded_frames, 10);
  EXPECT_EQ(b.streams[0].width, 320);
}

TEST_F(PPVideoEncoderTest, WriterDestroyedWithoutCloseClosesBrowserEncoder) {
  TestBrowser::RunOnWorker([&] {
    SimpleVideoWriter writer(TempPath("unclosed.webm"));
    ASSERT_TRUE(writer.SetVideoCodec("ppenc"));
    writer.SetVideoSize(160, 120);
    ASSERT_EQ(writer.Open(), 0);
    auto frame = MakeVideoFrame(160, 120, 0, 0);
    ASSERT_EQ(writer.WriteVideoFrame(frame.get()), 0);
    EXPECT_EQ(GetVideoEncoderRecord().open_encoders, 1);
  });
  // TearDown checks that no browser encoder is left open.
}

}  // namespace
}  // namespace kelmora
