#include "video_metadata.h"

#include <memory>

extern "C" {
#include <libavformat/avformat.h>
}

#include "av_holders.h"
#include "utils.h"

namespace kelmora {

boost::optional<VideoMetadata> ReadVideoMetadata(const std::string& filename) {
  AVFormatContext* raw_context = nullptr;
  // Page-named: a local file, and nothing a playlist in it names elsewhere.
  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", kLocalProtocols, 0);
  int result = avformat_open_input(&raw_context, LocalFileUrl(filename).c_str(),
                                   nullptr, &options);
  av_dict_free(&options);
  if (result < 0) {
    LogAvError("Failed to read metadata", result);
    return boost::none;
  }
  InputContextPtr context(raw_context);

  // Only the header: probing the streams would decode, which an edit does
  // not need before its graph runs.
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
  metadata.duration_ms = context->duration / 1000;
  return metadata;
}

}  // namespace kelmora
