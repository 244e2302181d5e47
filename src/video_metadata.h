#ifndef KELMORA_VIDEO_METADATA_H_
#define KELMORA_VIDEO_METADATA_H_

#include <cstdint>
#include <string>

#include <boost/optional.hpp>

namespace kelmora {

// What a media file's container header says about it.
struct VideoMetadata {
  int64_t duration_ms = 0;
  int32_t video_streams = 0;
  int32_t audio_streams = 0;
  int32_t width = 0;   // of the last video stream, 0 without video
  int32_t height = 0;  // of the last video stream, 0 without video
};

// Opens `filename`, reads its container header without probing the streams
// and closes it again. Nothing when the file cannot be opened.
boost::optional<VideoMetadata> ReadVideoMetadata(const std::string& filename);

}  // namespace kelmora

#endif  // KELMORA_VIDEO_METADATA_H_
