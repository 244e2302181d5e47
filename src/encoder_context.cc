#include "encoder_context.h"

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/pixdesc.h>
}

namespace kelmora {

std::unique_ptr<EncoderContext> EncoderContext::Create(
    const EncoderRef& encoder) {
  if (!encoder) return nullptr;
  AVCodecContext* context = avcodec_alloc_context3(encoder.library());
  if (!context) return nullptr;
  if (encoder.program()) {
    context->codec_type = encoder.type();
    context->codec_id = encoder.id();
  }
  return std::unique_ptr<EncoderContext>(new EncoderContext(encoder, context));
}

EncoderContext::EncoderContext(const EncoderRef& encoder,
                               AVCodecContext* context)
    : encoder_(encoder),
      context_(context),
      pending_(av_packet_alloc()),
      waiting_frame_(av_frame_alloc()) {}

EncoderContext::~EncoderContext() { Close(); }

int EncoderContext::Open() {
  if (encoder_.library()) {
    int result = avcodec_open2(context_.get(), encoder_.library(), nullptr);
    open_ = result >= 0;
    return result;
  }
  return OpenProgram();
}

int EncoderContext::OpenProgram() {
  const ProgramEncoder* program = encoder_.program();
  AVCodecContext* context = context_.get();
  if (!pending_ || !waiting_frame_) return AVERROR(ENOMEM);
  if (program->type == AVMEDIA_TYPE_VIDEO && program->pix_fmts) {
    const AVPixelFormat* format = program->pix_fmts;
    while (*format != AV_PIX_FMT_NONE && *format != context->pix_fmt) ++format;
    if (*format == AV_PIX_FMT_NONE) {
      const char* name = av_get_pix_fmt_name(context->pix_fmt);
      av_log(context, AV_LOG_ERROR,
             "Specified pixel format %s is not supported by the %s encoder.\n",
             name ? name : "none", program->name);
      return AVERROR(EINVAL);
    }
  }
  if (program->type == AVMEDIA_TYPE_AUDIO && program->sample_fmts) {
    const AVSampleFormat* format = program->sample_fmts;
    while (*format != AV_SAMPLE_FMT_NONE && *format != context->sample_fmt) {
      ++format;
    }
    if (*format == AV_SAMPLE_FMT_NONE) {
      av_log(context, AV_LOG_ERROR,
             "Specified sample format is not supported by the %s encoder\n",
             program->name);
      return AVERROR(EINVAL);
    }
  }
  if (program->priv_data_size > 0) {
    context->priv_data = av_mallocz(program->priv_data_size);
    if (!context->priv_data) return AVERROR(ENOMEM);
  }
  int result = program->init ? program->init(context) : 0;
  if (result < 0) {
    // As the library does: a failed init is not followed by close.
    av_freep(&context->priv_data);
    return result;
  }
  open_ = true;
  return result;
}

int EncoderContext::SendFrame(const AVFrame* frame) {
  if (encoder_.library()) return avcodec_send_frame(context_.get(), frame);
  if (!open_) return AVERROR(EINVAL);
  if (draining_) return AVERROR_EOF;
  if (has_waiting_frame_) return AVERROR(EAGAIN);
  if (frame) {
    int result = av_frame_ref(waiting_frame_.get(), frame);
    if (result < 0) return result;
    has_waiting_frame_ = true;
  } else {
    draining_ = true;
  }
  // The library encodes at once while no packet waits to be taken.
  if (!has_pending_) {
    int result = EncodeNextProgram();
    if (result < 0 && result != AVERROR(EAGAIN) && result != AVERROR_EOF) {
      return result;
    }
  }
  return 0;
}

int EncoderContext::EncodeNextProgram() {
  if (has_waiting_frame_) {
    int result = EncodeProgram(waiting_frame_.get());
    av_frame_unref(waiting_frame_.get());
    has_waiting_frame_ = false;
    if (result < 0) return result;
    return has_pending_ ? 0 : AVERROR(EAGAIN);
  }
  if (!draining_) return AVERROR(EAGAIN);
  if (!drained_ && (encoder_.program()->capabilities & AV_CODEC_CAP_DELAY)) {
    int result = EncodeProgram(nullptr);
    if (result < 0) return result;
  }
  if (has_pending_) return 0;
  drained_ = true;
  return AVERROR_EOF;
}

int EncoderContext::EncodeProgram(const AVFrame* frame) {
  const ProgramEncoder* program = encoder_.program();
  int got_packet = 0;
  av_packet_unref(pending_.get());
  int result = program->encode(context_.get(), pending_.get(), frame,
                               &got_packet);
  if (result < 0 || !got_packet) {
    av_packet_unref(pending_.get());
    return result < 0 ? result : 0;
  }
  if (frame) {
    if (pending_->pts == AV_NOPTS_VALUE) pending_->pts = frame->pts;
    // Without delay a packet belongs to its frame: dts follows pts.
    if (!(program->capabilities & AV_CODEC_CAP_DELAY)) {
      pending_->dts = pending_->pts;
    }
  }
  if (pending_->dts == AV_NOPTS_VALUE) pending_->dts = pending_->pts;
  has_pending_ = true;
  return 0;
}

int EncoderContext::ReceivePacket(AVPacket* packet) {
  if (encoder_.library()) {
    return avcodec_receive_packet(context_.get(), packet);
  }
  if (!open_) return AVERROR(EINVAL);
  if (!has_pending_) {
    int result = EncodeNextProgram();
    if (result < 0) return result;
  }
  av_packet_move_ref(packet, pending_.get());
  has_pending_ = false;
  return 0;
}

void EncoderContext::Close() {
  if (!open_) return;
  open_ = false;
  if (encoder_.library()) {
    avcodec_close(context_.get());
    return;
  }
  if (encoder_.program()->close) encoder_.program()->close(context_.get());
  av_freep(&context_->priv_data);
}

}  // namespace kelmora
