#ifndef KELMORA_TESTS_SRC_EDIT_TEST_MEDIA_H_
#define KELMORA_TESTS_SRC_EDIT_TEST_MEDIA_H_

#include <string>
#include <vector>

extern "C" {
#include <libavutil/rational.h>
}

// Input files for the edit tests, written with the media library itself.
namespace kelmora {
namespace edit_test {

struct TestVideoStream {
  int width = 0;
  int height = 0;
};

struct TestMediaSpec {
  std::vector<TestVideoStream> videos;  // in stream order
  bool audio = false;                   // one 48 kHz stereo stream, first
  int frame_count = 25;                 // per video stream
  AVRational video_time_base = {1, 25};
  int64_t frame_duration = 1;           // in video_time_base
  std::string video_codec = "ffv1";
  std::string format;                   // from the file name when empty
  std::string muxer_options;            // "key=value:key=value"
};

// Writes the file; an empty string on success, else what failed.
std::string WriteTestMedia(const std::string& path, const TestMediaSpec& spec);

}  // namespace edit_test
}  // namespace kelmora

#endif  // KELMORA_TESTS_SRC_EDIT_TEST_MEDIA_H_
