#ifndef KELMORA_TESTS_SRC_GRAPH_TEST_WRITERS_H_
#define KELMORA_TESTS_SRC_GRAPH_TEST_WRITERS_H_

// Test-only writers and helpers for the graph input writer, the raw buffer
// adapter and the filter graph.

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "graph_input_writer.h"
#include "video_writer.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/mathematics.h>
}

namespace kelmora {
namespace testing_support {

// What a RecordingWriter saw of one frame.
struct SeenFrame {
  bool audio = false;
  int64_t pts = 0;
  int width = 0;
  int height = 0;
  int format = -1;
  int nb_samples = 0;
  int sample_rate = 0;
  int channels = 0;
  int linesize[3] = {0, 0, 0};
  const uint8_t* data[3] = {nullptr, nullptr, nullptr};
  // Copy of the first plane (video: one row per line, packed; audio: the
  // interleaved or first-plane samples).
  std::vector<uint8_t> bytes;
  std::vector<uint8_t> u_plane;
  // The writer's positions just before this frame was written.
  int64_t audio_position_before = 0;
  int64_t video_position_before = 0;
};

// Checks that frames arrived by the graph's side rule: audio only while it
// lay behind the video (or the video had ended), video only while the audio
// did not lie behind (or the audio had ended).
inline ::testing::AssertionResult FollowsSideRule(
    const std::vector<SeenFrame>& frames) {
  for (size_t i = 0; i < frames.size(); ++i) {
    bool later_audio = false;
    bool later_video = false;
    for (size_t j = i + 1; j < frames.size(); ++j) {
      (frames[j].audio ? later_audio : later_video) = true;
    }
    const SeenFrame& f = frames[i];
    const bool behind = f.audio_position_before < f.video_position_before;
    if (f.audio && later_video && !behind) {
      return ::testing::AssertionFailure()
             << "audio frame " << i << " written at audio "
             << f.audio_position_before << " ms, video "
             << f.video_position_before << " ms";
    }
    if (!f.audio && later_audio && behind) {
      return ::testing::AssertionFailure()
             << "video frame " << i << " written while audio lay behind ("
             << f.audio_position_before << " < " << f.video_position_before
             << " ms)";
    }
  }
  return ::testing::AssertionSuccess();
}

// A writer that keeps a record of every frame it is given, with scriptable
// formats, results and positions.
class RecordingWriter : public VideoWriter {
 public:
  RecordingWriter() = default;
  ~RecordingWriter() override {
    if (destroyed) *destroyed = true;
    if (keep_frames) *keep_frames = frames;
  }

  int Init() override {
    ++init_calls;
    return 0;
  }
  int Open() override {
    ++open_calls;
    return open_result;
  }
  int WriteVideoFrame(AVFrame* frame) override {
    SeenFrame seen = Describe(frame, false);
    seen.audio_position_before = AudioPosition();
    seen.video_position_before = VideoPosition();
    frames.push_back(seen);
    last_video_pts = frame->pts;
    return video_result;
  }
  int WriteAudioFrame(AVFrame* frame) override {
    int call = audio_calls++;
    SeenFrame seen = Describe(frame, true);
    seen.audio_position_before = AudioPosition();
    seen.video_position_before = VideoPosition();
    frames.push_back(seen);
    if (audio_result_for_call) {
      int result = audio_result_for_call(call);
      if (result != 0) return result;
    }
    last_audio_pts = frame->pts;
    return 0;
  }
  int Close() override {
    ++close_calls;
    return close_result;
  }
  void SetThreadFactor(float factor) override { thread_factor = factor; }
  std::vector<int> SupportedSampleRates() override { return rates; }
  AVPixelFormat pixel_format() override { return pix_fmt; }
  bool IsAudioEnabled() override { return audio_sample_rate_ > 0; }
  AVSampleFormat sample_format() override { return sample_fmt; }
  int audio_frame_size() override { return frame_size; }
  int64_t channel_layout() override { return layout; }
  int audio_sample_rate() override { return audio_sample_rate_; }
  AVRational audio_time_base() override {
    return audio_tb.num ? audio_tb : AVRational{1, audio_sample_rate_};
  }
  int64_t AudioPosition() override {
    if (fixed_audio_position >= 0) return fixed_audio_position;
    return av_rescale_q(last_audio_pts, audio_time_base(), AVRational{1, 1000});
  }
  int64_t VideoPosition() override {
    if (fixed_video_position >= 0) return fixed_video_position;
    return last_video_pts;
  }

  int video_frames() const { return Count(false); }
  int audio_frames() const { return Count(true); }
  // 'A' and 'V' in the order the frames arrived.
  std::string Order() const {
    std::string order;
    for (const SeenFrame& f : frames) order += f.audio ? 'A' : 'V';
    return order;
  }

  // Formats and scripted results.
  AVPixelFormat pix_fmt = AV_PIX_FMT_YUV420P;
  AVSampleFormat sample_fmt = AV_SAMPLE_FMT_S16;
  int64_t layout = AV_CH_LAYOUT_STEREO;
  int frame_size = 1024;
  AVRational audio_tb = {0, 0};  // {0, 0}: 1/sample rate
  std::vector<int> rates;
  int open_result = 0;
  int close_result = 0;
  int video_result = 0;
  std::function<int(int)> audio_result_for_call;
  int64_t fixed_audio_position = -1;
  int64_t fixed_video_position = -1;
  bool* destroyed = nullptr;
  std::vector<SeenFrame>* keep_frames = nullptr;  // filled on destruction

  // What happened.
  int init_calls = 0;
  int open_calls = 0;
  int close_calls = 0;
  int audio_calls = 0;
  float thread_factor = -1;
  int64_t last_video_pts = 0;
  int64_t last_audio_pts = 0;
  std::vector<SeenFrame> frames;

 private:
  int Count(bool audio) const {
    int n = 0;
    for (const SeenFrame& f : frames) n += f.audio == audio;
    return n;
  }

  static SeenFrame Describe(const AVFrame* frame, bool audio) {
    SeenFrame seen;
    seen.audio = audio;
    seen.pts = frame->pts;
    seen.format = frame->format;
    for (int i = 0; i < 3; ++i) {
      seen.data[i] = frame->data[i];
      seen.linesize[i] = frame->linesize[i];
    }
    if (audio) {
      seen.nb_samples = frame->nb_samples;
      seen.sample_rate = frame->sample_rate;
      seen.channels = frame->ch_layout.nb_channels;
      int bytes = frame->nb_samples * seen.channels *
                  av_get_bytes_per_sample(
                      static_cast<AVSampleFormat>(frame->format));
      if (av_sample_fmt_is_planar(static_cast<AVSampleFormat>(frame->format)))
        bytes /= seen.channels;
      seen.bytes.assign(frame->data[0], frame->data[0] + bytes);
    } else {
      seen.width = frame->width;
      seen.height = frame->height;
      if (frame->format == AV_PIX_FMT_YUV420P) {
        for (int y = 0; y < frame->height; ++y) {
          const uint8_t* row = frame->data[0] + y * frame->linesize[0];
          seen.bytes.insert(seen.bytes.end(), row, row + frame->width);
        }
        const int cw = (frame->width + 1) / 2;
        for (int y = 0; y < (frame->height + 1) / 2; ++y) {
          const uint8_t* row = frame->data[1] + y * frame->linesize[1];
          seen.u_plane.insert(seen.u_plane.end(), row, row + cw);
        }
      }
    }
    return seen;
  }
};

// A packed I420 picture with every Y byte `y` and every chroma byte `uv`.
inline std::vector<uint8_t> MakeI420(int width, int height, uint8_t y,
                                     uint8_t uv) {
  const size_t luma = static_cast<size_t>(width) * height;
  const size_t chroma =
      static_cast<size_t>((width + 1) / 2) * ((height + 1) / 2);
  std::vector<uint8_t> picture(luma + 2 * chroma, uv);
  memset(picture.data(), y, luma);
  return picture;
}

// A main input as the recorder sets it up: I420 video in milliseconds and,
// with a rate, interleaved 16-bit audio in 1/rate.
inline GraphInputWriter* MakeInput(int width, int height, int sample_rate,
                                   int channels = 2) {
  GraphInputWriter* input = new GraphInputWriter();
  input->SetVideoSize(width, height);
  input->SetAudioSampleRate(sample_rate);
  input->set_sample_format(AV_SAMPLE_FMT_S16);
  if (sample_rate > 0) {
    input->set_audio_time_base(AVRational{1, sample_rate});
    input->SetChannels(channels);
  }
  return input;
}

}  // namespace testing_support
}  // namespace kelmora

#endif  // KELMORA_TESTS_SRC_GRAPH_TEST_WRITERS_H_
