#include "simple_video_writer.h"

#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "frame_timeline.h"
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

// How long a picture lasts when nothing tells it: one frame at the media
// library's default rate, as the ffmpeg command line gives it.
constexpr AVRational kDefaultFrameDuration{1, 25};

// Pieces of a file written in place: what a failure or a crash leaves
// decodes up to the last whole piece, and a full disk shows within one.
constexpr char kClusterMilliseconds[] = "1000";
constexpr char kFragmentMicroseconds[] = "1000000";
constexpr char kFragmentFlags[] = "+frag_keyframe+empty_moov+default_base_moof";

// An output that keeps what it is given to nowhere, seekable like a file,
// for the trial header.
struct DiscardingSink {
  int64_t position = 0;
  int64_t size = 0;

  static int Write(void* opaque, uint8_t* data, int length) {
    DiscardingSink* sink = static_cast<DiscardingSink*>(opaque);
    sink->position += length;
    sink->size = std::max(sink->size, sink->position);
    return length;
  }
  static int64_t Seek(void* opaque, int64_t offset, int whence) {
    DiscardingSink* sink = static_cast<DiscardingSink*>(opaque);
    switch (whence & ~AVSEEK_FORCE) {
      case AVSEEK_SIZE:
        return sink->size;
      case SEEK_SET:
        sink->position = offset;
        break;
      case SEEK_CUR:
        sink->position += offset;
        break;
      case SEEK_END:
        sink->position = sink->size + offset;
        break;
      default:
        return AVERROR(EINVAL);
    }
    return sink->position;
  }
};

struct IoContextDeleter {
  void operator()(AVIOContext* io) const {
    if (io) av_freep(&io->buffer);
    avio_context_free(&io);
  }
};
using IoContextPtr = std::unique_ptr<AVIOContext, IoContextDeleter>;

}  // namespace

SimpleVideoWriter::SimpleVideoWriter(const std::string& filename)
    : filename_(filename) {
  EncoderRef opus = EncoderRef::FindByName("libopus");
  if (opus) av_audio_codec_ = opus;
}

SimpleVideoWriter::~SimpleVideoWriter() {
  // An output abandoned before its Close finished: a file written beside
  // its name goes, and an earlier file of that name stays as it was.
  if (format_context_ && format_context_->pb && !(av_output_format_->flags & AVFMT_NOFILE)) {
    avio_closep(&format_context_->pb);
  }
  if (!write_in_place_) RemovePartialFile();
}

void SimpleVideoWriter::RemovePartialFile() {
  if (!partial_file_) return;
  partial_file_ = false;
  unlink(written_name_.c_str());
}

int SimpleVideoWriter::WriteFailed(int result) {
  // A disk that fills takes part of a write: the file is cut back to the
  // end of the last piece that reached it whole, so that it decodes to
  // there without a broken piece at its end.
  if (write_in_place_ && partial_file_) truncate(written_name_.c_str(), whole_size_);
  if (on_write_failure_) on_write_failure_(result);
  return result;
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

  {
    FrameTimeline::Step step("open video encoder");
    result = video_context_->Open();
  }
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
  int result;
  {
    FrameTimeline::Step step("open audio encoder");
    result = audio_context_->Open();
  }
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

int SimpleVideoWriter::SetInPlaceOptions(AVFormatContext* context) {
  if (!context->oformat->priv_class) return 0;
  // Options a muxer does not have are not wanted of it.
  int result = av_opt_set(context->priv_data, "cluster_time_limit", kClusterMilliseconds, 0);
  if (result < 0 && result != AVERROR_OPTION_NOT_FOUND) return result;
  result = av_opt_set(context->priv_data, "movflags", kFragmentFlags, 0);
  if (result == AVERROR_OPTION_NOT_FOUND) return 0;
  if (result < 0) return result;
  return av_opt_set(context->priv_data, "frag_duration", kFragmentMicroseconds, 0);
}

int SimpleVideoWriter::TryHeader() {
  AVFormatContext* context = nullptr;
  int result = avformat_alloc_output_context2(&context, av_output_format_, nullptr,
                                              filename_.c_str());
  if (result < 0) return result;
  // The sink below is freed here, not by the context's holder.
  struct TrialDeleter {
    void operator()(AVFormatContext* trial) const { avformat_free_context(trial); }
  };
  std::unique_ptr<AVFormatContext, TrialDeleter> trial(context);
  result = SetInPlaceOptions(trial.get());
  if (result < 0) return result;
  for (unsigned i = 0; i < format_context_->nb_streams; ++i) {
    const AVStream* real = format_context_->streams[i];
    AVStream* stream = avformat_new_stream(trial.get(), nullptr);
    if (!stream) return AVERROR(ENOMEM);
    stream->id = real->id;
    stream->time_base = real->time_base;
    result = avcodec_parameters_copy(stream->codecpar, real->codecpar);
    if (result < 0) return result;
  }
  DiscardingSink sink;
  constexpr int kBufferSize = 4096;
  uint8_t* buffer = static_cast<uint8_t*>(av_malloc(kBufferSize));
  if (!buffer) return AVERROR(ENOMEM);
  IoContextPtr io(avio_alloc_context(buffer, kBufferSize, 1, &sink, nullptr,
                                     &DiscardingSink::Write, &DiscardingSink::Seek));
  if (!io) {
    av_free(buffer);
    return AVERROR(ENOMEM);
  }
  trial->pb = io.get();
  trial->flags |= AVFMT_FLAG_CUSTOM_IO;
  result = avformat_write_header(trial.get(), nullptr);
  trial->pb = nullptr;
  return result < 0 ? result : 0;
}

int SimpleVideoWriter::CheckReplaceable() {
  const int result = CheckReplaceableOutput(filename_);
  return result < 0 ? AVERROR(-result) : 0;
}

int SimpleVideoWriter::OpenOutput() {
  FrameTimeline::Step step("write header");
  AVFormatContext* context = format_context_.get();
  // The page names the file: a local one only, also for what a muxer
  // opens beside it.
  int result = av_opt_set(context, "protocol_whitelist", kLocalProtocols, 0);
  if (result < 0) {
    LogAvError("Could not restrict output protocols", result);
    return result;
  }
  const bool has_file = !(av_output_format_->flags & AVFMT_NOFILE);
  if (write_in_place_) {
    result = SetInPlaceOptions(context);
    if (result >= 0 && has_file) result = TryHeader();
    if (result < 0) {
      LogAvError("Error occurred when opening output file", result);
      return result;
    }
  }
  if (has_file) {
    written_name_ = write_in_place_ ? filename_ : filename_ + ".part";
    result = write_in_place_ ? 0 : CheckReplaceable();
    if (result >= 0) {
      AVDictionary* options = nullptr;
      av_dict_set(&options, "protocol_whitelist", kLocalProtocols, 0);
      result = avio_open2(&context->pb, LocalFileUrl(written_name_).c_str(), AVIO_FLAG_WRITE,
                          nullptr, &options);
      av_dict_free(&options);
    }
    if (result < 0) {
      fprintf(stderr, "Could not open '%s': %s\n", filename_.c_str(),
              AvErrorString(result).c_str());
      return result;
    }
    partial_file_ = true;
    if (flush_packets_) context->flags |= AVFMT_FLAG_FLUSH_PACKETS;
  }
  result = avformat_write_header(context, nullptr);
  // The header may have gone to the file only in part (a full disk).
  if (result >= 0 && context->pb && context->pb->error < 0) result = context->pb->error;
  if (result < 0) {
    LogAvError("Error occurred when opening output file", result);
    if (context->pb && context->pb->error < 0) WriteFailed(result);
    if (!write_in_place_) {
      avio_closep(&context->pb);
      RemovePartialFile();
    }
    return result;
  }
  if (flush_packets_ && context->pb) whole_size_ = avio_tell(context->pb);
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
  if (result < 0 && io && io->error < 0) return WriteFailed(result);
  // Flushed: all that the muxer gave so far is in the file.
  if (result == 0 && flush_packets_ && io) whole_size_ = avio_tell(io);
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
    first_video_pts_ = packet->pts;
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

int64_t SimpleVideoWriter::LastVideoDuration() const {
  const AVPacket* last = held_video_packet_.get();
  const AVRational time_base = av_video_stream_->time_base;
  // Until the sound ends, when there is sound (a file cut short ends there,
  // whatever its header claims), else until the end that the owner knows. In
  // whole units of the video time base: a container that keeps an edit
  // list in coarser units than the stream drops a duration that ends
  // between two of them.
  int64_t end = end_time_;
  if (audio_end_ != AV_NOPTS_VALUE) {
    end = av_rescale_q_rnd(audio_end_, av_audio_stream_->time_base, video_time_base_,
                           AV_ROUND_DOWN);
  }
  if (end != AV_NOPTS_VALUE && last->pts != AV_NOPTS_VALUE) {
    end = av_rescale_q(end, video_time_base_, time_base);
    if (end > last->pts) {
      // A track that starts late begins with an empty edit, and the media
      // library's own reader ends its last picture that much early: the
      // picture gets it in addition, so that readers see it until the end.
      const AVClass* muxer = av_output_format_->priv_class;
      const bool edit_list =
          muxer && av_opt_find(&muxer, "use_editlist", nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ);
      const int64_t late = edit_list && first_video_pts_ > 0 ? first_video_pts_ : 0;
      return end - last->pts + late;
    }
  }
  // Else for the usual interval.
  const int64_t typical = TypicalVideoGap();
  if (typical > 0) return typical;
  return std::max<int64_t>(1, av_rescale_q(1, kDefaultFrameDuration, time_base));
}

int SimpleVideoWriter::WritePacket(AVPacket* packet) {
  if (packet->pts != AV_NOPTS_VALUE) packet->pts += audio_priming_shift_;
  if (packet->dts != AV_NOPTS_VALUE) packet->dts += audio_priming_shift_;
  av_packet_rescale_ts(packet, audio_context_->get()->time_base,
                       av_audio_stream_->time_base);
  packet->stream_index = av_audio_stream_->index;
  FixDts(packet, &last_audio_dts_);
  if (packet->pts != AV_NOPTS_VALUE) {
    const int64_t end = packet->pts + packet->duration;
    if (audio_end_ == AV_NOPTS_VALUE || end > audio_end_) audio_end_ = end;
  }
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
  // Nothing follows the last frame to tell its duration.
  if (held_video_packet_ && held_video_packet_->data) {
    held_video_packet_->duration = LastVideoDuration();
  }
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
  // Some muxers give a size here: only a negative result is a failure, and
  // a failed write may show on the I/O context alone.
  result = av_write_trailer(format_context_.get());
  AVIOContext* io = format_context_->pb;
  if (result >= 0 && io && io->error < 0) result = io->error;
  if (result < 0) {
    LogAvError("write trailer failed", result);
    if (io && io->error < 0) WriteFailed(result);
    return result;
  }
  CloseEncoders();
  result = 0;
  if (!(av_output_format_->flags & AVFMT_NOFILE)) {
    result = avio_closep(&format_context_->pb);
    if (result < 0) {
      LogAvError("Could not close output file", result);
      WriteFailed(result);
    } else if (!write_in_place_) {
      result = PublishFile();
    }
  }
  av_video_stream_ = nullptr;
  av_audio_stream_ = nullptr;
  format_context_.reset();
  return result;
}

int SimpleVideoWriter::PublishFile() {
  if (rename(written_name_.c_str(), filename_.c_str()) != 0) {
    const int result = AVERROR(errno);
    fprintf(stderr, "Could not rename '%s' to '%s': %s\n", written_name_.c_str(),
            filename_.c_str(), AvErrorString(result).c_str());
    RemovePartialFile();
    return result;
  }
  partial_file_ = false;
  return 0;
}

}  // namespace kelmora
