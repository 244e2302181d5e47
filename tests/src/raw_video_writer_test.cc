#include "raw_video_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "graph_input_writer.h"
#include "graph_test_writers.h"
#include "video_graph_filter.h"

namespace kelmora {
namespace {

using testing_support::MakeI420;
using testing_support::MakeInput;
using testing_support::RecordingWriter;

// Interleaved samples whose values count up from `first`.
std::vector<int16_t> Ramp(int samples_per_channel, int channels,
                          int16_t first = 1) {
  std::vector<int16_t> samples(samples_per_channel * channels);
  std::iota(samples.begin(), samples.end(), first);
  return samples;
}

RecordingWriter* AudioWriter(int rate, AVRational time_base,
                             int64_t layout = AV_CH_LAYOUT_STEREO) {
  RecordingWriter* writer = new RecordingWriter();
  writer->SetAudioSampleRate(rate);
  writer->audio_tb = time_base;
  writer->layout = layout;
  return writer;
}

// The writer gets an I420 copy of the picture, whatever the output's own
// format, in a buffer that is used again once the copy before it is gone.
TEST(RawVideoWriterTest, PictureReachesTheWriterAsAnI420CopyInAReusedBuffer) {
  RecordingWriter* writer = new RecordingWriter();
  writer->SetVideoSize(640, 360);
  writer->pix_fmt = AV_PIX_FMT_RGBA;  // the frame stays I420 regardless
  RawVideoWriter raw(writer);
  ASSERT_EQ(raw.Open(), 0);
  EXPECT_EQ(writer->open_calls, 1);

  std::vector<uint8_t> picture = MakeI420(640, 360, 16, 128);
  ASSERT_EQ(picture.size(), 345600u);
  ASSERT_EQ(raw.AddFrame(picture.data(), 1234), 0);
  ASSERT_EQ(raw.AddFrame(picture.data(), 1267), 0);
  ASSERT_EQ(writer->frames.size(), 2u);
  for (const auto& seen : writer->frames) {
    EXPECT_EQ(seen.width, 640);
    EXPECT_EQ(seen.height, 360);
    EXPECT_EQ(seen.format, AV_PIX_FMT_YUV420P);
    EXPECT_NE(seen.data[0], picture.data());
    EXPECT_EQ(seen.bytes, std::vector<uint8_t>(picture.begin(), picture.begin() + 230400));
    EXPECT_EQ(seen.u_plane,
              std::vector<uint8_t>(picture.begin() + 230400, picture.begin() + 288000));
  }
  EXPECT_EQ(writer->frames[0].pts, 1234);
  EXPECT_EQ(writer->frames[1].pts, 1267);
  // No new picture-sized allocation for each frame.
  EXPECT_EQ(writer->frames[1].data[0], writer->frames[0].data[0]);

  // An odd width rounds the chroma planes up.
  RecordingWriter* odd = new RecordingWriter();
  odd->SetVideoSize(641, 361);
  RawVideoWriter odd_raw(odd);
  ASSERT_EQ(odd_raw.Open(), 0);
  std::vector<uint8_t> odd_picture = MakeI420(641, 361, 16, 128);
  ASSERT_EQ(odd_raw.AddFrame(odd_picture.data(), 0), 0);
  const auto& odd_seen = odd->frames.at(0);
  const size_t luma = 641 * 361;
  EXPECT_EQ(odd_seen.bytes, std::vector<uint8_t>(odd_picture.begin(), odd_picture.begin() + luma));
  EXPECT_EQ(odd_seen.u_plane, std::vector<uint8_t>(odd_picture.begin() + luma,
                                                   odd_picture.begin() + luma + 321 * 181));
}

TEST(RawVideoWriterTest, FailedOpenReportsAndPassesTheCode) {
  RecordingWriter* writer = new RecordingWriter();
  writer->SetVideoSize(64, 64);
  writer->open_result = AVERROR(EIO);
  RawVideoWriter raw(writer);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(raw.Open(), AVERROR(EIO));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Failed to open writer\n");
}

TEST(RawVideoWriterTest, AppendCutsStereoRunsIntoFramesInSampleTime) {
  RecordingWriter* writer = AudioWriter(48000, AVRational{1, 48000});
  RawVideoWriter raw(writer);
  std::vector<int16_t> run = Ramp(2048, 2);
  ASSERT_EQ(raw.AppendAudio(run.data(), 2048), 0);
  ASSERT_EQ(writer->audio_frames(), 2);
  for (int i = 0; i < 2; ++i) {
    const auto& seen = writer->frames[i];
    EXPECT_EQ(seen.pts, i * 1024);
    EXPECT_EQ(seen.nb_samples, 1024);
    EXPECT_EQ(seen.sample_rate, 48000);
    EXPECT_EQ(seen.channels, 2);
    EXPECT_EQ(seen.format, AV_SAMPLE_FMT_S16);
    ASSERT_EQ(seen.bytes.size(), 4096u);
    EXPECT_EQ(0, memcmp(seen.bytes.data(), run.data() + i * 2048, 4096));
  }
  ASSERT_EQ(raw.AppendAudio(run.data(), 1024), 0);
  EXPECT_EQ(writer->frames.back().pts, 2048);
}

TEST(RawVideoWriterTest, MillisecondTimeBaseRoundsChunkStartsToNearest) {
  RecordingWriter* writer = AudioWriter(48000, AVRational{1, 1000},
                                        AV_CH_LAYOUT_MONO);
  RawVideoWriter raw(writer);
  std::vector<int16_t> run = Ramp(3072, 1);
  ASSERT_EQ(raw.AddAudio(500, run.data(), 3072), 0);
  ASSERT_EQ(writer->audio_frames(), 3);
  EXPECT_EQ(writer->frames[0].pts, 500);
  EXPECT_EQ(writer->frames[1].pts, 521);  // 1024 / 48 = 21.33
  EXPECT_EQ(writer->frames[2].pts, 543);  // 2048 / 48 = 42.67
  EXPECT_EQ(writer->frames[1].bytes.size(), 2048u);
  EXPECT_EQ(0, memcmp(writer->frames[1].bytes.data(), run.data() + 1024, 2048));
  // The appended timeline counts samples, whatever pts AddAudio was given.
  ASSERT_EQ(raw.AppendAudio(run.data(), 1024), 0);
  EXPECT_EQ(writer->frames.back().pts, 64);  // 3072 / 48
}

TEST(RawVideoWriterTest, PartialFrameOrEmptyRunWritesNothing) {
  RecordingWriter* writer = AudioWriter(48000, AVRational{1, 48000});
  RawVideoWriter raw(writer);
  std::vector<int16_t> run = Ramp(2048, 2);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(raw.AppendAudio(run.data(), 1000), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "num_samples must be a multiple of 1024, ignoring audio\n");
  EXPECT_EQ(raw.AddAudio(0, run.data(), 0), 0);
  EXPECT_EQ(writer->audio_calls, 0);
  // The counter did not move.
  ASSERT_EQ(raw.AppendAudio(run.data(), 1024), 0);
  EXPECT_EQ(writer->frames.back().pts, 0);
}

TEST(RawVideoWriterTest, FailingChunkStopsTheRunButStillCounts) {
  RecordingWriter* writer = AudioWriter(48000, AVRational{1, 48000});
  writer->audio_result_for_call = [](int call) {
    return call == 1 ? AVERROR(ENOSPC) : 0;
  };
  RawVideoWriter raw(writer);
  std::vector<int16_t> run = Ramp(3072, 2);
  EXPECT_EQ(raw.AppendAudio(run.data(), 3072), AVERROR(ENOSPC));
  EXPECT_EQ(writer->audio_calls, 2);  // the third chunk was never written
  ASSERT_EQ(raw.AppendAudio(run.data(), 1024), 0);
  EXPECT_EQ(writer->frames.back().pts, 2048);
}

TEST(RawVideoWriterDeathTest, MisuseStops) {
  EXPECT_DEATH(
      {
        RecordingWriter* writer = new RecordingWriter();
        writer->SetVideoSize(16, 16);
        RawVideoWriter raw(writer);
        std::vector<uint8_t> picture = MakeI420(16, 16, 0, 0);
        raw.AddFrame(picture.data(), 0);
      },
      "av_frame_ != __null");
  EXPECT_DEATH(
      {
        RecordingWriter* writer = new RecordingWriter();
        writer->SetVideoSize(16, 16);
        RawVideoWriter raw(writer);
        raw.Open();
        raw.AddFrame(nullptr, 0);
      },
      "data != __null");
  EXPECT_DEATH(
      {
        RawVideoWriter raw(new RecordingWriter());
        int16_t samples[2048] = {};
        raw.AppendAudio(samples, 1024);
      },
      "writer_->IsAudioEnabled\\(\\)");
  EXPECT_DEATH(
      {
        RecordingWriter* writer = AudioWriter(48000, AVRational{1, 48000});
        writer->sample_fmt = AV_SAMPLE_FMT_FLTP;
        RawVideoWriter raw(writer);
        int16_t samples[2048] = {};
        raw.AppendAudio(samples, 1024);
      },
      "writer_->sample_format\\(\\) == AV_SAMPLE_FMT_S16");
}

// The adapter around a real graph input: an odd-sized picture and appended
// audio arrive at the graph's output unchanged.
// A graph of the given text around one adapter, drained into a
// RecordingWriter.
struct AdapterGraph {
  AdapterGraph(const char* text, GraphInputWriter* input)
      : out(new RecordingWriter()), adapter(input) {
    filter.writer_.reset(out);
    filter.graph_description_ = text;
    // The adapter owns the input; the graph only registers it.
    EXPECT_EQ(filter.AddInputWriter(input), 0);
    EXPECT_EQ(filter.InitFiltering(), 0);
    EXPECT_EQ(adapter.Open(), 0);
  }
  VideoGraphFilter filter;
  RecordingWriter* out;
  RawVideoWriter adapter;
};

TEST(RawVideoWriterTest, FeedsAGraphInputEndToEnd) {
  AdapterGraph graph("[in_writer]null[main];[in_writer_a]anull",
                     MakeInput(641, 361, 48000));
  ASSERT_FALSE(HasFailure());
  VideoGraphFilter& filter = graph.filter;
  RecordingWriter* out = graph.out;
  RawVideoWriter& adapter = graph.adapter;

  std::vector<uint8_t> picture = MakeI420(641, 361, 40, 90);
  picture[641 * 361 + 320] = 200;  // last U sample of the first chroma row
  ASSERT_EQ(adapter.AddFrame(picture.data(), 0), 0);
  std::vector<int16_t> run = Ramp(2048, 2);
  ASSERT_EQ(adapter.AppendAudio(run.data(), 2048), 0);
  ASSERT_EQ(adapter.Close(), 0);
  ASSERT_EQ(filter.FilterAvailable(), 0);
  EXPECT_TRUE(filter.audio_done_ && filter.video_done_);

  ASSERT_EQ(out->video_frames(), 1);
  ASSERT_EQ(out->audio_frames(), 2);
  const auto& video = out->frames[0];
  EXPECT_EQ(video.width, 641);
  EXPECT_EQ(video.height, 361);
  EXPECT_EQ(0, memcmp(video.bytes.data(), picture.data(), 641 * 361));
  ASSERT_EQ(video.u_plane.size(), size_t(321 * 181));
  EXPECT_EQ(video.u_plane[320], 200);
  int seen_audio = 0;
  for (const auto& frame : out->frames) {
    if (!frame.audio) continue;
    EXPECT_EQ(frame.pts, seen_audio * 1024);
    EXPECT_EQ(0, memcmp(frame.bytes.data(), run.data() + seen_audio * 2048,
                        4096));
    ++seen_audio;
  }
}

// A lent picture's share goes back at once (the caller may lend it again
// as the repeat of the last frame), and its copy reaches the output.
TEST(RawVideoWriterTest, LentPictureGoesBackAtOnceAndItsCopyReachesTheOutput) {
  AdapterGraph graph("[in_writer]null[main]", MakeInput(64, 48, 0));
  ASSERT_FALSE(HasFailure());
  VideoGraphFilter& filter = graph.filter;
  RecordingWriter* out = graph.out;
  RawVideoWriter& adapter = graph.adapter;

  std::vector<uint8_t> pixels = MakeI420(64, 48, 30, 60);
  int released = 0;
  SharedPicture picture(pixels.data(), [&released](const uint8_t*) {
    ++released;
  });
  ASSERT_EQ(adapter.LendFrame(picture, 7), 0);
  picture.reset();
  EXPECT_EQ(released, 1);
  ASSERT_EQ(filter.FilterAvailable(), 0);
  ASSERT_EQ(out->video_frames(), 1);
  EXPECT_EQ(out->frames[0].pts, 7);
  EXPECT_NE(out->frames[0].data[0], pixels.data());
  EXPECT_EQ(0, memcmp(out->frames[0].bytes.data(), pixels.data(), 64 * 48));
}

}  // namespace
}  // namespace kelmora
