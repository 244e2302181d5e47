#ifndef KELMORA_GRAPH_INPUT_WRITER_H_
#define KELMORA_GRAPH_INPUT_WRITER_H_

#include <cstdint>
#include <string>

#include "video_writer.h"

extern "C" {
#include <libavfilter/avfilter.h>
}

namespace kelmora {

class VideoGraphFilter;

// A writer whose frames go into a named video and/or audio buffer source of
// a VideoGraphFilter. It only checks and forwards frames; the graph creates
// the sources when the writer is registered, so every format, size, name and
// time base must be set before that.
class GraphInputWriter : public VideoWriter {
 public:
  GraphInputWriter() = default;
  ~GraphInputWriter() override = default;

  int Init() override;
  int Open() override;
  int WriteVideoFrame(AVFrame* frame) override;
  int Close() override;
  AVPixelFormat pixel_format() override;
  AVRational video_time_base() override;
  bool IsAudioEnabled() override;
  int WriteAudioFrame(AVFrame* frame) override;
  int64_t AudioPosition() override;
  int64_t VideoPosition() override;
  AVSampleFormat sample_format() override;
  int64_t channel_layout() override;
  int audio_sample_rate() override;
  AVRational audio_time_base() override;

  virtual bool IsVideoEnabled();
  virtual std::string video_source_name();
  virtual std::string audio_source_name();
  virtual void set_video_source_name(const std::string& name);
  virtual void set_audio_source_name(const std::string& name);
  // Only mono and stereo are supported; anything else is refused.
  virtual bool SetChannels(int channels);
  virtual void set_channel_layout(int64_t layout);
  virtual void set_sample_format(AVSampleFormat format);
  virtual void set_pixel_format(AVPixelFormat format);
  virtual void set_video_time_base(AVRational time_base);
  virtual void set_audio_time_base(AVRational time_base);

 private:
  // The graph creates the sources and hands them over on registration.
  friend class VideoGraphFilter;

  AVFilterContext* audio_filter_ctx_ = nullptr;  // owned by the graph
  AVFilterContext* video_filter_ctx_ = nullptr;  // owned by the graph
  AVSampleFormat sample_format_ = AV_SAMPLE_FMT_FLTP;
  int64_t channel_layout_ = AV_CH_LAYOUT_STEREO;
  AVRational audio_time_base_ = {1, 1000};
  int64_t last_audio_pts_ = 0;
  AVPixelFormat pixel_format_ = AV_PIX_FMT_YUV420P;
  AVRational video_time_base_ = {1, 1000};
  int64_t last_video_pts_ = 0;
  std::string video_source_name_ = "in_writer";
  std::string audio_source_name_ = "in_writer_a";
};

}  // namespace kelmora

#endif  // KELMORA_GRAPH_INPUT_WRITER_H_
