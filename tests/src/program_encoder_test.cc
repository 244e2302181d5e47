// The program's own encoders, driven by SimpleVideoWriter like library
// encoders: looked up by name first, opened, fed, drained and closed.

#include "program_encoder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "encoder_context.h"
#include "media_test_support.h"
#include "simple_video_writer.h"
#include "utils.h"

extern "C" {
#include <libavutil/imgutils.h>
}

namespace kelmora {
namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using testing_support::DecodeFile;
using testing_support::EndsWith;
using testing_support::FileInfo;
using testing_support::MakeAudioFrame;
using testing_support::MakeVideoFrame;
using testing_support::PictureCrc;
using testing_support::StreamInfo;
using testing_support::TempPath;

struct Calls {
  int init = 0;
  int encode = 0;
  int close = 0;
};
Calls raw_calls;

struct RawState {
  int frames;
  int64_t last_dts;
  bool bad_packet_sent;
};

const AVPixelFormat kYuv420p[] = {AV_PIX_FMT_YUV420P, AV_PIX_FMT_NONE};
const AVSampleFormat kFltp[] = {AV_SAMPLE_FMT_FLTP, AV_SAMPLE_FMT_NONE};

int RawInit(AVCodecContext* context) {
  ++raw_calls.init;
  RawState* state = static_cast<RawState*>(context->priv_data);
  // The layer hands over zeroed private data of the declared size.
  EXPECT_EQ(state->frames, 0);
  // As the library's raw encoder: containers need the picture layout tag.
  context->codec_tag = avcodec_pix_fmt_to_codec_tag(context->pix_fmt);
  return context->width > 0 && context->height > 0 ? 0 : AVERROR(EINVAL);
}

int DelayedRawInit(AVCodecContext* context) {
  context->codec_tag = avcodec_pix_fmt_to_codec_tag(context->pix_fmt);
  return 0;
}

// Packs the picture tightly: the library's raw video decoder reads it back.
int RawEncodePicture(AVCodecContext* context, AVPacket* packet,
                     const AVFrame* frame) {
  int size = av_image_get_buffer_size(AV_PIX_FMT_YUV420P, frame->width,
                                      frame->height, 1);
  int result = av_new_packet(packet, size);
  if (result < 0) return result;
  av_image_copy_to_buffer(packet->data, size, frame->data, frame->linesize,
                          AV_PIX_FMT_YUV420P, frame->width, frame->height, 1);
  packet->flags |= AV_PKT_FLAG_KEY;
  return 0;
}

int RawEncode(AVCodecContext* context, AVPacket* packet, const AVFrame* frame,
              int* got_packet) {
  ++raw_calls.encode;
  RawState* state = static_cast<RawState*>(context->priv_data);
  ++state->frames;
  int result = RawEncodePicture(context, packet, frame);
  if (result < 0) return result;
  *got_packet = 1;
  return 0;
}

int RawClose(AVCodecContext* context) {
  ++raw_calls.close;
  return 0;
}

// Shadows the library's encoder of the same name and does the same job.
const ProgramEncoder kRawVideo = {
    "rawvideo", "test raw video", AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_RAWVIDEO,
    kYuv420p, nullptr, 0, sizeof(RawState), RawInit, RawEncode, RawClose};

// With delay: sets its own timestamps and, at the end of the stream, gives
// one packet that no muxer takes (pts before dts).
int DelayedRawEncode(AVCodecContext* context, AVPacket* packet,
                     const AVFrame* frame, int* got_packet) {
  RawState* state = static_cast<RawState*>(context->priv_data);
  if (!frame) {
    if (state->bad_packet_sent) return 0;
    state->bad_packet_sent = true;
    int result = av_new_packet(packet, 16);
    if (result < 0) return result;
    packet->dts = state->last_dts + 40;
    packet->pts = packet->dts - 20;
    *got_packet = 1;
    return 0;
  }
  int result = RawEncodePicture(context, packet, frame);
  if (result < 0) return result;
  packet->pts = packet->dts = state->last_dts = frame->pts;
  *got_packet = 1;
  return 0;
}

const ProgramEncoder kDelayedRawVideo = {
    "test_delayed_rawvideo", "test raw video, bad last packet",
    AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_RAWVIDEO, kYuv420p, nullptr,
    AV_CODEC_CAP_DELAY, sizeof(RawState), DelayedRawInit, DelayedRawEncode,
    nullptr};

// Planar float in, interleaved float PCM out, any frame size; its drain
// gives one packet that no muxer takes.
int PcmInit(AVCodecContext* context) {
  context->frame_size = 0;
  return 0;
}

int PcmEncode(AVCodecContext* context, AVPacket* packet, const AVFrame* frame,
              int* got_packet) {
  RawState* state = static_cast<RawState*>(context->priv_data);
  if (!frame) {
    if (state->bad_packet_sent) return 0;
    state->bad_packet_sent = true;
    int result = av_new_packet(packet, 8);
    if (result < 0) return result;
    packet->dts = state->last_dts + 1024;
    packet->pts = packet->dts - 512;
    *got_packet = 1;
    return 0;
  }
  const int channels = frame->ch_layout.nb_channels;
  int result = av_new_packet(packet, frame->nb_samples * channels * 4);
  if (result < 0) return result;
  float* out = reinterpret_cast<float*>(packet->data);
  for (int i = 0; i < frame->nb_samples; ++i) {
    for (int c = 0; c < channels; ++c) {
      *out++ = reinterpret_cast<const float*>(frame->data[c])[i];
    }
  }
  packet->pts = packet->dts = state->last_dts = frame->pts;
  packet->duration = frame->nb_samples;
  *got_packet = 1;
  return 0;
}

const ProgramEncoder kPcm = {
    "test_pcm", "test float PCM", AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_PCM_F32LE,
    nullptr, kFltp, AV_CODEC_CAP_DELAY | AV_CODEC_CAP_VARIABLE_FRAME_SIZE,
    sizeof(RawState), PcmInit, PcmEncode, nullptr};

int FailingInit(AVCodecContext* context) { return AVERROR(EIO); }
int NeverCalledClose(AVCodecContext* context) {
  ADD_FAILURE() << "close after a failed init";
  return 0;
}

const ProgramEncoder kFailingInit = {
    "test_failing_init", "test encoder that does not start",
    AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_RAWVIDEO, kYuv420p, nullptr, 0,
    64, FailingInit, RawEncode, NeverCalledClose};

const AVPixelFormat kNv12[] = {AV_PIX_FMT_NV12, AV_PIX_FMT_NONE};
const ProgramEncoder kNv12Only = {
    "test_nv12_only", "test encoder of another pixel format",
    AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_RAWVIDEO, kNv12, nullptr, 0,
    0, nullptr, RawEncode, nullptr};

class ProgramEncoderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    RegisterProgramEncoder(&kRawVideo);
    RegisterProgramEncoder(&kDelayedRawVideo);
    RegisterProgramEncoder(&kPcm);
    RegisterProgramEncoder(&kFailingInit);
    RegisterProgramEncoder(&kNv12Only);
  }
  void SetUp() override { raw_calls = Calls(); }
};

TEST_F(ProgramEncoderTest, LookedUpBeforeTheLibrary) {
  EncoderRef raw = EncoderRef::FindByName("rawvideo");
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw.program(), &kRawVideo);
  EXPECT_EQ(raw.library(), nullptr);
  EXPECT_EQ(raw.id(), AV_CODEC_ID_RAWVIDEO);
  EXPECT_STREQ(raw.name(), "rawvideo");

  EncoderRef vpx = EncoderRef::FindByName("libvpx");
  ASSERT_TRUE(vpx);
  EXPECT_EQ(vpx.program(), nullptr);
  EXPECT_EQ(vpx.id(), AV_CODEC_ID_VP8);
  EXPECT_FALSE(EncoderRef::FindByName("no_such_encoder"));
  EXPECT_EQ(FindProgramEncoder("libvpx"), nullptr);

  // A later record of the same name replaces the earlier one.
  static const ProgramEncoder replacement = {
      "test_replaced", "first", AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_RAWVIDEO,
      kYuv420p, nullptr, 0, 0, nullptr, RawEncode, nullptr};
  static const ProgramEncoder replacement2 = {
      "test_replaced", "second", AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_RAWVIDEO,
      kYuv420p, nullptr, 0, 0, nullptr, RawEncode, nullptr};
  RegisterProgramEncoder(&replacement);
  RegisterProgramEncoder(&replacement2);
  EXPECT_STREQ(FindProgramEncoder("test_replaced")->long_name, "second");
}

TEST_F(ProgramEncoderTest, WriterEncodesThroughProgramEncoderLosslessly) {
  std::string path = TempPath("program_raw.nut");
  {
    SimpleVideoWriter writer(path);
    ASSERT_TRUE(writer.SetVideoCodec("rawvideo"));
    writer.SetVideoSize(64, 48);
    ASSERT_EQ(writer.Init(), 0);
    ASSERT_EQ(writer.Open(), 0);
    EXPECT_EQ(raw_calls.init, 1);
    for (int i = 0; i < 10; ++i) {
      auto frame = MakeVideoFrame(64, 48, i, i * 100);
      ASSERT_EQ(writer.WriteVideoFrame(frame.get()), 0);
    }
    EXPECT_EQ(writer.VideoPosition(), 900);
    ASSERT_EQ(writer.Close(), 0);
    EXPECT_EQ(raw_calls.close, 1);
  }
  // Closed once, by Close, not again by the destructor.
  EXPECT_EQ(raw_calls.close, 1);
  EXPECT_EQ(raw_calls.encode, 10);

  FileInfo info = DecodeFile(path);
  ASSERT_EQ(info.streams.size(), 1u);
  const StreamInfo& video = info.streams[0];
  EXPECT_EQ(video.codec_id, AV_CODEC_ID_RAWVIDEO);
  ASSERT_EQ(video.decoded_frames, 10);
  for (int i = 0; i < 10; ++i) {
    auto frame = MakeVideoFrame(64, 48, i, i * 100);
    EXPECT_EQ(video.picture_crcs[i], PictureCrc(frame.get())) << i;
    EXPECT_EQ(av_rescale_q(video.packet_pts[i], video.time_base, {1, 1000}),
              i * 100);
  }
}

TEST_F(ProgramEncoderTest, DestructorClosesAnOpenEncoder) {
  {
    SimpleVideoWriter writer(TempPath("program_unclosed.nut"));
    ASSERT_TRUE(writer.SetVideoCodec("rawvideo"));
    writer.SetVideoSize(64, 48);
    ASSERT_EQ(writer.Open(), 0);
  }
  EXPECT_EQ(raw_calls.init, 1);
  EXPECT_EQ(raw_calls.close, 1);
}

TEST_F(ProgramEncoderTest, NonIncreasingDtsIsRaisedInStrictContainer) {
  // NUT wants strictly increasing timestamps; its muxer picks a finer time
  // base than milliseconds, so the values are ticks of that time base.
  std::string path = TempPath("dts_fix.nut");
  SimpleVideoWriter writer(path);
  ASSERT_TRUE(writer.SetVideoCodec("rawvideo"));
  writer.SetVideoSize(64, 48);
  ASSERT_EQ(writer.Open(), 0);
  const int64_t pts[] = {0, 1000, 1000, 2000};
  std::string lines;
  for (int i = 0; i < 4; ++i) {
    auto frame = MakeVideoFrame(64, 48, i, pts[i]);
    CaptureStderr();
    EXPECT_EQ(writer.WriteVideoFrame(frame.get()), 0);
    lines += GetCapturedStderr();
    if (i == 2) {
      EXPECT_EQ(writer.VideoPosition(), 1000);
    }
  }
  ASSERT_EQ(writer.Close(), 0);

  FileInfo info = DecodeFile(path);
  ASSERT_EQ(info.streams.size(), 1u);
  const StreamInfo& video = info.streams[0];
  const int64_t second = av_rescale_q(1000, {1, 1000}, video.time_base);
  EXPECT_EQ(lines, "Ignoring non-increasing DTS, " + std::to_string(second) +
                       " > " + std::to_string(second) + "\n");
  EXPECT_EQ(video.packet_pts,
            (std::vector<int64_t>{0, second, second + 1, 2 * second}));
  EXPECT_EQ(video.decoded_frames, 4);
}

TEST_F(ProgramEncoderTest, EqualDtsPassesInNonStrictContainer) {
  std::string path = TempPath("dts_equal.mkv");
  SimpleVideoWriter writer(path);
  ASSERT_TRUE(writer.SetVideoCodec("rawvideo"));
  writer.SetVideoSize(64, 48);
  ASSERT_EQ(writer.Open(), 0);
  CaptureStderr();
  for (int64_t pts : {0, 1000, 1000}) {
    auto frame = MakeVideoFrame(64, 48, 0, pts);
    EXPECT_EQ(writer.WriteVideoFrame(frame.get()), 0);
  }
  EXPECT_EQ(GetCapturedStderr().find("Ignoring non-increasing DTS"),
            std::string::npos);
  EXPECT_EQ(writer.VideoPosition(), 1000);
  ASSERT_EQ(writer.Close(), 0);
  EXPECT_EQ(DecodeFile(path).streams.at(0).decoded_frames, 3);
}

TEST_F(ProgramEncoderTest, VideoDrainWriteFailureStopsClose) {
  std::string path = TempPath("video_drain.nut");
  SimpleVideoWriter writer(path);
  ASSERT_TRUE(writer.SetVideoCodec("test_delayed_rawvideo"));
  writer.SetVideoSize(64, 48);
  ASSERT_EQ(writer.Open(), 0);
  for (int i = 0; i < 3; ++i) {
    auto frame = MakeVideoFrame(64, 48, i, i * 40);
    ASSERT_EQ(writer.WriteVideoFrame(frame.get()), 0);
  }
  CaptureStderr();
  int result = writer.Close();
  std::string err = GetCapturedStderr();
  EXPECT_EQ(result, AVERROR(EINVAL));
  EXPECT_NE(err.find("Error while writing video frame : "), std::string::npos);
  EXPECT_TRUE(EndsWith(err, "flush video failed : Invalid argument (" +
                                std::to_string(AVERROR(EINVAL)) + ")\n"))
      << err;
  EXPECT_EQ(err.find("write trailer failed"), std::string::npos);
}

TEST_F(ProgramEncoderTest, AudioDrainWriteFailureDoesNotStopClose) {
  std::string path = TempPath("audio_drain.mkv");
  SimpleVideoWriter writer(path);
  ASSERT_TRUE(writer.SetVideoCodec("rawvideo"));
  ASSERT_TRUE(writer.SetAudioCodec("test_pcm"));
  EXPECT_EQ(writer.sample_format(), AV_SAMPLE_FMT_FLTP);
  writer.SetVideoSize(64, 48);
  writer.SetAudioSampleRate(48000);
  ASSERT_EQ(writer.Init(), 0);
  ASSERT_EQ(writer.Open(), 0);
  // A variable frame size lets the graph hand over 4096 samples at a time.
  EXPECT_EQ(writer.audio_frame_size(), 4096);

  int64_t samples = 0;
  for (int i = 0; i < 5; ++i) {
    auto audio = MakeAudioFrame(AV_SAMPLE_FMT_FLTP, 48000, 4096, samples);
    ASSERT_EQ(writer.WriteAudioFrame(audio.get()), 0);
    samples += 4096;
    auto video = MakeVideoFrame(64, 48, i, samples * 1000 / 48000);
    ASSERT_EQ(writer.WriteVideoFrame(video.get()), 0);
  }
  EXPECT_EQ(writer.AudioPosition(), 4 * 4096 * 1000 / 48000);
  CaptureStderr();
  int result = writer.Close();
  std::string err = GetCapturedStderr();
  EXPECT_EQ(result, 0) << err;
  EXPECT_NE(err.find("Error while writing audio frame : "), std::string::npos);
  EXPECT_EQ(err.find("flush audio failed"), std::string::npos);

  FileInfo info = DecodeFile(path);
  const StreamInfo* audio = info.Find(AVMEDIA_TYPE_AUDIO);
  const StreamInfo* video = info.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_TRUE(audio && video);
  EXPECT_EQ(audio->codec_id, AV_CODEC_ID_PCM_F32LE);
  EXPECT_EQ(audio->decoded_samples, samples);
  EXPECT_EQ(video->decoded_frames, 5);
}

TEST_F(ProgramEncoderTest, FailedInitFailsOpenWithoutClose) {
  SimpleVideoWriter writer(TempPath("failing_init.nut"));
  ASSERT_TRUE(writer.SetVideoCodec("test_failing_init"));
  writer.SetVideoSize(64, 48);
  CaptureStderr();
  EXPECT_EQ(writer.Open(), AVERROR(EIO));
  EXPECT_TRUE(EndsWith(GetCapturedStderr(),
                       "Could not open video codec : " +
                           AvErrorString(AVERROR(EIO)) + " (" +
                           std::to_string(AVERROR(EIO)) + ")\n"));
}

TEST_F(ProgramEncoderTest, UnsupportedPixelFormatFailsOpen) {
  SimpleVideoWriter writer(TempPath("nv12.nut"));
  ASSERT_TRUE(writer.SetVideoCodec("test_nv12_only"));
  writer.SetVideoSize(64, 48);
  CaptureStderr();
  EXPECT_EQ(writer.Open(), AVERROR(EINVAL));
  EXPECT_NE(GetCapturedStderr().find("Could not open video codec"),
            std::string::npos);
  EXPECT_EQ(raw_calls.encode, 0);
}

// Opens `context` for 32 x 32 pictures and runs one fixed series of sends
// (f: a frame, 0: the end of the stream) and receives (r), from an empty
// start to past the end: each step's answer, and the pts of what came out.
std::vector<std::pair<int, int64_t>> RunContextSteps(EncoderContext* context) {
  AVCodecContext* c = context->get();
  c->width = 32;
  c->height = 32;
  c->pix_fmt = AV_PIX_FMT_YUV420P;
  c->time_base = {1, 1000};
  std::vector<std::pair<int, int64_t>> answers;
  answers.emplace_back(context->Open(), 0);
  PacketPtr packet(av_packet_alloc());
  int64_t next_pts = 7;
  for (char step : std::string("rfffrrrff0rr0frr")) {
    if (step == 'r') {
      int result = context->ReceivePacket(packet.get());
      answers.emplace_back(result, result == 0 ? packet->pts : -1);
      if (result == 0) {
        EXPECT_EQ(packet->size, 32 * 32 * 3 / 2);
      }
      av_packet_unref(packet.get());
    } else if (step == 'f') {
      auto frame = MakeVideoFrame(32, 32, 0, next_pts++);
      answers.emplace_back(context->SendFrame(frame.get()), -1);
    } else {
      answers.emplace_back(context->SendFrame(nullptr), -1);
    }
  }
  context->Close();
  return answers;
}

TEST_F(ProgramEncoderTest, ContextStepsMatchTheLibrary) {
  // The test's "rawvideo" against the library's own: the same answers to
  // the same steps, packets with the same timestamps.
  auto program = EncoderContext::Create(EncoderRef::FindByName("rawvideo"));
  auto library = EncoderContext::Create(
      EncoderRef(avcodec_find_encoder_by_name("rawvideo")));
  ASSERT_TRUE(program && program->encoder().program());
  ASSERT_TRUE(library && library->encoder().library());
  std::vector<std::pair<int, int64_t>> expected = RunContextSteps(library.get());
  EXPECT_EQ(RunContextSteps(program.get()), expected);
  EXPECT_EQ(raw_calls.close, 1);
  // What the writer relies on: nothing before a frame, packets in order,
  // and the end after the drain.
  ASSERT_EQ(expected.size(), 17u);
  EXPECT_EQ(expected[1].first, AVERROR(EAGAIN));
  EXPECT_EQ(expected[16].first, AVERROR_EOF);
}

}  // namespace
}  // namespace kelmora
