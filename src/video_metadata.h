#ifndef KELMORA_VIDEO_METADATA_H_
#define KELMORA_VIDEO_METADATA_H_

#include <cstdint>
#include <string>

#include <boost/optional.hpp>

namespace kelmora {

// What a media file holds, from its container header and its packets
// (never decoded). Worker thread; every call opens and closes the file.
struct VideoMetadata {
  // Length from the file's start to its end. The header's duration when it
  // states one, else where the last packet ends (a live recorder writes no
  // duration).
  int64_t duration_ms = 0;
  int32_t video_streams = 0;
  int32_t audio_streams = 0;
  int32_t width = 0;   // of the last video stream, 0 without video
  int32_t height = 0;  // of the last video stream, 0 without video
  // Timestamp of the file's first packet, 0 when it is not positive: the
  // time a player shows as 0.
  int64_t start_ms = 0;
};

// Opens `filename`, reads its container header and packets without probing
// the streams and closes it again. Nothing when the file cannot be opened.
boost::optional<VideoMetadata> ReadVideoMetadata(const std::string& filename);

// Timestamp (ms, as in the file) of the last picture that starts at or
// before `time_ms`, that is the one shown at that time, found from the
// keyframe before it. Nothing when no picture starts by then or the file
// cannot be read.
boost::optional<int64_t> FindPictureShownAt(const std::string& filename, int64_t time_ms);

}  // namespace kelmora

#endif  // KELMORA_VIDEO_METADATA_H_
