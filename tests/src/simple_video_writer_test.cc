#include "simple_video_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "flash_beep_scene.h"
#include "local_listener.h"
#include "media_test_support.h"
#include "video_encoder_rule.h"

namespace kelmora {
namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;
using testing_support::DecodeFile;
using testing_support::EndsWith;
using testing_support::FileInfo;
using testing_support::MakeAudioFrame;
using testing_support::MakeVideoFrame;
using testing_support::OneEncoderThread;
using testing_support::ReadText;
using testing_support::StreamInfo;
using testing_support::TempPath;
using testing_support::WriteSynthetic;
using testing_support::WriteText;
using testing_support::Written;

// Init, with its progress lines kept off the test's output.
int InitQuietly(SimpleVideoWriter* writer) {
  CaptureStdout();
  int result = writer->Init();
  GetCapturedStdout();
  return result;
}

TEST(SimpleVideoWriterTest, DefaultWebmIsVp8FromLibvpxAndOpus) {
  // Browser encoders not registered: the rule sends the default to libvpx.
  ASSERT_FALSE(ArePPEncodersRegistered());
  std::string path = TempPath("default.webm");
  SimpleVideoWriter writer(path);
  writer.SetVideoSize(320, 240);
  writer.SetAudioSampleRate(48000);
  writer.SetThreadFactor(OneEncoderThread());
  EXPECT_EQ(writer.sample_format(), AV_SAMPLE_FMT_S16);
  EXPECT_EQ(writer.AudioPosition(), 0);
  EXPECT_EQ(writer.VideoPosition(), 0);

  CaptureStdout();
  ASSERT_EQ(writer.Init(), 0);
  std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("CPU count: "), std::string::npos);
  EXPECT_NE(out.find("simpleVideoWriter: using default codec libvpx for 320x240\n"),
            std::string::npos);

  CaptureStderr();
  ASSERT_EQ(writer.Open(), 0);
  std::string err = GetCapturedStderr();
  EXPECT_NE(err.find("using 1 threads\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("could not set"), std::string::npos) << err;
  EXPECT_EQ(writer.audio_frame_size(), 960);  // Opus, 20 ms at 48 kHz

  Written written = WriteSynthetic(&writer, 2, 30);
  EXPECT_GE(writer.VideoPosition(), 1900);
  EXPECT_GE(writer.AudioPosition(), 1900);
  ASSERT_EQ(writer.Close(), 0);

  FileInfo info = DecodeFile(path);
  ASSERT_TRUE(info.opened);
  EXPECT_EQ(info.format_name, "matroska,webm");
  ASSERT_EQ(info.streams.size(), 2u);
  const StreamInfo* video = info.Find(AVMEDIA_TYPE_VIDEO);
  const StreamInfo* audio = info.Find(AVMEDIA_TYPE_AUDIO);
  ASSERT_TRUE(video && audio);
  EXPECT_EQ(video->codec_id, AV_CODEC_ID_VP8);
  EXPECT_EQ(video->width, 320);
  EXPECT_EQ(video->height, 240);
  EXPECT_EQ(video->decoded_frames, written.video_frames);
  EXPECT_EQ(video->decode_errors, 0);
  EXPECT_EQ(audio->codec_id, AV_CODEC_ID_OPUS);
  EXPECT_EQ(audio->sample_rate, 48000);
  EXPECT_EQ(audio->channels, 2);
  EXPECT_EQ(audio->decode_errors, 0);
  // The decoder drops the encoder's pre-skip; the rest must all be there.
  EXPECT_NEAR(audio->decoded_samples, written.audio_samples, 960);
  EXPECT_NEAR(info.duration_ms, 2000, 60);
}

TEST(SimpleVideoWriterTest, OpusInWebmStartsWithThePicture) {
  // Flashes and beeps at the same instants: the file keeps them together,
  // and both streams start at 0. The encoder's priming must not move the
  // sound ahead of the picture (nor the muxer the picture behind it).
  testing_support::FlashBeepScene scene(1933, {990, 2500}, 3000);
  std::string path = TempPath("priming.webm");
  SimpleVideoWriter writer(path);
  writer.SetVideoSize(96, 64);
  writer.SetAudioSampleRate(scene.kSampleRate);
  writer.SetThreadFactor(OneEncoderThread());
  ASSERT_EQ(InitQuietly(&writer), 0);
  CaptureStderr();
  ASSERT_EQ(writer.Open(), 0);
  GetCapturedStderr();
  int64_t samples = 0;
  for (int64_t ms : scene.frame_times()) {
    FramePtr picture = scene.VideoFrame(96, 64, ms);
    ASSERT_EQ(writer.WriteVideoFrame(picture.get()), 0);
    const int size = writer.audio_frame_size();
    for (; samples + size <= (ms + 33) * scene.kSampleRate / 1000; samples += size) {
      FramePtr sound = scene.AudioFrame(samples, size);
      ASSERT_EQ(writer.WriteAudioFrame(sound.get()), 0);
    }
  }
  ASSERT_EQ(writer.Close(), 0);

  testing_support::FlashBeepTimes times = testing_support::MeasureFlashesAndBeeps(path);
  ASSERT_EQ(times.flashes_ms, (std::vector<int64_t>{990, 2500}));
  ASSERT_EQ(times.beeps_ms.size(), 2u);
  for (size_t i = 0; i < 2; ++i) EXPECT_NEAR(times.beeps_ms[i], times.flashes_ms[i], 1) << i;
  FileInfo info = DecodeFile(path);
  const StreamInfo* video = info.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_TRUE(video && !video->packet_pts.empty());
  EXPECT_EQ(video->packet_pts.front(), 0);
}

TEST(SimpleVideoWriterTest, Mp4WithH264AndAac) {
  std::string path = TempPath("edit.mp4");
  SimpleVideoWriter writer(path);
  writer.format_name_ = "mp4";
  ASSERT_TRUE(writer.SetVideoCodec("libx264"));
  ASSERT_TRUE(writer.SetAudioCodec("aac"));
  EXPECT_EQ(writer.sample_format(), AV_SAMPLE_FMT_FLTP);
  writer.SetVideoSize(640, 360);
  writer.SetThreadFactor(OneEncoderThread());
  writer.SetAudioSampleRate(44100);

  CaptureStdout();
  ASSERT_EQ(writer.Init(), 0);
  // An explicit encoder is not a default: no default-codec line.
  EXPECT_EQ(GetCapturedStdout().find("using default codec"), std::string::npos);
  CaptureStderr();
  ASSERT_EQ(writer.Open(), 0);
  std::string err = GetCapturedStderr();
  EXPECT_EQ(err.find("could not set"), std::string::npos) << err;
  EXPECT_EQ(writer.audio_frame_size(), 1024);
  EXPECT_EQ(writer.audio_time_base().den, 44100);

  Written written = WriteSynthetic(&writer, 2, 25);
  ASSERT_EQ(writer.Close(), 0);

  FileInfo info = DecodeFile(path);
  ASSERT_TRUE(info.opened);
  EXPECT_NE(info.format_name.find("mp4"), std::string::npos);
  ASSERT_EQ(info.streams.size(), 2u);
  const StreamInfo* video = info.Find(AVMEDIA_TYPE_VIDEO);
  const StreamInfo* audio = info.Find(AVMEDIA_TYPE_AUDIO);
  ASSERT_TRUE(video && audio);
  EXPECT_EQ(video->codec_id, AV_CODEC_ID_H264);
  EXPECT_EQ(video->width, 640);
  EXPECT_EQ(video->height, 360);
  EXPECT_EQ(video->decoded_frames, written.video_frames);
  EXPECT_EQ(video->decode_errors, 0);
  EXPECT_EQ(audio->codec_id, AV_CODEC_ID_AAC);
  EXPECT_EQ(audio->sample_rate, 44100);
  EXPECT_EQ(audio->channels, 2);
  EXPECT_NEAR(audio->decoded_samples, written.audio_samples, 2048);
  EXPECT_NEAR(info.duration_ms, 2000, 80);
}

TEST(SimpleVideoWriterTest, VideoOnlyWhenSampleRateIsZero) {
  std::string path = TempPath("video_only.webm");
  SimpleVideoWriter writer(path);
  writer.SetVideoSize(160, 120);
  writer.SetThreadFactor(OneEncoderThread());
  writer.SetAudioSampleRate(0);
  EXPECT_FALSE(writer.IsAudioEnabled());
  ASSERT_EQ(writer.Init(), 0);
  ASSERT_EQ(writer.Open(), 0);
  Written written = WriteSynthetic(&writer, 1, 10);
  EXPECT_EQ(writer.AudioPosition(), 0);
  EXPECT_EQ(writer.VideoPosition(), 900);
  ASSERT_EQ(writer.Close(), 0);

  FileInfo info = DecodeFile(path);
  ASSERT_EQ(info.streams.size(), 1u);
  EXPECT_EQ(info.streams[0].type, AVMEDIA_TYPE_VIDEO);
  EXPECT_EQ(info.streams[0].decoded_frames, written.video_frames);
}

TEST(SimpleVideoWriterTest, DefaultThreadFactorTakesHalfTheProcessors) {
  SimpleVideoWriter writer(TempPath("threads.webm"));
  writer.SetVideoSize(160, 120);
  int init = InitQuietly(&writer);
  ASSERT_EQ(init, 0);
  CaptureStderr();
  ASSERT_EQ(writer.Open(), 0);
  std::string err = GetCapturedStderr();
  int threads = SimpleVideoWriter::ThreadCount(sysconf(_SC_NPROCESSORS_ONLN), 0.5f);
  EXPECT_NE(err.find("using " + std::to_string(threads) + " threads\n"),
            std::string::npos)
      << err;
  ASSERT_EQ(writer.Close(), 0);
}

TEST(SimpleVideoWriterTest, SecondInitDoesNothing) {
  SimpleVideoWriter writer(TempPath("twice.webm"));
  writer.SetVideoSize(160, 120);
  CaptureStdout();
  ASSERT_EQ(writer.Init(), 0);
  std::string first = GetCapturedStdout();
  EXPECT_NE(first.find("CPU flags: "), std::string::npos);
  CaptureStdout();
  CaptureStderr();
  EXPECT_EQ(writer.Init(), 0);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(GetCapturedStderr(), "");
}

TEST(SimpleVideoWriterTest, ContainerWithoutAudioCodecStillWritesVideo) {
  // IVF carries no audio: Init refuses once, the next Init lets Open go on.
  std::string path = TempPath("no_audio.ivf");
  SimpleVideoWriter writer(path);
  writer.SetVideoSize(176, 144);
  writer.SetThreadFactor(OneEncoderThread());
  CaptureStderr();
  EXPECT_EQ(writer.Init(), -1);
  EXPECT_EQ(GetCapturedStderr(),
            "could not find audio codec for output format\n");
  EXPECT_EQ(writer.Init(), 0);
  ASSERT_EQ(writer.Open(), 0);
  Written written = WriteSynthetic(&writer, 1, 15);
  ASSERT_EQ(writer.Close(), 0);

  FileInfo info = DecodeFile(path);
  ASSERT_EQ(info.streams.size(), 1u);
  EXPECT_EQ(info.streams[0].codec_id, AV_CODEC_ID_VP8);
  EXPECT_EQ(info.streams[0].decoded_frames, written.video_frames);
}

TEST(SimpleVideoWriterTest, UnknownContainerOrEncoderFailsInit) {
  SimpleVideoWriter writer(TempPath("whatever.nosuchext"));
  writer.SetVideoSize(160, 120);
  CaptureStderr();
  EXPECT_EQ(writer.Init(), -1);
  EXPECT_TRUE(EndsWith(GetCapturedStderr(), "could not create av_format_context\n"));

  SimpleVideoWriter named(TempPath("named.webm"));
  named.format_name_ = "nosuchformat";
  named.SetVideoSize(160, 120);
  CaptureStderr();
  EXPECT_EQ(named.Init(), -1);
  EXPECT_TRUE(EndsWith(GetCapturedStderr(), "could not create av_format_context\n"));
  // Without an output context there is nothing to open.
  CaptureStderr();
  EXPECT_LT(named.Open(), 0);
  GetCapturedStderr();
}

TEST(SimpleVideoWriterTest, EncoderChoiceByName) {
  SimpleVideoWriter writer(TempPath("choice.webm"));
  EXPECT_EQ(writer.sample_format(), AV_SAMPLE_FMT_S16);
  EXPECT_EQ(writer.SupportedSampleRates(),
            (std::vector<int>{48000, 24000, 16000, 12000, 8000}));
  EXPECT_FALSE(writer.SetAudioCodec("no_such_encoder"));
  EXPECT_EQ(writer.sample_format(), AV_SAMPLE_FMT_S16);
  EXPECT_TRUE(writer.SetAudioCodec("aac"));
  EXPECT_EQ(writer.sample_format(), AV_SAMPLE_FMT_FLTP);
  EXPECT_FALSE(writer.SupportedSampleRates().empty());
  EXPECT_FALSE(writer.SetVideoCodec("no_such_encoder"));
  // A decoder-only name is no encoder.
  EXPECT_FALSE(writer.SetVideoCodec("vp8"));
  EXPECT_EQ(writer.channel_layout(), static_cast<int64_t>(AV_CH_LAYOUT_STEREO));
  EXPECT_EQ(writer.channels(), 2);
  EXPECT_EQ(writer.pixel_format(), AV_PIX_FMT_YUV420P);
  EXPECT_EQ(writer.video_time_base().den, 1000);
}

TEST(SimpleVideoWriterTest, RefusesAudioFramesOfAnotherRateOrFormat) {
  std::string path = TempPath("refuse.webm");
  SimpleVideoWriter writer(path);
  writer.SetVideoSize(160, 120);
  writer.SetThreadFactor(OneEncoderThread());
  writer.SetAudioSampleRate(48000);
  ASSERT_EQ(writer.Init(), 0);
  ASSERT_EQ(writer.Open(), 0);

  auto wrong_rate = MakeAudioFrame(AV_SAMPLE_FMT_S16, 44100, 960, 0);
  CaptureStderr();
  EXPECT_EQ(writer.WriteAudioFrame(wrong_rate.get()), -1);
  EXPECT_EQ(GetCapturedStderr(), "invalid sampling rate 44100, expected 48000\n");

  auto wrong_format = MakeAudioFrame(AV_SAMPLE_FMT_FLTP, 48000, 960, 0);
  CaptureStderr();
  EXPECT_EQ(writer.WriteAudioFrame(wrong_format.get()), -1);
  EXPECT_EQ(GetCapturedStderr(), "invalid sampling format\n");
  EXPECT_EQ(writer.AudioPosition(), 0);

  // The refused frames left the writer whole.
  Written written = WriteSynthetic(&writer, 1, 10);
  ASSERT_EQ(writer.Close(), 0);
  FileInfo info = DecodeFile(path);
  const StreamInfo* audio = info.Find(AVMEDIA_TYPE_AUDIO);
  ASSERT_TRUE(audio);
  EXPECT_NEAR(audio->decoded_samples, written.audio_samples, 960);
}

TEST(SimpleVideoWriterTest, OpenFailsForUnwritablePath) {
  std::string path = "/nonexistent_dir_kelmora/out.webm";
  SimpleVideoWriter writer(path);
  writer.SetVideoSize(160, 120);
  writer.SetAudioSampleRate(48000);
  ASSERT_EQ(writer.Init(), 0);
  CaptureStderr();
  int result = writer.Open();
  std::string err = GetCapturedStderr();
  EXPECT_EQ(result, AVERROR(ENOENT));
  EXPECT_NE(err.find("Could not open '" + path + "': No such file or directory\n"),
            std::string::npos)
      << err;
}

// The page names the output file: a name that looks like a URL is a file
// name too, and nothing leaves the machine.
TEST(SimpleVideoWriterTest, OutputNameIsALocalFileName) {
  testing_support::LocalListener listener;
  ASSERT_NE(listener.port(), 0);
  const std::string name = "tcp://" + listener.Address();
  SimpleVideoWriter writer(name);
  writer.format_name_ = "webm";
  writer.SetVideoSize(160, 120);
  int init = InitQuietly(&writer);
  ASSERT_EQ(init, 0);
  CaptureStderr();
  int result = writer.Open();
  std::string err = GetCapturedStderr();
  EXPECT_EQ(result, AVERROR(ENOENT)) << err;
  EXPECT_NE(err.find("Could not open '" + name + "': No such file or directory\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(listener.Stop(), 0);

  // A ':' in a directory's name is only a character.
  testing_support::TempDir dir;
  const std::string colon_dir = dir.File("tcp:");
  ASSERT_EQ(mkdir(colon_dir.c_str(), 0755), 0);
  const std::string path = colon_dir + "/out.webm";
  SimpleVideoWriter local(path);
  local.SetVideoSize(160, 120);
  local.SetThreadFactor(OneEncoderThread());
  init = InitQuietly(&local);
  ASSERT_EQ(init, 0);
  ASSERT_EQ(local.Open(), 0);
  Written written = WriteSynthetic(&local, 1, 5);
  ASSERT_EQ(local.Close(), 0);
  EXPECT_EQ(DecodeFile(path).streams.at(0).decoded_frames, written.video_frames);
}

TEST(SimpleVideoWriterTest, OpenRefusesEmptySize) {
  SimpleVideoWriter writer(TempPath("empty.webm"));
  CaptureStderr();
  EXPECT_EQ(writer.Open(), -1);
  EXPECT_EQ(GetCapturedStderr(), "OpenVideo: invalid video size\n");
}

TEST(SimpleVideoWriterTest, GapBetweenFramesBelongsToTheFrameBeforeIt) {
  // A still screen: frames every 33 ms up to 990 ms, then one at 9 s. The
  // frame at 990 ms stays on screen until 9 s; the last one for a usual
  // frame interval.
  struct Case {
    const char* name;
    const char* format;
    const char* encoder;
  } cases[] = {{"gap.webm", "", ""}, {"gap.mp4", "mp4", "libx264"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = TempPath(c.name);
    SimpleVideoWriter writer(path);
    writer.format_name_ = c.format;
    if (*c.encoder) {
      ASSERT_TRUE(writer.SetVideoCodec(c.encoder));
    }
    writer.SetVideoSize(160, 120);
    writer.SetThreadFactor(OneEncoderThread());
    int init = InitQuietly(&writer);
    ASSERT_EQ(init, 0);
    ASSERT_EQ(writer.Open(), 0);
    std::vector<int64_t> times;
    for (int64_t ms = 0; ms <= 990; ms += 33) times.push_back(ms);
    times.push_back(9000);
    for (size_t i = 0; i < times.size(); ++i) {
      auto frame = MakeVideoFrame(160, 120, static_cast<int>(i), times[i]);
      ASSERT_EQ(writer.WriteVideoFrame(frame.get()), 0);
    }
    ASSERT_EQ(writer.Close(), 0);

    std::map<int64_t, int64_t> shown;  // pts to duration, in ms
    FileInfo info = DecodeFile(path, [&](const StreamInfo& s, const AVFrame* f) {
      shown[av_rescale_q(f->best_effort_timestamp, s.time_base, {1, 1000})] =
          av_rescale_q(f->pkt_duration, s.time_base, {1, 1000});
    });
    ASSERT_TRUE(info.opened);
    const StreamInfo* video = info.Find(AVMEDIA_TYPE_VIDEO);
    ASSERT_TRUE(video);
    EXPECT_EQ(video->decoded_frames, static_cast<int>(times.size()));
    EXPECT_NEAR(info.duration_ms, 9033, 2);
    // WebM keeps no duration per frame, only the file's length; MP4 keeps
    // each frame's.
    if (*c.format) {
      EXPECT_EQ(shown.size(), times.size());
      EXPECT_NEAR(shown[0], 33, 1);
      EXPECT_NEAR(shown[990], 8010, 1);
      EXPECT_NEAR(shown[9000], 33, 1);
    }
  }
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// H.264 in MP4 at 160 x 120, opened; |in_place| as a recording writes.
bool OpenMp4(SimpleVideoWriter* writer, bool in_place) {
  writer->format_name_ = "mp4";
  writer->write_in_place_ = in_place;
  if (!writer->SetVideoCodec("libx264")) return false;
  writer->SetVideoSize(160, 120);
  writer->SetThreadFactor(OneEncoderThread());
  if (InitQuietly(writer) != 0) return false;
  CaptureStderr();
  const int opened = writer->Open();
  GetCapturedStderr();
  return opened == 0;
}

void WriteTenPictures(SimpleVideoWriter* writer) {
  for (int i = 0; i < 10; ++i) {
    ASSERT_EQ(writer->WriteVideoFrame(MakeVideoFrame(160, 120, i, i * 40).get()), 0);
  }
}

// An earlier file of the output's name stays as it was until an output
// replaces it whole: a refused header, or an output abandoned before its
// close (a cancelled or failed edit), leave it alone.
TEST(SimpleVideoWriterTest, OnlyAFinishedOutputReplacesAnEarlierFile) {
  testing_support::TempDir dir;
  const std::string path = dir.File("out.mp4");
  const std::string earlier = "an earlier edit";
  WriteText(path, earlier);
  for (bool in_place : {false, true}) {
    SCOPED_TRACE(in_place ? "in place" : "beside");
    // The default encoder, VP8, cannot go into MP4: the header refuses it.
    SimpleVideoWriter writer(path);
    writer.write_in_place_ = in_place;
    writer.SetVideoSize(160, 120);
    ASSERT_EQ(InitQuietly(&writer), 0);
    CaptureStderr();
    EXPECT_LT(writer.Open(), 0);
    const std::string err = GetCapturedStderr();
    EXPECT_NE(err.find("Error occurred when opening output file"), std::string::npos) << err;
    EXPECT_EQ(ReadText(path), earlier);
    EXPECT_FALSE(Exists(path + ".part"));
  }
  {
    SimpleVideoWriter writer(path);
    ASSERT_TRUE(OpenMp4(&writer, false));
    WriteTenPictures(&writer);
    EXPECT_TRUE(Exists(path + ".part"));
  }
  EXPECT_EQ(ReadText(path), earlier);
  EXPECT_FALSE(Exists(path + ".part"));

  SimpleVideoWriter writer(path);
  ASSERT_TRUE(OpenMp4(&writer, false));
  WriteTenPictures(&writer);
  CaptureStderr();
  EXPECT_EQ(writer.Close(), 0);
  GetCapturedStderr();
  EXPECT_FALSE(Exists(path + ".part"));
  FileInfo info = DecodeFile(path);
  ASSERT_TRUE(info.opened);
  EXPECT_EQ(info.Find(AVMEDIA_TYPE_VIDEO)->decoded_frames, 10);
}

// Nothing follows the last picture to tell how long it is shown: until the
// output's end when the owner tells it, or the end of the sound; a single
// picture with neither still gets a frame's time, so that it plays.
TEST(SimpleVideoWriterTest, LastPictureLastsUntilTheOutputEnds) {
  struct Case {
    const char* name;
    std::vector<int64_t> times;  // ms
    int64_t end_time;            // ms, or AV_NOPTS_VALUE
    int audio_ms;                // of sound written, 0 for none
    int64_t last_shown;          // ms
  } cases[] = {
      {"two pictures and the input's end", {0, 4970}, 4980, 0, 10},
      {"two pictures and sound", {0, 4970}, AV_NOPTS_VALUE, 5000, 30},
      {"one picture and the input's end", {0}, 33, 0, 33},
      {"one picture alone", {0}, AV_NOPTS_VALUE, 0, 40},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = TempPath("last.mp4");
    SimpleVideoWriter writer(path);
    writer.end_time_ = c.end_time;
    ASSERT_TRUE(writer.SetAudioCodec("aac"));
    writer.SetAudioSampleRate(c.audio_ms ? 48000 : 0);
    ASSERT_TRUE(OpenMp4(&writer, false));
    int64_t samples = 0;
    for (int64_t ms : c.times) {
      // Sound up to the picture first, as the graph interleaves them.
      while (samples * 1000 < std::min<int64_t>(ms, c.audio_ms) * 48000) {
        ASSERT_EQ(writer.WriteAudioFrame(
                      MakeAudioFrame(AV_SAMPLE_FMT_FLTP, 48000, 1024, samples).get()),
                  0);
        samples += 1024;
      }
      ASSERT_EQ(writer.WriteVideoFrame(MakeVideoFrame(160, 120, 0, ms).get()), 0);
    }
    while (samples * 1000 < static_cast<int64_t>(c.audio_ms) * 48000) {
      ASSERT_EQ(writer.WriteAudioFrame(
                    MakeAudioFrame(AV_SAMPLE_FMT_FLTP, 48000, 1024, samples).get()),
                0);
      samples += 1024;
    }
    CaptureStderr();
    ASSERT_EQ(writer.Close(), 0);
    GetCapturedStderr();

    std::map<int64_t, int64_t> shown;  // pts to duration, in ms
    FileInfo info = DecodeFile(path, [&](const StreamInfo& s, const AVFrame* f) {
      if (s.type != AVMEDIA_TYPE_VIDEO) return;
      shown[av_rescale_q(f->best_effort_timestamp, s.time_base, {1, 1000})] =
          av_rescale_q(f->pkt_duration, s.time_base, {1, 1000});
    });
    ASSERT_TRUE(info.opened);
    const StreamInfo* video = info.Find(AVMEDIA_TYPE_VIDEO);
    ASSERT_TRUE(video);
    EXPECT_EQ(video->decoded_frames, static_cast<int>(c.times.size()));
    EXPECT_EQ(video->decode_errors, 0);
    ASSERT_EQ(shown.size(), c.times.size());
    // The sound's end is that of its last whole encoder frame.
    EXPECT_NEAR(shown[c.times.back()], c.last_shown, c.audio_ms ? 22 : 1);
    EXPECT_NEAR(info.duration_ms, c.times.back() + c.last_shown, c.audio_ms ? 22 : 1);
  }
}

// A file written in place is what a recording leaves when it ends early
// (a crash, a full disk): what was written decodes without its trailer.
TEST(SimpleVideoWriterTest, FileWrittenInPlaceDecodesBeforeItsClose) {
  struct Case {
    const char* name;
    const char* format;
    const char* encoder;
  } cases[] = {{"place.webm", "", ""}, {"place.mp4", "mp4", "libx264"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = TempPath(c.name);
    SimpleVideoWriter writer(path);
    writer.write_in_place_ = true;
    writer.format_name_ = c.format;
    if (*c.encoder) {
      ASSERT_TRUE(writer.SetVideoCodec(c.encoder));
    }
    writer.SetVideoSize(160, 120);
    writer.SetAudioSampleRate(48000);
    writer.SetThreadFactor(OneEncoderThread());
    ASSERT_EQ(InitQuietly(&writer), 0);
    CaptureStderr();
    ASSERT_EQ(writer.Open(), 0);
    GetCapturedStderr();
    WriteSynthetic(&writer, 4, 25);
    // The file as it is now, before the trailer.
    const std::string copy = path + ".copy";
    std::filesystem::copy_file(path, copy, std::filesystem::copy_options::overwrite_existing);
    CaptureStderr();
    ASSERT_EQ(writer.Close(), 0);
    GetCapturedStderr();

    FileInfo info = DecodeFile(copy);
    ASSERT_TRUE(info.opened);
    const StreamInfo* video = info.Find(AVMEDIA_TYPE_VIDEO);
    const StreamInfo* audio = info.Find(AVMEDIA_TYPE_AUDIO);
    ASSERT_TRUE(video && audio);
    // Pieces of about a second: all but the last one or two are there.
    EXPECT_GE(video->decoded_frames, 50);
    EXPECT_EQ(video->decode_errors, 0);
    EXPECT_GE(audio->decoded_samples, 2 * 48000);
    EXPECT_EQ(audio->decode_errors, 0);
    FileInfo whole = DecodeFile(path);
    ASSERT_TRUE(whole.Find(AVMEDIA_TYPE_VIDEO));
    EXPECT_EQ(whole.Find(AVMEDIA_TYPE_VIDEO)->decoded_frames, 100);
    EXPECT_NEAR(whole.duration_ms, 4000, 60);
  }
}

TEST(SimpleVideoWriterTest, ThreadCountFromProcessors) {
  EXPECT_EQ(SimpleVideoWriter::ThreadCount(4, 0.5f), 2);
  EXPECT_EQ(SimpleVideoWriter::ThreadCount(3, 0.5f), 2);
  EXPECT_EQ(SimpleVideoWriter::ThreadCount(1, 0.5f), 1);
  EXPECT_EQ(SimpleVideoWriter::ThreadCount(8, 0.5f), 4);
  EXPECT_EQ(SimpleVideoWriter::ThreadCount(6, 0.3f), 2);
  EXPECT_EQ(SimpleVideoWriter::ThreadCount(4, 1.0f), 4);
}

}  // namespace
}  // namespace kelmora
