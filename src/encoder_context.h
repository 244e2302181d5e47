#ifndef KELMORA_ENCODER_CONTEXT_H_
#define KELMORA_ENCODER_CONTEXT_H_

#include <memory>

#include "av_holders.h"
#include "program_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace kelmora {

// A codec context on one encoder, the library's or the program's own,
// driven with the library's steps: open, send frames (null at the end),
// receive packets, close. A program encoder gives the same results as a
// library encoder would: a send is taken while no frame waits (a frame is
// encoded at once unless a packet still waits to be taken), else
// AVERROR(EAGAIN); a receive gives AVERROR(EAGAIN) when nothing is ready,
// AVERROR_EOF once drained.
class EncoderContext {
 public:
  // Null when the context cannot be allocated.
  static std::unique_ptr<EncoderContext> Create(const EncoderRef& encoder);
  ~EncoderContext();
  EncoderContext(const EncoderContext&) = delete;
  EncoderContext& operator=(const EncoderContext&) = delete;

  AVCodecContext* get() const { return context_.get(); }
  const EncoderRef& encoder() const { return encoder_; }

  int Open();
  int SendFrame(const AVFrame* frame);
  int ReceivePacket(AVPacket* packet);
  // Closes the encoder; the context stays for its parameters.
  void Close();

 private:
  EncoderContext(const EncoderRef& encoder, AVCodecContext* context);
  int OpenProgram();
  int EncodeProgram(const AVFrame* frame);
  // Encodes what waits (the sent frame, or the drain) into pending_; as
  // the library, AVERROR(EAGAIN) when no packet came and AVERROR_EOF once
  // drained.
  int EncodeNextProgram();

  EncoderRef encoder_;
  CodecContextPtr context_;
  bool open_ = false;
  // Program encoders only: the packet not yet taken, the frame sent but not
  // yet encoded, and the drain state.
  PacketPtr pending_;
  bool has_pending_ = false;
  FramePtr waiting_frame_;
  bool has_waiting_frame_ = false;
  bool draining_ = false;
  bool drained_ = false;
};

}  // namespace kelmora

#endif  // KELMORA_ENCODER_CONTEXT_H_
