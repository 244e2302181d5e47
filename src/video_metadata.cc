#include "video_metadata.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mathematics.h>
}

#include "av_holders.h"
#include "utils.h"

namespace kelmora {

namespace {

constexpr AVRational kMilliseconds = {1, 1000};
// Packets read for the file's start: every stream has begun long before.
constexpr int kStartPackets = 256;
// Damaged spots in a row after which a packet scan takes the file as ended.
constexpr int kReadErrorsInRow = 16;

InputContextPtr OpenInput(const std::string& filename, int* result) {
  AVFormatContext* raw_context = nullptr;
  // Page-named: a local file, and nothing a playlist in it names elsewhere.
  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", kLocalProtocols, 0);
  *result = avformat_open_input(&raw_context, LocalFileUrl(filename).c_str(), nullptr, &options);
  av_dict_free(&options);
  return InputContextPtr(*result < 0 ? nullptr : raw_context);
}

bool IsPictureOrSound(const AVStream* stream) {
  return stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO ||
         stream->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
}

// The next packet, over damaged spots that the demuxer resyncs past. False
// at the end, or when the file stays unreadable.
bool ReadPacket(AVFormatContext* context, AVPacket* packet) {
  for (int errors = 0; errors < kReadErrorsInRow; ++errors) {
    av_packet_unref(packet);
    const int result = av_read_frame(context, packet);
    if (result >= 0) return true;
    if (result == AVERROR_EOF || result == AVERROR_EXIT || avio_feof(context->pb)) return false;
  }
  return false;
}

// Earliest packet start and latest packet end (ms) of the picture and sound
// streams, reading on to the end only when `to_end`.
struct PacketSpan {
  int64_t first_ms = std::numeric_limits<int64_t>::max();
  int64_t end_ms = std::numeric_limits<int64_t>::min();
};

PacketSpan ScanPackets(AVFormatContext* context, bool to_end) {
  PacketSpan span;
  PacketPtr packet(av_packet_alloc());
  if (!packet) return span;
  std::vector<bool> started(context->nb_streams, false);
  size_t waiting = 0;
  for (unsigned i = 0; i < context->nb_streams; ++i) {
    if (IsPictureOrSound(context->streams[i])) ++waiting;
  }
  for (int read = 0; (to_end || (waiting > 0 && read < kStartPackets)) &&
                     ReadPacket(context, packet.get());
       ++read) {
    const unsigned index = static_cast<unsigned>(packet->stream_index);
    if (index >= context->nb_streams || !IsPictureOrSound(context->streams[index])) continue;
    const int64_t pts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (pts == AV_NOPTS_VALUE) continue;
    const AVRational time_base = context->streams[index]->time_base;
    span.first_ms = std::min(span.first_ms, av_rescale_q(pts, time_base, kMilliseconds));
    span.end_ms = std::max(span.end_ms,
                           av_rescale_q(pts + std::max<int64_t>(packet->duration, 0), time_base,
                                        kMilliseconds));
    if (!started[index]) {
      started[index] = true;
      --waiting;
    }
  }
  return span;
}

}  // namespace

boost::optional<VideoMetadata> ReadVideoMetadata(const std::string& filename) {
  int result = 0;
  InputContextPtr context = OpenInput(filename, &result);
  if (!context) {
    LogAvError("Failed to read metadata", result);
    return boost::none;
  }

  // No stream probing: that would decode, which an edit does not need
  // before its graph runs.
  VideoMetadata metadata;
  for (unsigned i = 0; i < context->nb_streams; ++i) {
    const AVCodecParameters* params = context->streams[i]->codecpar;
    if (params->codec_type == AVMEDIA_TYPE_AUDIO) {
      ++metadata.audio_streams;
    } else if (params->codec_type == AVMEDIA_TYPE_VIDEO) {
      ++metadata.video_streams;
      metadata.width = params->width;
      metadata.height = params->height;
    }
  }

  // A file's timestamps may start late; its start is what a player shows
  // as 0, and the header's duration counts to the end from timestamp 0.
  const bool header_duration = context->duration != AV_NOPTS_VALUE;
  const PacketSpan span = ScanPackets(context.get(), !header_duration);
  if (span.first_ms != std::numeric_limits<int64_t>::max() && span.first_ms > 0) {
    metadata.start_ms = span.first_ms;
  }
  int64_t end_ms = 0;
  if (header_duration) {
    end_ms = context->duration / 1000;
  } else if (span.end_ms != std::numeric_limits<int64_t>::min()) {
    end_ms = span.end_ms;
  }
  metadata.duration_ms = std::max<int64_t>(end_ms - metadata.start_ms, 0);
  return metadata;
}

boost::optional<int64_t> FindPictureShownAt(const std::string& filename, int64_t time_ms) {
  int result = 0;
  InputContextPtr context = OpenInput(filename, &result);
  if (!context) return boost::none;
  const int stream = av_find_best_stream(context.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (stream < 0) return boost::none;
  // As the movie source seeks: to the keyframe at or before the time. A
  // file that cannot seek is read from its start.
  if (av_seek_frame(context.get(), -1, av_rescale_q(time_ms, kMilliseconds, AV_TIME_BASE_Q),
                    AVSEEK_FLAG_BACKWARD) < 0) {
    av_seek_frame(context.get(), -1, std::numeric_limits<int64_t>::min(), AVSEEK_FLAG_BACKWARD);
  }
  const AVRational time_base = context->streams[stream]->time_base;
  PacketPtr packet(av_packet_alloc());
  if (!packet) return boost::none;
  boost::optional<int64_t> shown;
  // Pictures may come out of order (B-frames): read until one starts well
  // past the time.
  int past = 0;
  while (past < 16 && ReadPacket(context.get(), packet.get())) {
    if (packet->stream_index != stream || packet->pts == AV_NOPTS_VALUE) continue;
    // Rounded down: the trim that keeps this picture must not start after it.
    const int64_t pts_ms =
        av_rescale_q_rnd(packet->pts, time_base, kMilliseconds, AV_ROUND_DOWN);
    if (pts_ms > time_ms) {
      ++past;
    } else if (!shown || pts_ms > *shown) {
      shown = pts_ms;
    }
  }
  return shown;
}

}  // namespace kelmora
