#include "simple_video_writer.h"

#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "utils.h"
#include "video_encoder_rule.h"

extern "C" {
#include <libavutil/cpu.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
}

namespace kelmora {

namespace {

// Encoder options are wishes: a refusal is reported and configuration
// goes on.
void SetPrivateOption(AVCodecContext* context, const char* name,
                      const char* value) {
  // A program encoder has no private options before it is opened.
  int result = context->priv_data ? av_opt_set(context->priv_data, name, value, 0)
                                  : AVERROR_OPTION_NOT_FOUND;
  if (result < 0) LogAvError(std::string("could not set ") + name, result);
}

// Gaps that the duration of the last video packet is taken from.
constexpr size_t kRecentGaps = 15;

bool Drained(int result) {
  return result == AVERROR(EAGAIN) || result == AVERROR_EOF;
}

// Matroska and WebM write an Opus track's priming as its codec delay, which
// players take off every block's time.
bool MuxerDropsCodecDelay(const AVOutputFormat* format) {
  return format && (strcmp(format->name, "webm") == 0 ||
                    strncmp(format->name, "matroska", 8) == 0);
}

}  // namespace

SimpleVideoWriter::SimpleVideoWriter(const std::string& filename)
    : filename_(filename) {
  EncoderRef opus = EncoderRef::FindByName("libopus");
  if (opus) av_audio_codec_ = opus;
}

bool SimpleVideoWriter::SetVideoCodec(const std::string& name) {
  EncoderRef codec = EncoderRef::FindByName(name);
  if (!codec) return false;
  av_video_codec_ = codec;
  return true;
}

bool SimpleVideoWriter::SetAudioCodec(const std::string& name) {
  EncoderRef codec = EncoderRef::FindByName(name);
  if (!codec) return false;
  av_audio_codec_ = codec;
  return true;
}

int SimpleVideoWriter::ThreadCount(long processors, float factor) {
  return static_cast<int>(ceilf(static_cast<float>(processors) * factor));
}

std::vector<int> SimpleVideoWriter::SupportedSampleRates() {
  std::vector<int> rates;
  const int* rate = av_audio_codec_ ? av_audio_codec_.supported_samplerates()
                                    : nullptr;
  while (rate && *rate) rates.push_back(*rate++);
  return rates;
}

AVSampleFormat SimpleVideoWriter::sample_format() {
  if (av_audio_codec_ && av_audio_codec_.id() == AV_CODEC_ID_OPUS) {
    return AV_SAMPLE_FMT_S16;
  }
  return AV_SAMPLE_FMT_FLTP;
}

int64_t SimpleVideoWriter::VideoPosition() {
  if (!video_stream_time_base_.den) return 0;
  int64_t dts = last_video_dts_ == AV_NOPTS_VALUE ? 0 : last_video_dts_;
  return av_rescale_q(dts, video_stream_time_base_, video_time_base_);
}

int64_t SimpleVideoWriter::AudioPosition() {
  // In the video time base, so that both positions compare.
  if (!audio_stream_time_base_.den) return 0;
  int64_t dts = last_audio_dts_ == AV_NOPTS_VALUE ? 0 : last_audio_dts_;
  return av_rescale_q(dts, audio_stream_time_base_, video_time_base_);
}

int SimpleVideoWriter::Init() {
  assert(width_ > 0 && height_ > 0);
  // Known from the first pass on, also when that pass failed later.
  if (av_output_format_) return 0;

  printf("CPU flags: %d\n", av_get_cpu_flags());
  printf("CPU count: %d\n", av_cpu_count());

  AVFormatContext* context = nullptr;
  int result = avformat_alloc_output_context2(
      &context, nullptr, format_name_.empty() ? nullptr : format_name_.c_str(),
      filename_.c_str());
  if (result < 0 || !context) {
    fprintf(stderr, "could not create av_format_context\n");
    return -1;
  }
  format_context_.reset(context);
  av_output_format_ = context->oformat;
  default_audio_codec_id_ = av_output_format_->audio_codec;

  if (!av_video_codec_) {
    const char* name = CanUseBrowserEncoder(width_, height_) ? "ppenc" : "libvpx";
    if (!SetVideoCodec(name)) {
      fprintf(stderr, "could not configure codec %s\n", name);
      return -1;
    }
    printf("simpleVideoWriter: using default codec %s for %dx%d\n", name,
           width_, height_);
  }
  default_video_codec_id_ = av_video_codec_.id();

  if (!av_audio_codec_) {
    if (!SetAudioCodec("libopus")) {
      fprintf(stderr, "could not configure codec %s\n", "libopus");
      return -1;
    }
    default_audio_codec_id_ = av_audio_codec_.id();
  }

  // Also when audio is off: the container must be able to carry it.
  if (default_audio_codec_id_ == AV_CODEC_ID_NONE) {
    fprintf(stderr, "could not find audio codec for output format\n");
    return -1;
  }
  return FindCodecs() < 0 ? -1 : 0;
}

void SimpleVideoWriter::ReportMissingEncoder(AVCodecID id) {
  fprintf(stderr, "Could not find encoder for '%s'\n", avcodec_get_name(id));
}

int SimpleVideoWriter::FindCodecs() {
  assert(av_output_format_ != NULL);
  if (!av_video_codec_) {
    av_video_codec_ = EncoderRef::FindById(default_video_codec_id_);
    if (!av_video_codec_) {
      ReportMissingEncoder(default_video_codec_id_);
      return -1;
    }
  }
  if (!av_audio_codec_) {
    av_audio_codec_ = EncoderRef::FindById(default_audio_codec_id_);
    if (!av_audio_codec_) {
      ReportMissingEncoder(default_audio_codec_id_);
      return -1;
    }
  }
  AVCodecID codec_id = default_video_codec_id_;
  assert(codec_id == av_video_codec_.id());
  (void)codec_id;
  return 0;
}

int SimpleVideoWriter::Open() {
  int result = OpenVideo();
  if (result < 0) return result;
  if (audio_sample_rate_ != 0) {
    result = OpenAudio();
    if (result < 0) return result;
  }
  return OpenOutput();
}

AVStream* SimpleVideoWriter::AddStream(
    const EncoderRef& codec, std::unique_ptr<EncoderContext>* context) {
  assert(codec);
  AVStream* stream = avformat_new_stream(format_context_.get(), nullptr);
  if (stream) *context = EncoderContext::Create(codec);
  if (!stream || !*context) {
    fprintf(stderr, "Could not allocate stream\n");
    return nullptr;
  }
  stream->id = static_cast<int>(format_context_->nb_streams) - 1;
  if (av_output_format_->flags & AVFMT_GLOBALHEADER) {
    (*context)->get()->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  return stream;
}

int SimpleVideoWriter::OpenVideo() {
  if (width_ <= 0 || height_ <= 0) {
    fprintf(stderr, "OpenVideo: invalid video size\n");
    return -1;
  }
  int result = Init();
  if (result < 0) return result;
  // Only after a first Init that failed before choosing the encoder.
  if (!av_video_codec_) return -1;

  av_video_stream_ = AddStream(av_video_codec_, &video_context_);
  if (!av_video_stream_) return -1;
  ConfigureVideoCodec();

  result = video_context_->Open();
  if (result < 0) {
    LogAvError("Could not open video codec", result);
    return result;
  }
  result = avcodec_parameters_from_context(av_video_stream_->codecpar,
                                           video_context_->get());
  if (result < 0) {
    LogAvError("Could not copy video codec parameters", result);
    return result;
  }
  return 0;
}

int SimpleVideoWriter::ConfigureVideoCodec() {
  assert(av_video_stream_ != NULL);
  assert(width_ > 0 && height_ > 0);
  AVCodecContext* context = video_context_->get();

  int threads = ThreadCount(sysconf(_SC_NPROCESSORS_ONLN), thread_factor_);
  context->thread_count = threads;
  fprintf(stderr, "using %d threads\n", threads);

  context->bit_rate = 0;
  context->width = width_;
  context->height = height_;
  context->time_base = video_time_base_;
  context->pix_fmt = pixel_format_;

  if (strcmp(av_video_codec_.name(), "libvpx") == 0) {
    context->qmin = 0;
    context->qmax = 30;
    // Noise reduction stays off: libvpx's own default.
    SetPrivateOption(context, "speed", "16");
    SetPrivateOption(context, "quality", "realtime");
    SetPrivateOption(context, "crf", "10");
  } else if (av_video_codec_.id() == AV_CODEC_ID_H264) {
    SetPrivateOption(context, "preset", "ultrafast");
    SetPrivateOption(context, "crf", "24");
    SetPrivateOption(context, "profile", "baseline");
    SetPrivateOption(context, "level", "30");
  }

  av_video_stream_->time_base = context->time_base;
  return 0;
}

int SimpleVideoWriter::OpenAudio() {
  if (!av_output_format_ || !av_audio_codec_) return -1;
  av_audio_stream_ = AddStream(av_audio_codec_, &audio_context_);
  if (!av_audio_stream_) return -1;
  ConfigureAudioCodec();

  AVCodecContext* context = audio_context_->get();
  int result = audio_context_->Open();
  if (result < 0) {
    LogAvError("Could not open audio codec", result);
    return result;
  }
  if (av_audio_codec_.capabilities() & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) {
    audio_frame_size_ = 4096;
  } else {
    audio_frame_size_ = context->frame_size;
  }
  // Unshifted, the sound would lead the picture by the priming (6.5 ms),
  // and more where the muxer then moves every stream to start at 0.
  audio_priming_shift_ = 0;
  if (av_audio_codec_.id() == AV_CODEC_ID_OPUS && context->initial_padding > 0 &&
      MuxerDropsCodecDelay(av_output_format_)) {
    audio_priming_shift_ = av_rescale_q(context->initial_padding,
                                        AVRational{1, context->sample_rate},
                                        context->time_base);
  }
  result = avcodec_parameters_from_context(av_audio_stream_->codecpar, context);
  if (result < 0) {
    LogAvError("Could not copy audio codec parameters", result);
    return result;
  }
  return 0;
}

int SimpleVideoWriter::ConfigureAudioCodec() {
  assert(av_audio_stream_ != NULL);
  assert(audio_sample_rate_ > 0);
  AVCodecContext* context = audio_context_->get();

  context->sample_fmt = sample_format();
  context->bit_rate = 0;
  context->sample_rate = audio_sample_rate_;
  av_channel_layout_uninit(&context->ch_layout);
  av_channel_layout_from_mask(&context->ch_layout,
                              static_cast<uint64_t>(channel_layout_));
  context->time_base = audio_time_base();
  context->flags |= AV_CODEC_FLAG_QSCALE;
  context->global_quality = 472;

  if (av_audio_codec_.id() == AV_CODEC_ID_AAC) {
    int result = av_opt_set(context, "strict", "experimental", 0);
    if (result < 0) LogAvError("could not set strict", result);
    context->bit_rate = 128000;
  } else if (av_audio_codec_.id() == AV_CODEC_ID_OPUS) {
    context->bit_rate = 112000;
    context->global_quality = 0;
    context->compression_level = 0;
    SetPrivateOption(context, "vbr", "on");
    SetPrivateOption(context, "application", "audio");
  }

  av_audio_stream_->time_base = context->time_base;
  return 0;
}

int SimpleVideoWriter::OpenOutput() {
  AVFormatContext* context = format_context_.get();
  // The page names the file: a local one only, also for what a muxer
  // opens beside it.
  int result = av_opt_set(context, "protocol_whitelist", kLocalProtocols, 0);
  if (result < 0) {
    LogAvError("Could not restrict output protocols", result);
    return result;
  }
  if (!(av_output_format_->flags & AVFMT_NOFILE)) {
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", kLocalProtocols, 0);
    result = avio_open2(&context->pb, LocalFileUrl(filename_).c_str(),
                        AVIO_FLAG_WRITE, nullptr, &options);
    av_dict_free(&options);
    if (result < 0) {
      fprintf(stderr, "Could not open '%s': %s\n", filename_.c_str(),
              AvErrorString(result).c_str());
      return result;
    }
    if (flush_packets_) context->flags |= AVFMT_FLAG_FLUSH_PACKETS;
  }
  result = avformat_write_header(context, nullptr);
  if (result < 0) {
    LogAvError("Error occurred when opening output file", result);
    return result;
  }
  // The muxer may have changed the time bases while writing the header.
  video_stream_time_base_ = av_video_stream_->time_base;
  if (av_audio_stream_) audio_stream_time_base_ = av_audio_stream_->time_base;
  return 0;
}

void SimpleVideoWriter::FixDts(AVPacket* packet, int64_t* last_dts) {
  if (packet->dts != AV_NOPTS_VALUE && *last_dts != AV_NOPTS_VALUE) {
    int64_t lowest =
        *last_dts + ((av_output_format_->flags & AVFMT_TS_NONSTRICT) ? 0 : 1);
    if (packet->dts < lowest) {
      fprintf(stderr, "Ignoring non-increasing DTS, %lld > %lld\n",
              static_cast<long long>(*last_dts),
              static_cast<long long>(packet->dts));
      if (packet->pts >= packet->dts && packet->pts < lowest) {
        packet->pts = lowest;
      }
      packet->dts = lowest;
    }
  }
  *last_dts = packet->dts;
}

int SimpleVideoWriter::WriteInterleaved(AVPacket* packet) {
  int result = av_interleaved_write_frame(format_context_.get(), packet);
  av_packet_unref(packet);
  // The muxer may only buffer the packet: a failed write of earlier data
  // (a full disk) shows on the I/O context alone.
  AVIOContext* io = format_context_->pb;
  if (flush_packets_ && result == 0 && io && io->error < 0) result = io->error;
  return result;
}

int SimpleVideoWriter::WriteVideoPacket(AVPacket* packet) {
  packet->stream_index = av_video_stream_->index;
  av_packet_rescale_ts(packet, video_context_->get()->time_base,
                       av_video_stream_->time_base);
  FixDts(packet, &last_video_dts_);
  int result = 0;
  if (held_video_packet_) {
    // A still screen gives long gaps: the frame before one is shown for
    // all of it, not the frame after.
    const int64_t held_dts = held_video_packet_->dts;
    if (held_dts != AV_NOPTS_VALUE && packet->dts != AV_NOPTS_VALUE &&
        packet->dts > held_dts) {
      const int64_t gap = packet->dts - held_dts;
      held_video_packet_->duration = gap;
      recent_video_gaps_.push_back(gap);
      if (recent_video_gaps_.size() > kRecentGaps) recent_video_gaps_.pop_front();
    }
    result = WriteHeldVideoPacket();
  } else {
    held_video_packet_.reset(av_packet_alloc());
    if (!held_video_packet_) {
      av_packet_unref(packet);
      return AVERROR(ENOMEM);
    }
  }
  av_packet_move_ref(held_video_packet_.get(), packet);
  return result;
}

int SimpleVideoWriter::WriteHeldVideoPacket() {
  AVPacket* packet = held_video_packet_.get();
  if (!packet || !packet->data) return 0;
  int result = WriteInterleaved(packet);
  if (result != 0) LogAvError("Error while writing video frame", result);
  return result;
}

int64_t SimpleVideoWriter::TypicalVideoGap() const {
  if (recent_video_gaps_.empty()) return 0;
  std::vector<int64_t> gaps(recent_video_gaps_.begin(), recent_video_gaps_.end());
  std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
  return gaps[gaps.size() / 2];
}

int SimpleVideoWriter::WritePacket(AVPacket* packet) {
  if (packet->pts != AV_NOPTS_VALUE) packet->pts += audio_priming_shift_;
  if (packet->dts != AV_NOPTS_VALUE) packet->dts += audio_priming_shift_;
  av_packet_rescale_ts(packet, audio_context_->get()->time_base,
                       av_audio_stream_->time_base);
  packet->stream_index = av_audio_stream_->index;
  FixDts(packet, &last_audio_dts_);
  int result = WriteInterleaved(packet);
  if (result != 0) LogAvError("Error while writing audio frame", result);
  return result;
}

int SimpleVideoWriter::Encode(EncoderContext* encoder, const AVFrame* frame,
                              const char* encode_error,
                              int (SimpleVideoWriter::*write)(AVPacket*),
                              WriteFailure on_write_failure) {
  int result = encoder->SendFrame(frame);
  // The end of the stream may be announced again.
  if (result < 0 && !(frame == nullptr && result == AVERROR_EOF)) {
    LogAvError(encode_error, result);
    return result;
  }
  PacketPtr packet(av_packet_alloc());
  if (!packet) return AVERROR(ENOMEM);
  // Take every packet, so that the encoder accepts the next frame.
  int write_failure = 0;
  for (;;) {
    result = encoder->ReceivePacket(packet.get());
    if (Drained(result)) return write_failure;
    if (result < 0) {
      LogAvError(encode_error, result);
      return result;
    }
    result = (this->*write)(packet.get());
    if (result == 0 || on_write_failure == WriteFailure::kIgnore) continue;
    if (write_failure == 0) write_failure = result;
    if (on_write_failure == WriteFailure::kStop) return write_failure;
  }
}

int SimpleVideoWriter::WriteVideoFrame(AVFrame* frame) {
  assert(video_context_ && frame);
  return Encode(video_context_.get(), frame, "Error encoding video frame",
                &SimpleVideoWriter::WriteVideoPacket, WriteFailure::kGoOn);
}

int SimpleVideoWriter::WriteAudioFrame(AVFrame* frame) {
  assert(audio_context_ && frame);
  AVCodecContext* context = audio_context_->get();
  if (frame->sample_rate != context->sample_rate) {
    fprintf(stderr, "invalid sampling rate %d, expected %d\n",
            frame->sample_rate, context->sample_rate);
    return -1;
  }
  if (frame->format != context->sample_fmt) {
    fprintf(stderr, "invalid sampling format\n");
    return -1;
  }
  return Encode(audio_context_.get(), frame, "Error encoding audio frame",
                &SimpleVideoWriter::WritePacket, WriteFailure::kGoOn);
}

int SimpleVideoWriter::FlushAudio() {
  if (!IsAudioEnabled() || !audio_context_) return 0;
  // A lost audio packet at the end does not stop the file.
  return Encode(audio_context_.get(), nullptr, "Error flushing audio frame",
                &SimpleVideoWriter::WritePacket, WriteFailure::kIgnore);
}

int SimpleVideoWriter::FlushVideo() {
  if (!video_context_) return 0;
  int result = Encode(video_context_.get(), nullptr, "Error flushing video frame",
                      &SimpleVideoWriter::WriteVideoPacket, WriteFailure::kStop);
  if (result != 0) return result;
  // Nothing follows the last frame: it is shown for the usual interval.
  const int64_t typical = TypicalVideoGap();
  if (held_video_packet_ && typical > 0) held_video_packet_->duration = typical;
  return WriteHeldVideoPacket();
}

void SimpleVideoWriter::CloseEncoders() {
  if (video_context_) video_context_->Close();
  if (audio_context_) audio_context_->Close();
}

int SimpleVideoWriter::Close() {
  assert(format_context_ && video_context_);
  int result = FlushAudio();
  if (result != 0) {
    LogAvError("flush audio failed", result);
    return result;
  }
  result = FlushVideo();
  if (result != 0) {
    LogAvError("flush video failed", result);
    return result;
  }
  result = av_write_trailer(format_context_.get());
  if (result != 0) {
    LogAvError("write trailer failed", result);
    return result;
  }
  CloseEncoders();
  result = 0;
  if (!(av_output_format_->flags & AVFMT_NOFILE)) {
    result = avio_closep(&format_context_->pb);
  }
  av_video_stream_ = nullptr;
  av_audio_stream_ = nullptr;
  format_context_.reset();
  return result;
}

}  // namespace kelmora
