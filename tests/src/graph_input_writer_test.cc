#include "graph_input_writer.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "av_holders.h"
#include "graph_test_writers.h"
#include "raw_video_writer.h"
#include "utils.h"
#include "video_graph_filter.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
}

namespace kelmora {
namespace {

using testing_support::MakeI420;
using testing_support::MakeInput;
using testing_support::RecordingWriter;

TEST(GraphInputWriterTest, FreshWriterDeclaresTheDefaults) {
  GraphInputWriter writer;
  EXPECT_FALSE(writer.IsVideoEnabled());
  EXPECT_FALSE(writer.IsAudioEnabled());
  EXPECT_EQ(writer.pixel_format(), AV_PIX_FMT_YUV420P);
  EXPECT_EQ(writer.sample_format(), AV_SAMPLE_FMT_FLTP);
  EXPECT_EQ(writer.channel_layout(), 3);
  EXPECT_EQ(writer.channels(), 2);
  EXPECT_EQ(av_cmp_q(writer.video_time_base(), AVRational{1, 1000}), 0);
  EXPECT_EQ(av_cmp_q(writer.audio_time_base(), AVRational{1, 1000}), 0);
  EXPECT_EQ(writer.video_source_name(), "in_writer");
  EXPECT_EQ(writer.audio_source_name(), "in_writer_a");
  EXPECT_EQ(writer.AudioPosition(), 0);
  EXPECT_EQ(writer.VideoPosition(), 0);
  EXPECT_EQ(writer.audio_frame_size(), 1024);
  EXPECT_TRUE(writer.SupportedSampleRates().empty());
  EXPECT_EQ(writer.Init(), 0);
  EXPECT_EQ(writer.Open(), 0);

  writer.SetVideoSize(320, 0);
  EXPECT_FALSE(writer.IsVideoEnabled());
  writer.SetVideoSize(320, 240);
  EXPECT_TRUE(writer.IsVideoEnabled());
  writer.SetAudioSampleRate(44100);
  EXPECT_TRUE(writer.IsAudioEnabled());
  writer.SetAudioSampleRate(0);
  EXPECT_FALSE(writer.IsAudioEnabled());
}

TEST(GraphInputWriterTest, SetChannelsTakesMonoAndStereoOnly) {
  GraphInputWriter writer;
  EXPECT_TRUE(writer.SetChannels(1));
  EXPECT_EQ(writer.channel_layout(), 4);
  EXPECT_EQ(writer.channels(), 1);
  EXPECT_TRUE(writer.SetChannels(2));
  EXPECT_EQ(writer.channel_layout(), 3);
  writer.SetChannels(1);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(writer.SetChannels(6));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "unsupported number of channels: 6\n");
  EXPECT_EQ(writer.channel_layout(), 4);
}

// A graph that passes one main input straight through to a recording writer.
class RegisteredInputTest : public ::testing::Test {
 protected:
  void Build(GraphInputWriter* input, const std::string& text) {
    input_.reset(input);
    out_ = new RecordingWriter();
    filter_.writer_.reset(out_);
    filter_.graph_description_ = text;
    ASSERT_EQ(filter_.AddInputWriter(input), 0);
    ASSERT_EQ(filter_.InitFiltering(), 0);
  }

  // An I420 frame of the input's size over `picture`.
  FramePtr VideoFrame(std::vector<uint8_t>& picture, int64_t pts) {
    FramePtr frame(av_frame_alloc());
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = input_->width();
    frame->height = input_->height();
    frame->pts = pts;
    av_image_fill_arrays(frame->data, frame->linesize, picture.data(),
                         AV_PIX_FMT_YUV420P, frame->width, frame->height, 1);
    return frame;
  }

  VideoGraphFilter filter_;
  RecordingWriter* out_ = nullptr;
  std::unique_ptr<GraphInputWriter> input_;
};

TEST_F(RegisteredInputTest, PositionsFollowAcceptedFramesInMilliseconds) {
  Build(MakeInput(64, 48, 48000), "[in_writer]null[main];[in_writer_a]anull");
  std::vector<uint8_t> picture = MakeI420(64, 48, 1, 2);
  auto frame = VideoFrame(picture, 1234);
  ASSERT_GE(input_->WriteVideoFrame(frame.get()), 0);
  EXPECT_EQ(input_->VideoPosition(), 1234);

  std::vector<int16_t> samples(1024 * 2, 0);
  FramePtr audio(av_frame_alloc());
  audio->nb_samples = 1024;
  audio->format = AV_SAMPLE_FMT_S16;
  audio->sample_rate = 48000;
  av_channel_layout_from_mask(&audio->ch_layout, AV_CH_LAYOUT_STEREO);
  audio->pts = 48000;
  ASSERT_GE(avcodec_fill_audio_frame(
                audio.get(), 2, AV_SAMPLE_FMT_S16,
                reinterpret_cast<const uint8_t*>(samples.data()), 4096, 0),
            0);
  ASSERT_GE(input_->WriteAudioFrame(audio.get()), 0);
  EXPECT_EQ(input_->AudioPosition(), 1000);

  // End of stream leaves the positions; a push after it fails and leaves
  // them at the last accepted frame.
  ASSERT_EQ(input_->Close(), 0);
  EXPECT_EQ(input_->VideoPosition(), 1234);
  EXPECT_EQ(input_->AudioPosition(), 1000);
  frame->pts = 2000;
  ::testing::internal::CaptureStderr();
  int result = input_->WriteVideoFrame(frame.get());
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_LT(result, 0);
  EXPECT_EQ(err, "Error writing video frame to graph : " +
                     AvErrorString(result) + " (" + std::to_string(result) +
                     ")\n");
  EXPECT_EQ(input_->VideoPosition(), 1234);

  ASSERT_EQ(filter_.FilterAvailable(), 0);
  EXPECT_TRUE(filter_.video_done_);
  EXPECT_TRUE(filter_.audio_done_);
  EXPECT_EQ(out_->video_frames(), 1);
  EXPECT_EQ(out_->audio_frames(), 1);
}

TEST_F(RegisteredInputTest, OverwrittenFrameDoesNotChangeTheQueuedPicture) {
  Build(MakeInput(32, 16, 0), "[in_writer]null[main]");
  std::vector<uint8_t> picture = MakeI420(32, 16, 50, 60);
  auto frame = VideoFrame(picture, 0);
  ASSERT_GE(input_->WriteVideoFrame(frame.get()), 0);
  // Refill the same buffer and frame at once, as the track recycling does.
  std::fill(picture.begin(), picture.end(), 99);
  frame->pts = 40;
  ASSERT_GE(input_->WriteVideoFrame(frame.get()), 0);
  std::fill(picture.begin(), picture.end(), 7);
  ASSERT_EQ(input_->Close(), 0);
  ASSERT_EQ(filter_.FilterAvailable(), 0);

  ASSERT_EQ(out_->video_frames(), 2);
  EXPECT_EQ(out_->frames[0].pts, 0);
  EXPECT_EQ(out_->frames[0].bytes, std::vector<uint8_t>(32 * 16, 50));
  EXPECT_EQ(out_->frames[0].u_plane, std::vector<uint8_t>(16 * 8, 60));
  EXPECT_EQ(out_->frames[1].pts, 40);
  EXPECT_EQ(out_->frames[1].bytes, std::vector<uint8_t>(32 * 16, 99));
}

// Fails the end of its video stream, as a broken source would.
class FailingVideoEndWriter : public GraphInputWriter {
 public:
  int WriteVideoFrame(AVFrame* frame) override {
    if (!frame) return AVERROR(EIO);
    return GraphInputWriter::WriteVideoFrame(frame);
  }
};

TEST_F(RegisteredInputTest, FailedVideoEndLeavesTheAudioStreamOpen) {
  FailingVideoEndWriter* input = new FailingVideoEndWriter();
  input->SetVideoSize(16, 16);
  input->SetAudioSampleRate(48000);
  input->set_sample_format(AV_SAMPLE_FMT_S16);
  input->set_audio_time_base(AVRational{1, 48000});
  Build(input, "[in_writer]null[main];[in_writer_a]anull");
  std::vector<uint8_t> picture = MakeI420(16, 16, 1, 1);
  ASSERT_GE(input_->WriteVideoFrame(VideoFrame(picture, 40).get()), 0);
  EXPECT_EQ(input_->Close(), AVERROR(EIO));

  // The audio source still takes samples, and the audio side goes on.
  RawVideoWriter adapter(input_.release());
  std::vector<int16_t> samples(2048, 3);
  EXPECT_EQ(adapter.AppendAudio(samples.data(), 1024), 0);
  EXPECT_EQ(filter_.FilterAvailable(), 0);
  EXPECT_FALSE(filter_.audio_done_);
  EXPECT_FALSE(filter_.video_done_);
  EXPECT_EQ(out_->Order(), "VA");
}

TEST_F(RegisteredInputTest, CloseEndsOnlyTheStreamsTheWriterHas) {
  // Video only: the graph's video side ends, there is no audio source.
  Build(MakeInput(16, 16, 0), "[in_writer]null[main]");
  std::vector<uint8_t> picture = MakeI420(16, 16, 1, 1);
  ASSERT_GE(input_->WriteVideoFrame(VideoFrame(picture, 0).get()), 0);
  EXPECT_EQ(input_->Close(), 0);
  EXPECT_EQ(filter_.FilterAvailable(), 0);
  EXPECT_TRUE(filter_.video_done_ && filter_.audio_done_);
}

TEST(GraphInputWriterCloseTest, AudioOnlyInputEndsItsAudioStream) {
  // The second audio track is an input without picture: closing it ends the
  // mix instead of stopping on the absent video source.
  VideoGraphFilter filter;
  RecordingWriter* out = new RecordingWriter();
  filter.writer_.reset(out);
  filter.graph_description_ =
      "[in_writer]null[main];[in_writer_a][audio2]amix";
  std::unique_ptr<GraphInputWriter> main(MakeInput(16, 16, 48000));
  std::unique_ptr<GraphInputWriter> second(MakeInput(0, 0, 48000));
  second->set_audio_source_name("audio2");
  ASSERT_EQ(filter.AddInputWriter(main.get()), 0);
  ASSERT_EQ(filter.AddInputWriter(second.get()), 0);
  ASSERT_EQ(filter.InitFiltering(), 0);
  EXPECT_EQ(main->Close(), 0);
  EXPECT_EQ(filter.FilterAvailable(), 0);
  EXPECT_FALSE(filter.audio_done_);
  EXPECT_EQ(second->Close(), 0);
  EXPECT_EQ(filter.FilterAvailable(), 0);
  EXPECT_TRUE(filter.audio_done_);
  EXPECT_TRUE(filter.video_done_);
}

TEST(GraphInputWriterDeathTest, UnregisteredOrMismatchedFramesStop) {
  std::vector<uint8_t> picture = MakeI420(16, 16, 0, 0);
  AVFrame frame = {};
  frame.format = AV_PIX_FMT_YUV420P;
  frame.width = 16;
  frame.height = 16;
  EXPECT_DEATH(
      {
        GraphInputWriter writer;
        writer.SetVideoSize(16, 16);
        writer.WriteVideoFrame(&frame);
      },
      "video_filter_ctx_ != __null");
  EXPECT_DEATH(
      {
        GraphInputWriter writer;
        writer.SetAudioSampleRate(48000);
        writer.WriteAudioFrame(nullptr);
      },
      "audio_filter_ctx_ != __null");
  EXPECT_DEATH(
      {
        VideoGraphFilter filter;
        filter.writer_.reset(new RecordingWriter());
        filter.graph_description_ = "[in_writer]null";
        std::unique_ptr<GraphInputWriter> input(MakeInput(16, 16, 0));
        filter.AddInputWriter(input.get());
        filter.InitFiltering();
        frame.width = 18;
        input->WriteVideoFrame(&frame);
      },
      "frame->width == width_");
}

}  // namespace
}  // namespace kelmora
