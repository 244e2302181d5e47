#include "file_media_source.h"

#include <algorithm>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace pphost {

std::unique_ptr<FileMediaSource> FileMediaSource::Open(bool video, const std::string& path,
                                                       bool loop, int64_t start_delay_ms,
                                                       std::vector<SourceChange> changes,
                                                       std::string* error) {
  std::unique_ptr<FileMediaSource> source(
      new FileMediaSource(video, loop, start_delay_ms, std::move(changes)));
  if (!source->OpenInput(path, error) || !source->OpenDecoder(error)) return nullptr;
  return source;
}

FileMediaSource::FileMediaSource(bool video, bool loop, int64_t start_delay_ms,
                                 std::vector<SourceChange> changes)
    : MediaSource(video ? "vsrc:file" : "asrc:file", start_delay_ms, std::move(changes)),
      video_(video),
      loop_(loop),
      packet_(av_packet_alloc()),
      frame_(av_frame_alloc()) {}

FileMediaSource::~FileMediaSource() {
  Stop();
  sws_freeContext(scaler_);
  swr_free(&resampler_);
}

bool FileMediaSource::OpenInput(const std::string& path, std::string* error) {
  AVFormatContext* context = nullptr;
  if (avformat_open_input(&context, path.c_str(), nullptr, nullptr) < 0) {
    *error = "cannot open " + path;
    return false;
  }
  input_.reset(context);
  if (avformat_find_stream_info(context, nullptr) < 0) {
    *error = "cannot read the streams of " + path;
    return false;
  }
  AVMediaType type = video_ ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_AUDIO;
  stream_ = av_find_best_stream(context, type, -1, -1, nullptr, 0);
  if (stream_ < 0) {
    *error = std::string(path) + " has no " + (video_ ? "video" : "audio") + " stream";
    return false;
  }
  return true;
}

bool FileMediaSource::OpenDecoder(std::string* error) {
  const AVCodecParameters* parameters = input_->streams[stream_]->codecpar;
  const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
  decoder_.reset(avcodec_alloc_context3(codec));
  if (!codec || !decoder_ || avcodec_parameters_to_context(decoder_.get(), parameters) < 0) {
    *error = "no decoder for the stream";
    return false;
  }
  decoder_->thread_count = 1;
  if (avcodec_open2(decoder_.get(), codec, nullptr) < 0) {
    *error = "cannot open the decoder";
    return false;
  }
  if (!video_) {
    out_rate_ = pp::platform::MediaStreamAudioTrackImpl::CarriesRate(decoder_->sample_rate)
                    ? decoder_->sample_rate
                    : 48000;
    out_channels_ = std::min(2, std::max(1, decoder_->ch_layout.nb_channels));
  }
  return true;
}

void FileMediaSource::Restart(PP_TimeTicks now) {
  // Go on from the media time reached: the next frame is due now.
  play_base_ = now - media_clock_;
  audio_time_ = now;
}

void FileMediaSource::Resize(int width, int height) {
  width_ = width;
  height_ = height;
}

void FileMediaSource::Reformat(int rate, int channels) {
  if (rate > 0) out_rate_ = rate;
  if (channels > 0) out_channels_ = channels;
  swr_free(&resampler_);  // made again for the new format
}

bool FileMediaSource::Rewind() {
  if (av_seek_frame(input_.get(), stream_, INT64_MIN, AVSEEK_FLAG_BACKWARD) < 0 &&
      avformat_seek_file(input_.get(), -1, INT64_MIN, 0, 0, 0) < 0) {
    return false;
  }
  avcodec_flush_buffers(decoder_.get());
  draining_ = false;
  loop_offset_ += media_end_;
  media_end_ = 0;
  return true;
}

bool FileMediaSource::DecodeNext() {
  for (;;) {
    int received = avcodec_receive_frame(decoder_.get(), frame_.get());
    if (received == 0) return true;
    if (received == AVERROR_EOF) {
      // A file without a single frame would loop forever.
      if (!loop_ || media_end_ <= 0 || !Rewind()) return false;
      continue;
    }
    if (received != AVERROR(EAGAIN)) return false;
    if (draining_) return false;
    int read = av_read_frame(input_.get(), packet_.get());
    if (read < 0) {
      draining_ = true;
      avcodec_send_packet(decoder_.get(), nullptr);
      continue;
    }
    if (packet_->stream_index == stream_) avcodec_send_packet(decoder_.get(), packet_.get());
    av_packet_unref(packet_.get());
  }
}

PP_TimeTicks FileMediaSource::Produce(PP_TimeTicks now, bool silent) {
  if (finished_) return now + 1;
  const AVRational time_base = input_->streams[stream_]->time_base;
  for (;;) {
    if (!have_frame_) {
      if (!DecodeNext()) {
        finished_ = true;
        EndTracks();
        return now + 1;
      }
      have_frame_ = true;
    }
    int64_t pts = frame_->best_effort_timestamp;
    double start = pts == AV_NOPTS_VALUE ? media_end_ : pts * av_q2d(time_base);
    double length = video_ ? frame_->pkt_duration * av_q2d(time_base)
                           : static_cast<double>(frame_->nb_samples) / decoder_->sample_rate;
    if (length <= 0 && video_) length = 1.0 / 30;
    PP_TimeTicks due = play_base_ + loop_offset_ + start;
    if (due > now) return due;
    media_end_ = std::max(media_end_, start + length);
    media_clock_ = loop_offset_ + start;
    if (!silent) {
      if (video_) {
        DeliverVideo(due);
      } else {
        DeliverAudio();
      }
    }
    have_frame_ = false;
    av_frame_unref(frame_.get());
  }
}

void FileMediaSource::DeliverVideo(PP_TimeTicks time) {
  const int width = width_ > 0 ? width_ : frame_->width;
  const int height = height_ > 0 ? height_ : frame_->height;
  const int chroma_width = (width + 1) / 2;
  const size_t luma = static_cast<size_t>(width) * height;
  const size_t chroma = static_cast<size_t>(chroma_width) * ((height + 1) / 2);
  picture_.resize(luma + 2 * chroma);
  uint8_t* planes[4] = {picture_.data(), picture_.data() + luma, picture_.data() + luma + chroma,
                        nullptr};
  int strides[4] = {width, chroma_width, chroma_width, 0};
  scaler_ = sws_getCachedContext(scaler_, frame_->width, frame_->height,
                                 static_cast<AVPixelFormat>(frame_->format), width, height,
                                 AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (!scaler_ || sws_scale(scaler_, frame_->data, frame_->linesize, 0, frame_->height, planes,
                            strides) != height) {
    return;
  }
  pp::platform::I420Picture picture = {
      {planes[0], planes[1], planes[2]}, {strides[0], strides[1], strides[2]}, {width, height}};
  video_tracks().ForEach(
      [&](pp::platform::MediaStreamVideoTrackImpl& track) { track.DeliverFrame(picture, time); });
}

void FileMediaSource::DeliverAudio() {
  if (!resampler_) {
    AVChannelLayout out_layout;
    av_channel_layout_default(&out_layout, out_channels_);
    int made = swr_alloc_set_opts2(&resampler_, &out_layout, AV_SAMPLE_FMT_S16, out_rate_,
                                   &frame_->ch_layout, static_cast<AVSampleFormat>(frame_->format),
                                   frame_->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&out_layout);
    if (made < 0 || swr_init(resampler_) < 0) {
      swr_free(&resampler_);
      return;
    }
  }
  int capacity = swr_get_out_samples(resampler_, frame_->nb_samples);
  if (capacity <= 0) return;
  samples_.resize(static_cast<size_t>(capacity) * out_channels_);
  uint8_t* out = reinterpret_cast<uint8_t*>(samples_.data());
  int converted =
      swr_convert(resampler_, &out, capacity, const_cast<const uint8_t**>(frame_->extended_data),
                  frame_->nb_samples);
  if (converted <= 0) return;
  audio_tracks().ForEach([&](pp::platform::MediaStreamAudioTrackImpl& track) {
    track.DeliverSamples(samples_.data(), static_cast<uint32_t>(converted),
                         static_cast<PP_AudioBuffer_SampleRate>(out_rate_),
                         static_cast<uint32_t>(out_channels_), audio_time_);
  });
  audio_time_ += static_cast<double>(converted) / out_rate_;
}

}  // namespace pphost
