// Real graphs from text, drained into the encode-and-mux writer; every
// output file is decoded back and checked.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "graph_input_writer.h"
#include "graph_test_writers.h"
#include "media_test_support.h"
#include "raw_video_writer.h"
#include "simple_video_writer.h"
#include "video_graph_filter.h"

namespace kelmora {
namespace {

using testing_support::DecodeFile;
using testing_support::FileInfo;
using testing_support::FollowsSideRule;
using testing_support::MakeI420;
using testing_support::MakeInput;
using testing_support::SeenFrame;
using testing_support::StreamInfo;
using testing_support::TempPath;

// Hands everything to the real writer and notes, for every frame, which
// side it was and where the writer stood just before.
class ObservingWriter : public VideoWriter {
 public:
  ObservingWriter(VideoWriter* inner, std::vector<SeenFrame>* log)
      : inner_(inner), log_(log) {}

  int Init() override { return inner_->Init(); }
  void SetVideoSize(int width, int height) override {
    VideoWriter::SetVideoSize(width, height);
    inner_->SetVideoSize(width, height);
  }
  void SetAudioSampleRate(int rate) override {
    VideoWriter::SetAudioSampleRate(rate);
    inner_->SetAudioSampleRate(rate);
  }
  int width() override { return inner_->width(); }
  int height() override { return inner_->height(); }
  int Open() override { return inner_->Open(); }
  int WriteVideoFrame(AVFrame* frame) override {
    Note(frame, false);
    return inner_->WriteVideoFrame(frame);
  }
  int Close() override { return inner_->Close(); }
  void SetThreadFactor(float factor) override {
    inner_->SetThreadFactor(factor);
  }
  std::vector<int> SupportedSampleRates() override {
    return inner_->SupportedSampleRates();
  }
  AVPixelFormat pixel_format() override { return inner_->pixel_format(); }
  AVRational video_time_base() override { return inner_->video_time_base(); }
  bool IsAudioEnabled() override { return inner_->IsAudioEnabled(); }
  int WriteAudioFrame(AVFrame* frame) override {
    Note(frame, true);
    return inner_->WriteAudioFrame(frame);
  }
  int64_t AudioPosition() override { return inner_->AudioPosition(); }
  int64_t VideoPosition() override { return inner_->VideoPosition(); }
  AVSampleFormat sample_format() override { return inner_->sample_format(); }
  int audio_frame_size() override { return inner_->audio_frame_size(); }
  int64_t channel_layout() override { return inner_->channel_layout(); }
  int audio_sample_rate() override { return inner_->audio_sample_rate(); }
  AVRational audio_time_base() override { return inner_->audio_time_base(); }

 private:
  void Note(const AVFrame* frame, bool audio) {
    SeenFrame seen;
    seen.audio = audio;
    seen.pts = frame->pts;
    seen.width = frame->width;
    seen.height = frame->height;
    seen.nb_samples = frame->nb_samples;
    seen.audio_position_before = inner_->AudioPosition();
    seen.video_position_before = inner_->VideoPosition();
    log_->push_back(seen);
  }

  std::unique_ptr<VideoWriter> inner_;
  std::vector<SeenFrame>* log_;
};

// Interleaved 16-bit tone samples that continue across calls.
class Tone {
 public:
  Tone(int rate, int channels, double frequency)
      : rate_(rate), channels_(channels), frequency_(frequency) {}
  std::vector<int16_t> Next(int samples) {
    std::vector<int16_t> out(samples * channels_);
    for (int i = 0; i < samples; ++i, ++position_) {
      int16_t value = static_cast<int16_t>(
          8000 * sin(2 * M_PI * frequency_ * position_ / rate_));
      for (int c = 0; c < channels_; ++c) out[i * channels_ + c] = value;
    }
    return out;
  }
  // Milliseconds of tone handed out so far.
  int64_t position_ms() const { return position_ * 1000 / rate_; }

 private:
  int rate_;
  int channels_;
  double frequency_;
  int64_t position_ = 0;
};

// One audio track of a session: its adapter and its tone.
struct AudioTrack {
  RawVideoWriter* adapter;
  Tone tone;
};

// One picture track of a session: its adapter and its picture.
struct PictureTrack {
  RawVideoWriter* adapter;
  std::vector<uint8_t> picture;
};

// A recorder-like session: graph, output writer and the inputs it names.
class GraphFileTest : public ::testing::Test {
 protected:
  SimpleVideoWriter* Output(const std::string& name) {
    path_ = TempPath(name);
    SimpleVideoWriter* writer = new SimpleVideoWriter(path_);
    filter_.writer_.reset(new ObservingWriter(writer, &log_));
    filter_.thread_factor_ = testing_support::OneEncoderThread();
    return writer;
  }

  // Registers an input; its adapter owns it, as in the recorder.
  RawVideoWriter* Input(GraphInputWriter* input) {
    EXPECT_EQ(filter_.AddInputWriter(input), 0);
    adapters_.emplace_back(new RawVideoWriter(input));
    return adapters_.back().get();
  }

  // Feeds `duration_ms` of 25 fps pictures and of tone, draining after
  // each picture as the recorder does, then ends every input and drains.
  void Record(int64_t duration_ms, std::vector<PictureTrack> pictures,
              std::vector<AudioTrack> audio) {
    for (PictureTrack& track : pictures) ASSERT_GE(track.adapter->Open(), 0);
    for (int64_t pts = 0; pts < duration_ms; pts += 40) {
      for (PictureTrack& track : pictures) {
        track.picture[pts / 40 % track.picture.size()] ^= 0x55;  // motion
        ASSERT_EQ(track.adapter->AddFrame(track.picture.data(), pts), 0);
      }
      for (AudioTrack& track : audio) {
        while (track.tone.position_ms() < pts + 40 &&
               track.tone.position_ms() < duration_ms) {
          std::vector<int16_t> samples = track.tone.Next(1024);
          ASSERT_EQ(track.adapter->AppendAudio(samples.data(), 1024), 0);
        }
      }
      ASSERT_EQ(filter_.FilterAvailable(), 0);
    }
    for (PictureTrack& track : pictures) ASSERT_EQ(track.adapter->Close(), 0);
    for (AudioTrack& track : audio) ASSERT_EQ(track.adapter->Close(), 0);
    ASSERT_EQ(filter_.FilterAvailable(), 0);
    EXPECT_TRUE(filter_.audio_done_);
    EXPECT_TRUE(filter_.video_done_);
    ASSERT_EQ(filter_.Close(), 0);
    EXPECT_EQ(filter_.OutputPosition(), -1);
  }

  VideoGraphFilter filter_;
  std::vector<SeenFrame> log_;
  std::vector<std::unique_ptr<RawVideoWriter>> adapters_;
  std::string path_;
};

void ExpectVideo(const FileInfo& info, AVCodecID codec, int width, int height,
                 int frames, int64_t duration_ms) {
  const StreamInfo* video = info.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(video, nullptr);
  EXPECT_EQ(video->codec_id, codec);
  EXPECT_EQ(video->width, width);
  EXPECT_EQ(video->height, height);
  EXPECT_EQ(video->decoded_frames, frames);
  EXPECT_EQ(video->decode_errors, 0);
  EXPECT_NEAR(video->last_end_ms, duration_ms, 40);
}

void ExpectAudio(const FileInfo& info, AVCodecID codec, int channels,
                 int64_t duration_ms) {
  const StreamInfo* audio = info.Find(AVMEDIA_TYPE_AUDIO);
  ASSERT_NE(audio, nullptr);
  EXPECT_EQ(audio->codec_id, codec);
  EXPECT_EQ(audio->channels, channels);
  EXPECT_EQ(audio->decode_errors, 0);
  ASSERT_GT(audio->sample_rate, 0);
  // Encoder delay and the last partial frame move the end a little.
  EXPECT_NEAR(audio->decoded_samples * 1000 / audio->sample_rate, duration_ms,
              60);
}

TEST_F(GraphFileTest, NullGraphWithAudioMakesAWebmOfBothStreams) {
  Output("null_graph.webm");
  filter_.graph_description_ = "[in_writer]null[main];[in_writer_a]anull";
  RawVideoWriter* main = Input(MakeInput(320, 240, 48000));
  ASSERT_EQ(filter_.InitFiltering(), 0);
  Record(2000, {{main, MakeI420(320, 240, 90, 128)}},
         {{main, Tone(48000, 2, 440)}});

  FileInfo info = DecodeFile(path_);
  ASSERT_TRUE(info.opened) << path_;
  EXPECT_EQ(info.streams.size(), 2u);
  ExpectVideo(info, AV_CODEC_ID_VP8, 320, 240, 50, 2000);
  ExpectAudio(info, AV_CODEC_ID_OPUS, 2, 2000);
  EXPECT_EQ(info.Find(AVMEDIA_TYPE_AUDIO)->sample_rate, 48000);
  EXPECT_TRUE(FollowsSideRule(log_));
  int audio_frames = 0;
  for (const SeenFrame& f : log_) audio_frames += f.audio;
  EXPECT_GT(audio_frames, 90);
}

// The decoded luma of the first picture of a file.
std::vector<uint8_t> FirstLuma(const std::string& path, int* width) {
  std::vector<uint8_t> luma;
  bool got = false;
  DecodeFile(path, [&](const StreamInfo& stream, const AVFrame* frame) {
    if (got || stream.type != AVMEDIA_TYPE_VIDEO) return;
    got = true;
    *width = frame->width;
    for (int y = 0; y < frame->height; ++y) {
      const uint8_t* row = frame->data[0] + y * frame->linesize[0];
      luma.insert(luma.end(), row, row + frame->width);
    }
  });
  return luma;
}

TEST_F(GraphFileTest, CameraOverlayFromTwoNamedInputs) {
  SimpleVideoWriter* writer = Output("camera_overlay.mp4");
  ASSERT_TRUE(writer->SetVideoCodec("libx264"));
  filter_.graph_description_ =
      "[in_writer]null[main],[main][cam_writer]"
      "overlay=x=main_w-overlay_w:y=main_h-overlay_h[out]";
  RawVideoWriter* main = Input(MakeInput(320, 240, 0));
  GraphInputWriter* cam_input = MakeInput(80, 60, 0);
  cam_input->set_video_source_name("cam_writer");
  RawVideoWriter* cam = Input(cam_input);
  ASSERT_EQ(filter_.InitFiltering(), 0);
  Record(1000,
         {{main, MakeI420(320, 240, 40, 128)}, {cam, MakeI420(80, 60, 220, 128)}},
         {});

  FileInfo info = DecodeFile(path_);
  ASSERT_TRUE(info.opened) << path_;
  EXPECT_EQ(info.streams.size(), 1u);
  ExpectVideo(info, AV_CODEC_ID_H264, 320, 240, 25, 1000);

  int width = 0;
  std::vector<uint8_t> luma = FirstLuma(path_, &width);
  ASSERT_EQ(luma.size(), size_t(320 * 240));
  // The camera sits in the bottom right corner, the main picture elsewhere.
  EXPECT_NEAR(luma[200 * 320 + 300], 220, 12);
  EXPECT_NEAR(luma[230 * 320 + 245], 220, 12);
  EXPECT_NEAR(luma[100 * 320 + 100], 40, 12);
  EXPECT_NEAR(luma[200 * 320 + 200], 40, 12);
}

TEST_F(GraphFileTest, AmixOfTwoAudioInputsMakesOneAudioStream) {
  SimpleVideoWriter* writer = Output("amix.mp4");
  ASSERT_TRUE(writer->SetVideoCodec("libx264"));
  ASSERT_TRUE(writer->SetAudioCodec("aac"));
  filter_.graph_description_ =
      "[in_writer]null[main];[in_writer_a][audio2]amix";
  RawVideoWriter* main = Input(MakeInput(160, 120, 48000));
  GraphInputWriter* second_input = MakeInput(0, 0, 44100, 1);
  second_input->set_audio_source_name("audio2");
  RawVideoWriter* second = Input(second_input);
  ASSERT_EQ(filter_.InitFiltering(), 0);
  Record(1500, {{main, MakeI420(160, 120, 128, 128)}},
         {{main, Tone(48000, 2, 440)}, {second, Tone(44100, 1, 660)}});

  FileInfo info = DecodeFile(path_);
  ASSERT_TRUE(info.opened) << path_;
  EXPECT_EQ(info.streams.size(), 2u);
  ExpectVideo(info, AV_CODEC_ID_H264, 160, 120, 38, 1520);
  ExpectAudio(info, AV_CODEC_ID_AAC, 2, 1500);
  EXPECT_TRUE(FollowsSideRule(log_));
}

TEST_F(GraphFileTest, AmixWhoseFirstInputEndsFirstKeepsTheRestInTime) {
  // The mix goes on with the second input alone after the first one's end,
  // and gives that sound without a time of its own.
  SimpleVideoWriter* writer = Output("amix_first_ends.webm");
  ASSERT_TRUE(writer->SetVideoCodec("libvpx"));
  filter_.graph_description_ = "[in_writer]null[main];[in_writer_a][audio2]amix";
  RawVideoWriter* main = Input(MakeInput(160, 120, 48000));
  GraphInputWriter* second_input = MakeInput(0, 0, 48000, 1);
  second_input->set_audio_source_name("audio2");
  RawVideoWriter* second = Input(second_input);
  ASSERT_EQ(filter_.InitFiltering(), 0);
  ASSERT_GE(main->Open(), 0);
  std::vector<uint8_t> picture = MakeI420(160, 120, 128, 128);
  Tone first(48000, 2, 440), other(48000, 1, 660);
  for (int64_t pts = 0; pts < 1500; pts += 40) {
    picture[pts / 40 % picture.size()] ^= 0x55;
    ASSERT_EQ(main->AddFrame(picture.data(), pts), 0);
    while (first.position_ms() < std::min<int64_t>(pts + 40, 1000)) {
      std::vector<int16_t> samples = first.Next(1024);
      ASSERT_EQ(main->AppendAudio(samples.data(), 1024), 0);
    }
    while (other.position_ms() < pts + 40) {
      std::vector<int16_t> samples = other.Next(1024);
      ASSERT_EQ(second->AppendAudio(samples.data(), 1024), 0);
    }
    ASSERT_EQ(filter_.FilterAvailable(), 0);
  }
  ASSERT_EQ(main->Close(), 0);
  ASSERT_EQ(second->Close(), 0);
  ASSERT_EQ(filter_.FilterAvailable(), 0);
  ASSERT_EQ(filter_.Close(), 0);

  // Every audio frame reached the writer with a time after the one before.
  int64_t last = AV_NOPTS_VALUE;
  int audio_frames = 0;
  for (const SeenFrame& seen : log_) {
    if (!seen.audio) continue;
    ++audio_frames;
    ASSERT_NE(seen.pts, AV_NOPTS_VALUE) << "audio frame " << audio_frames;
    if (last != AV_NOPTS_VALUE) {
      EXPECT_GT(seen.pts, last) << "audio frame " << audio_frames;
    }
    last = seen.pts;
  }
  FileInfo info = DecodeFile(path_);
  const StreamInfo* audio = info.Find(AVMEDIA_TYPE_AUDIO);
  ASSERT_NE(audio, nullptr);
  EXPECT_EQ(audio->decode_errors, 0);
  for (size_t i = 1; i < audio->packet_dts.size(); ++i) {
    ASSERT_GT(audio->packet_dts[i], audio->packet_dts[i - 1]) << "packet " << i;
  }
  // The second input's sound lasts to its end (whole frames of 1024).
  EXPECT_NEAR(audio->last_end_ms, other.position_ms(), 40);
}

TEST_F(GraphFileTest, ScaleAndCropSetTheOutputSize) {
  Output("scale_crop.webm");
  filter_.graph_description_ =
      "[in_writer]scale=h=360:w=640,crop=h=200:w=320:x=10:y=20[main]";
  RawVideoWriter* main = Input(MakeInput(1280, 720, 0));
  ASSERT_EQ(filter_.InitFiltering(), 0);
  Record(600, {{main, MakeI420(1280, 720, 100, 128)}}, {});

  FileInfo info = DecodeFile(path_);
  ASSERT_TRUE(info.opened) << path_;
  EXPECT_EQ(info.streams.size(), 1u);
  ExpectVideo(info, AV_CODEC_ID_VP8, 320, 200, 15, 600);
}

}  // namespace
}  // namespace kelmora
