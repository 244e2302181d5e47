#include "edit_test_media.h"

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/mathematics.h>
}

#include "av_holders.h"
#include "media_test_support.h"

namespace kelmora {
namespace edit_test {

namespace {

struct DictFree {
  void operator()(AVDictionary* d) const { av_dict_free(&d); }
};

struct OutStream {
  AVStream* stream = nullptr;
  CodecContextPtr codec;
  int64_t next_pts = 0;  // in the codec's time base
  int frames_written = 0;
  bool done = false;
};

// Sends `frame` (null to flush) and writes every packet it gives.
std::string EncodeAndWrite(AVFormatContext* context, OutStream* out,
                           AVFrame* frame, int64_t frame_duration) {
  if (avcodec_send_frame(out->codec.get(), frame) < 0) {
    return "send frame";
  }
  PacketPtr packet(av_packet_alloc());
  while (true) {
    int result = avcodec_receive_packet(out->codec.get(), packet.get());
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) {
      return "";
    }
    if (result < 0) {
      return "receive packet";
    }
    if (packet->duration == 0) {
      packet->duration = frame_duration;
    }
    av_packet_rescale_ts(packet.get(), out->codec->time_base,
                         out->stream->time_base);
    packet->stream_index = out->stream->index;
    if (av_interleaved_write_frame(context, packet.get()) < 0) {
      return "write packet";
    }
  }
}

std::string AddVideo(AVFormatContext* context, const TestMediaSpec& spec,
                     const TestVideoStream& video, OutStream* out) {
  const AVCodec* codec = avcodec_find_encoder_by_name(spec.video_codec.c_str());
  if (!codec) {
    return "find video encoder " + spec.video_codec;
  }
  out->codec.reset(avcodec_alloc_context3(codec));
  AVCodecContext* c = out->codec.get();
  c->width = video.width;
  c->height = video.height;
  c->pix_fmt = AV_PIX_FMT_YUV420P;
  c->time_base = spec.video_time_base;
  c->gop_size = 10;
  if (context->oformat->flags & AVFMT_GLOBALHEADER) {
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  if (avcodec_open2(c, codec, nullptr) < 0) {
    return "open video encoder";
  }
  return "";
}

std::string AddAudio(AVFormatContext* context, OutStream* out) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PCM_S16LE);
  out->codec.reset(avcodec_alloc_context3(codec));
  AVCodecContext* c = out->codec.get();
  c->sample_rate = 48000;
  c->sample_fmt = AV_SAMPLE_FMT_S16;
  av_channel_layout_default(&c->ch_layout, 2);
  c->time_base = AVRational{1, 48000};
  if (avcodec_open2(c, codec, nullptr) < 0) {
    return "open audio encoder";
  }
  return "";
}

}  // namespace

std::string WriteTestMedia(const std::string& path, const TestMediaSpec& spec) {
  AVFormatContext* raw = nullptr;
  avformat_alloc_output_context2(
      &raw, nullptr, spec.format.empty() ? nullptr : spec.format.c_str(),
      path.c_str());
  if (!raw) {
    return "allocate output for " + path;
  }
  OutputContextPtr context(raw);

  std::vector<std::unique_ptr<OutStream>> streams;
  if (spec.audio) {
    streams.push_back(std::make_unique<OutStream>());
    std::string error = AddAudio(context.get(), streams.back().get());
    if (!error.empty()) {
      return error;
    }
  }
  for (const TestVideoStream& video : spec.videos) {
    streams.push_back(std::make_unique<OutStream>());
    std::string error = AddVideo(context.get(), spec, video, streams.back().get());
    if (!error.empty()) {
      return error;
    }
  }
  for (auto& out : streams) {
    out->stream = avformat_new_stream(context.get(), nullptr);
    if (!out->stream ||
        avcodec_parameters_from_context(out->stream->codecpar,
                                        out->codec.get()) < 0) {
      return "add stream";
    }
    out->stream->time_base = out->codec->time_base;
  }

  if (!(context->oformat->flags & AVFMT_NOFILE) &&
      avio_open(&context->pb, path.c_str(), AVIO_FLAG_WRITE) < 0) {
    return "open " + path;
  }
  AVDictionary* raw_options = nullptr;
  av_dict_parse_string(&raw_options, spec.muxer_options.c_str(), "=", ":", 0);
  std::unique_ptr<AVDictionary, DictFree> options(raw_options);
  AVDictionary* header_options = options.release();
  int result = avformat_write_header(context.get(), &header_options);
  options.reset(header_options);
  if (result < 0) {
    return "write header";
  }

  // Video length in the video time base; the audio runs as long.
  const int64_t video_end = spec.frame_count * spec.frame_duration;
  while (true) {
    OutStream* next = nullptr;
    for (auto& out : streams) {
      if (out->done) {
        continue;
      }
      if (!next || av_compare_ts(out->next_pts, out->codec->time_base,
                                 next->next_pts, next->codec->time_base) < 0) {
        next = out.get();
      }
    }
    if (!next) {
      break;
    }
    const bool is_audio = next->codec->codec_type == AVMEDIA_TYPE_AUDIO;
    const AVCodecContext* c = next->codec.get();
    FramePtr frame =
        is_audio ? testing_support::MakeAudioFrame(c->sample_fmt,
                                                   c->sample_rate, 1024,
                                                   next->next_pts)
                 : testing_support::MakeVideoFrame(c->width, c->height,
                                                   next->frames_written,
                                                   next->next_pts);
    if (!frame) {
      return "allocate frame";
    }
    next->next_pts += is_audio ? frame->nb_samples : spec.frame_duration;
    ++next->frames_written;
    std::string error = EncodeAndWrite(context.get(), next, frame.get(),
                                       is_audio ? 0 : spec.frame_duration);
    if (!error.empty()) {
      return error;
    }
    next->done = is_audio ? av_compare_ts(next->next_pts, next->codec->time_base,
                                          video_end, spec.video_time_base) >= 0
                          : next->frames_written >= spec.frame_count;
  }
  for (auto& out : streams) {
    std::string error =
        EncodeAndWrite(context.get(), out.get(), nullptr, spec.frame_duration);
    if (!error.empty()) {
      return error;
    }
  }
  if (av_write_trailer(context.get()) < 0) {
    return "write trailer";
  }
  return "";
}

}  // namespace edit_test
}  // namespace kelmora
