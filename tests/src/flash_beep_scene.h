#ifndef KELMORA_TESTS_SRC_FLASH_BEEP_SCENE_H_
#define KELMORA_TESTS_SRC_FLASH_BEEP_SCENE_H_

// A source whose picture flashes white while its sound beeps, at the same
// instants, with pictures at irregular times (a still screen sends none for
// a while), and the measurement of both again in a written file: whether
// picture and sound stay together through a graph.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/mathematics.h>
}

#include "media_test_support.h"

namespace kelmora {
namespace testing_support {

class FlashBeepScene {
 public:
  static constexpr int kSampleRate = 48000;
  static constexpr int kChannels = 2;
  static constexpr int64_t kFlashMs = 150;

  // Pictures every 33 ms up to 1.9 s, none until `resume_ms`, then a few
  // uneven steps and every 33 ms again until `end_ms`; a flash starts at
  // each of `flashes_ms`, each of them a picture time.
  FlashBeepScene(int64_t resume_ms, std::vector<int64_t> flashes_ms,
                 int64_t end_ms)
      : flashes_ms_(std::move(flashes_ms)), end_ms_(end_ms) {
    for (int64_t t = 0; t <= 1900; t += 33) frame_times_.push_back(t);
    int64_t t = resume_ms;
    const int64_t uneven[] = {59, 60, 71, 45, 52};
    for (int i = 0; t < end_ms; ++i) {
      frame_times_.push_back(t);
      int64_t next = t + (i < 5 ? uneven[i] : 33);
      // Every flash begins on a picture.
      for (int64_t flash : flashes_ms_) {
        if (t < flash && flash < next) next = flash;
      }
      t = next;
    }
  }

  const std::vector<int64_t>& frame_times() const { return frame_times_; }
  const std::vector<int64_t>& flashes_ms() const { return flashes_ms_; }
  int64_t end_ms() const { return end_ms_; }

  bool Flashing(int64_t ms) const {
    for (int64_t flash : flashes_ms_) {
      if (ms >= flash && ms < flash + kFlashMs) return true;
    }
    return false;
  }

  // A packed I420 picture, white while flashing, else black.
  std::vector<uint8_t> Picture(int width, int height, int64_t ms) const {
    std::vector<uint8_t> data(static_cast<size_t>(width) * height, 0);
    data.insert(data.end(), 2 * ((width + 1) / 2) * ((height + 1) / 2), 128);
    if (Flashing(ms)) std::fill(data.begin(), data.begin() + width * height, 255);
    return data;
  }

  // The same picture as a frame at `ms`.
  FramePtr VideoFrame(int width, int height, int64_t ms) const {
    FramePtr frame(av_frame_alloc());
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame.get(), 0) < 0) return nullptr;
    std::vector<uint8_t> packed = Picture(width, height, ms);
    const uint8_t* from = packed.data();
    for (int plane = 0; plane < 3; ++plane) {
      int w = plane ? (width + 1) / 2 : width;
      int h = plane ? (height + 1) / 2 : height;
      for (int y = 0; y < h; ++y, from += w) {
        memcpy(frame->data[plane] + y * frame->linesize[plane], from, w);
      }
    }
    frame->pts = ms;
    return frame;
  }

  // The same samples as a signed 16-bit stereo frame; pts in samples.
  FramePtr AudioFrame(int64_t first, int count) const {
    FramePtr frame(av_frame_alloc());
    frame->format = AV_SAMPLE_FMT_S16;
    frame->sample_rate = kSampleRate;
    frame->nb_samples = count;
    av_channel_layout_default(&frame->ch_layout, kChannels);
    if (av_frame_get_buffer(frame.get(), 0) < 0) return nullptr;
    std::vector<int16_t> samples = Samples(first, count);
    memcpy(frame->data[0], samples.data(), samples.size() * sizeof(int16_t));
    frame->pts = first;
    return frame;
  }

  // Interleaved samples from `first` on: a 1 kHz beep while flashing, else
  // silence.
  std::vector<int16_t> Samples(int64_t first, int count) const {
    std::vector<int16_t> out(static_cast<size_t>(count) * kChannels, 0);
    for (int i = 0; i < count; ++i) {
      int64_t n = first + i;
      if (!Flashing(n * 1000 / kSampleRate)) continue;
      double s = 0.5 * sin(2 * M_PI * 1000.0 * n / kSampleRate);
      for (int c = 0; c < kChannels; ++c) {
        out[i * kChannels + c] = static_cast<int16_t>(lrint(s * 32767));
      }
    }
    return out;
  }

 private:
  std::vector<int64_t> frame_times_;
  std::vector<int64_t> flashes_ms_;
  int64_t end_ms_;
};

// When the flashes and the beeps begin in a written file, in ms of the
// file's own timeline.
struct FlashBeepTimes {
  std::vector<int64_t> flashes_ms;
  std::vector<int64_t> beeps_ms;
};

inline FlashBeepTimes MeasureFlashesAndBeeps(const std::string& path) {
  FlashBeepTimes times;
  bool white = false;
  int64_t audio_start_ms = -1;
  int sample_rate = 0;
  std::vector<float> sound;  // first channel
  DecodeFile(path, [&](const StreamInfo& s, const AVFrame* frame) {
    int64_t ms = av_rescale_q(frame->best_effort_timestamp, s.time_base,
                              AVRational{1, 1000});
    if (s.type == AVMEDIA_TYPE_VIDEO) {
      double sum = 0;
      for (int y = 0; y < frame->height; ++y) {
        for (int x = 0; x < frame->width; ++x) {
          sum += frame->data[0][y * frame->linesize[0] + x];
        }
      }
      bool now_white = sum / (frame->width * frame->height) > 128;
      if (now_white && !white) times.flashes_ms.push_back(ms);
      white = now_white;
    } else if (s.type == AVMEDIA_TYPE_AUDIO) {
      if (audio_start_ms < 0) audio_start_ms = ms;
      sample_rate = frame->sample_rate;
      const int channels = frame->ch_layout.nb_channels;
      for (int i = 0; i < frame->nb_samples; ++i) {
        switch (frame->format) {
          case AV_SAMPLE_FMT_FLTP:
            sound.push_back(reinterpret_cast<const float*>(frame->data[0])[i]);
            break;
          case AV_SAMPLE_FMT_FLT:
            sound.push_back(
                reinterpret_cast<const float*>(frame->data[0])[i * channels]);
            break;
          case AV_SAMPLE_FMT_S16:
            sound.push_back(
                reinterpret_cast<const int16_t*>(frame->data[0])[i * channels] /
                32768.0f);
            break;
          default:
            ADD_FAILURE() << "unexpected sample format " << frame->format;
            return;
        }
      }
    }
  });
  // The level over 5 ms windows tells a beep; it begins at the first sample
  // above a tenth of the beep's amplitude in the window where the level
  // rises above a quarter of the beep's, or in the window before.
  const size_t window = sample_rate / 200;
  bool loud = false;
  for (size_t at = 0; window && at + window <= sound.size(); at += window) {
    double energy = 0;
    for (size_t i = at; i < at + window; ++i) energy += sound[i] * sound[i];
    bool now_loud = sqrt(energy / window) > 0.25 * 0.5 / M_SQRT2;
    if (now_loud && !loud) {
      size_t onset = at >= window ? at - window : 0;
      while (onset < at + window && std::fabs(sound[onset]) < 0.05) ++onset;
      times.beeps_ms.push_back(audio_start_ms +
                               static_cast<int64_t>(onset * 1000 / sample_rate));
    }
    loud = now_loud;
  }
  return times;
}

}  // namespace testing_support
}  // namespace kelmora

#endif  // KELMORA_TESTS_SRC_FLASH_BEEP_SCENE_H_
