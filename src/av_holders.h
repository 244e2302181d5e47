#ifndef KELMORA_AV_HOLDERS_H_
#define KELMORA_AV_HOLDERS_H_

// Owning pointers for the media library's objects, freed with the
// library's own calls.

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
}

namespace kelmora {

struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

struct CodecContextDeleter {
  void operator()(AVCodecContext* context) const {
    avcodec_free_context(&context);
  }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;

// A demuxer context opened with avformat_open_input.
struct InputContextDeleter {
  void operator()(AVFormatContext* context) const {
    avformat_close_input(&context);
  }
};
using InputContextPtr = std::unique_ptr<AVFormatContext, InputContextDeleter>;

// A muxer context; closes the file it opened, when it has one.
struct OutputContextDeleter {
  void operator()(AVFormatContext* context) const {
    if (context->pb && !(context->oformat->flags & AVFMT_NOFILE)) {
      avio_closep(&context->pb);
    }
    avformat_free_context(context);
  }
};
using OutputContextPtr = std::unique_ptr<AVFormatContext, OutputContextDeleter>;

}  // namespace kelmora

#endif  // KELMORA_AV_HOLDERS_H_
