#include "graph_input_writer.h"

#include <cassert>
#include <cstdio>

#include "utils.h"

extern "C" {
#include <libavfilter/buffersrc.h>
#include <libavutil/mathematics.h>
}

namespace kelmora {

namespace {

const AVRational kMillisecondTimeBase = {1, 1000};

// The frame's channel mask, whether its maker filled the channel layout
// struct or only the older mask field.
int64_t FrameChannelLayout(const AVFrame* frame) {
  if (frame->ch_layout.order == AV_CHANNEL_ORDER_NATIVE) {
    return static_cast<int64_t>(frame->ch_layout.u.mask);
  }
#if FF_API_OLD_CHANNEL_LAYOUT
  if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC &&
      frame->ch_layout.nb_channels == 0) {
    AV_NOWARN_DEPRECATED(return static_cast<int64_t>(frame->channel_layout);)
  }
#endif
  return 0;
}

// Pushes a frame into a buffer source (null: end of its stream) and notes
// the pts of an accepted one. The caller's reference is kept: of a
// refcounted frame the source takes one more reference to the same buffers
// (no copy), and a frame laid over memory without a reference is copied, so
// that the caller may reuse that memory as soon as this returns.
int PushFrame(AVFilterContext* source, AVFrame* frame, const char* what,
              int64_t* last_pts) {
  int result =
      av_buffersrc_add_frame_flags(source, frame, AV_BUFFERSRC_FLAG_KEEP_REF);
  if (result < 0) {
    LogAvError(what, result);
    return result;
  }
  if (frame) {
    *last_pts = frame->pts;
  }
  return result;
}

}  // namespace

int GraphInputWriter::Init() { return 0; }

int GraphInputWriter::Open() { return 0; }

int GraphInputWriter::WriteVideoFrame(AVFrame* frame) {
  assert(video_filter_ctx_ != __null);
  assert(frame == __null ||
         (frame->format == pixel_format_ && frame->width == width_ &&
          frame->height == height_));
  return PushFrame(video_filter_ctx_, frame,
                   "Error writing video frame to graph", &last_video_pts_);
}

int GraphInputWriter::WriteAudioFrame(AVFrame* frame) {
  assert(audio_filter_ctx_ != __null);
  assert(frame == __null ||
         (FrameChannelLayout(frame) == channel_layout_ &&
          frame->sample_rate == audio_sample_rate_ &&
          frame->format == sample_format_));
  return PushFrame(audio_filter_ctx_, frame,
                   "Error writing audio frame to graph", &last_audio_pts_);
}

int GraphInputWriter::Close() {
  int result = 0;
  // An audio-only input (the second audio track) has no video stream to end.
  if (IsVideoEnabled()) {
    result = WriteVideoFrame(nullptr);
    if (result < 0) {
      return result;
    }
  }
  if (IsAudioEnabled()) {
    return WriteAudioFrame(nullptr);
  }
  return result;
}

AVPixelFormat GraphInputWriter::pixel_format() { return pixel_format_; }

AVRational GraphInputWriter::video_time_base() { return video_time_base_; }

bool GraphInputWriter::IsAudioEnabled() { return audio_sample_rate_ > 0; }

int64_t GraphInputWriter::AudioPosition() {
  return av_rescale_q(last_audio_pts_, audio_time_base_, kMillisecondTimeBase);
}

int64_t GraphInputWriter::VideoPosition() {
  return av_rescale_q(last_video_pts_, video_time_base_, kMillisecondTimeBase);
}

AVSampleFormat GraphInputWriter::sample_format() { return sample_format_; }

int64_t GraphInputWriter::channel_layout() { return channel_layout_; }

int GraphInputWriter::audio_sample_rate() { return audio_sample_rate_; }

AVRational GraphInputWriter::audio_time_base() { return audio_time_base_; }

bool GraphInputWriter::IsVideoEnabled() { return width_ > 0 && height_ > 0; }

std::string GraphInputWriter::video_source_name() { return video_source_name_; }

std::string GraphInputWriter::audio_source_name() { return audio_source_name_; }

void GraphInputWriter::set_video_source_name(const std::string& name) {
  video_source_name_ = name;
}

void GraphInputWriter::set_audio_source_name(const std::string& name) {
  audio_source_name_ = name;
}

bool GraphInputWriter::SetChannels(int channels) {
  switch (channels) {
    case 1:
      set_channel_layout(AV_CH_LAYOUT_MONO);
      return true;
    case 2:
      set_channel_layout(AV_CH_LAYOUT_STEREO);
      return true;
    default:
      fprintf(stderr, "unsupported number of channels: %d\n", channels);
      return false;
  }
}

void GraphInputWriter::set_channel_layout(int64_t layout) {
  channel_layout_ = layout;
}

void GraphInputWriter::set_sample_format(AVSampleFormat format) {
  sample_format_ = format;
}

void GraphInputWriter::set_pixel_format(AVPixelFormat format) {
  pixel_format_ = format;
}

void GraphInputWriter::set_video_time_base(AVRational time_base) {
  video_time_base_ = time_base;
}

void GraphInputWriter::set_audio_time_base(AVRational time_base) {
  audio_time_base_ = time_base;
}

}  // namespace kelmora
