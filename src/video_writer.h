#ifndef KELMORA_VIDEO_WRITER_H_
#define KELMORA_VIDEO_WRITER_H_

#include <cstdint>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libavutil/rational.h>
#include <libavutil/samplefmt.h>
}

namespace kelmora {

// The one frame sink of the system: uncompressed video frames of one stream
// and audio frames of at most one stream go in, some output comes out.
// A writer never takes ownership of a frame it is handed.
class VideoWriter {
 public:
  VideoWriter() = default;
  VideoWriter(const VideoWriter&) = delete;
  VideoWriter& operator=(const VideoWriter&) = delete;
  virtual ~VideoWriter() = default;

  virtual int Init() = 0;
  virtual void SetVideoSize(int width, int height) {
    width_ = width;
    height_ = height;
  }
  virtual void SetAudioSampleRate(int rate) { audio_sample_rate_ = rate; }
  virtual int width() { return width_; }
  virtual int height() { return height_; }
  virtual int Open() = 0;
  virtual int WriteVideoFrame(AVFrame* frame) = 0;
  virtual int Close() = 0;
  virtual void SetThreadFactor(float factor) {}
  virtual std::vector<int> SupportedSampleRates() { return {}; }
  virtual AVPixelFormat pixel_format() = 0;
  virtual AVRational video_time_base() { return AVRational{1, 1000}; }
  virtual bool IsAudioEnabled() { return false; }
  virtual int WriteAudioFrame(AVFrame* frame) { return 0; }
  virtual int64_t AudioPosition() { return 0; }
  virtual int64_t VideoPosition() = 0;
  virtual AVSampleFormat sample_format() { return AV_SAMPLE_FMT_FLTP; }
  virtual int audio_frame_size() { return 1024; }
  virtual int64_t channel_layout() { return AV_CH_LAYOUT_STEREO; }
  virtual int audio_sample_rate() { return 0; }
  virtual AVRational audio_time_base() { return AVRational{1, 1000}; }
  virtual int channels() {
    return av_popcount64(static_cast<uint64_t>(channel_layout()));
  }

 protected:
  int audio_sample_rate_ = 0;
  int width_ = 0;
  int height_ = 0;
};

}  // namespace kelmora

#endif  // KELMORA_VIDEO_WRITER_H_
