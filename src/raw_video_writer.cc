#include "raw_video_writer.h"

#include <cassert>
#include <cstdio>

#include "utils.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/imgutils.h>
#include <libavutil/mathematics.h>
}

namespace kelmora {

RawVideoWriter::RawVideoWriter(VideoWriter* writer) : writer_(writer) {}

RawVideoWriter::~RawVideoWriter() = default;

int RawVideoWriter::Open() {
  int result = writer_->Open();
  if (result < 0) {
    fprintf(stderr, "Failed to open writer\n");
    return result;
  }
  av_frame_.reset(av_frame_alloc());
  if (!av_frame_) {
    fprintf(stderr, "Could not allocate video frame\n");
    return -1;
  }
  av_frame_->pts = 0;
  av_frame_->width = writer_->width();
  av_frame_->height = writer_->height();
  // Track pictures always arrive as I420, whatever the writer wants.
  av_frame_->format = AV_PIX_FMT_YUV420P;
  return result;
}

int RawVideoWriter::LayPicture(const uint8_t* data, int64_t pts) {
  assert(av_frame_ != __null);
  assert(data != __null);
  AVFrame* frame = av_frame_.get();
  int result = av_image_fill_arrays(
      frame->data, frame->linesize, data,
      static_cast<AVPixelFormat>(frame->format), frame->width, frame->height,
      1);
  if (result < 0) {
    LogAvError("Error filling video frame", result);
    return result;
  }
  frame->pts = pts;
  return 0;
}

int RawVideoWriter::AddFrame(uint8_t* data, int64_t pts) {
  int result = LayPicture(data, pts);
  if (result < 0) {
    return result;
  }
  FramePtr copy = pictures_.Copy(av_frame_.get());
  if (!copy) {
    fprintf(stderr, "Could not copy video frame\n");
    return AVERROR(ENOMEM);
  }
  // The writer takes its own reference where it keeps one.
  return writer_->WriteVideoFrame(copy.get());
}

int RawVideoWriter::LendFrame(SharedPicture picture, int64_t pts) {
  return AddFrame(const_cast<uint8_t*>(picture.get()), pts);
}

int RawVideoWriter::AddAudio(int64_t pts, const int16_t* samples,
                             int num_samples) {
  assert(writer_->IsAudioEnabled());
  assert(writer_->sample_format() == AV_SAMPLE_FMT_S16);
  const int frame_size = writer_->audio_frame_size();
  assert(frame_size > 0);
  if (num_samples % frame_size != 0) {
    fprintf(stderr, "num_samples must be a multiple of %d, ignoring audio\n",
            frame_size);
    return -1;
  }
  const int channels = writer_->channels();
  const AVRational sample_time_base = {1, writer_->audio_sample_rate()};
  for (int i = 0; i < num_samples; i += frame_size) {
    int64_t chunk_pts =
        pts + av_rescale_q(i, sample_time_base, writer_->audio_time_base());
    int result = WriteAudioChunk(
        chunk_pts, samples + static_cast<int64_t>(i) * channels, frame_size);
    if (result != 0) {
      return result;
    }
  }
  return 0;
}

int RawVideoWriter::WriteAudioChunk(int64_t pts, const int16_t* samples,
                                    int num_samples) {
  const int channels = writer_->channels();
  const AVSampleFormat format = writer_->sample_format();
  FramePtr frame(av_frame_alloc());
  if (!frame) {
    fprintf(stderr, "Could not allocate audio frame\n");
    return AVERROR(ENOMEM);
  }
  frame->nb_samples = num_samples;
  frame->sample_rate = writer_->audio_sample_rate();
  frame->format = format;
  const uint64_t layout = static_cast<uint64_t>(writer_->channel_layout());
  av_channel_layout_from_mask(&frame->ch_layout, layout);
#if FF_API_OLD_CHANNEL_LAYOUT
  // Older readers of the frame look at these.
  AV_NOWARN_DEPRECATED(frame->channels = channels;
                       frame->channel_layout = layout;)
#endif
  frame->pts = pts;
  // Packed samples, no line padding: a short last frame's size is no
  // multiple of the default alignment.
  const int buffer_size = num_samples * channels * 2;
  int result = avcodec_fill_audio_frame(
      frame.get(), channels, format, reinterpret_cast<const uint8_t*>(samples),
      buffer_size, 1);
  if (result < 0) {
    LogAvError("Error filling audio frame", result);
    return result;
  }
  // Counted before the write, so a chunk that then fails still counts.
  audio_samples_written_ += num_samples;
  return writer_->WriteAudioFrame(frame.get());
}

int64_t RawVideoWriter::NextAudioPts() {
  const AVRational sample_time_base = {1, writer_->audio_sample_rate()};
  return av_rescale_q(audio_samples_written_, sample_time_base, writer_->audio_time_base());
}

int RawVideoWriter::AppendAudio(const int16_t* samples, int num_samples) {
  return AddAudio(NextAudioPts(), samples, num_samples);
}

int RawVideoWriter::AppendLastAudio(const int16_t* samples, int num_samples) {
  assert(writer_->IsAudioEnabled());
  assert(writer_->sample_format() == AV_SAMPLE_FMT_S16);
  if (num_samples <= 0) return 0;
  if (num_samples >= writer_->audio_frame_size()) {
    fprintf(stderr, "a last audio frame must be short, ignoring audio\n");
    return -1;
  }
  return WriteAudioChunk(NextAudioPts(), samples, num_samples);
}

int RawVideoWriter::Close() { return writer_->Close(); }

}  // namespace kelmora
