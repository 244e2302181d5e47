#ifndef KELMORA_TESTS_SUPPORT_RECORDED_WEBM_H_
#define KELMORA_TESTS_SUPPORT_RECORDED_WEBM_H_

#include <string>
#include <vector>

#include "support/run_program.h"

namespace kelmora_test {

// Writes a WebM as the recorder makes them, VP8 with stereo Opus (or VP8
// alone), with the ffmpeg command line from a lavfi video graph. Empty on
// success, else what ffmpeg said.
inline std::string RecordWebm(const std::string& path, const std::string& video_graph,
                              int seconds, bool audio = true) {
  std::vector<std::string> argv = {"/usr/bin/ffmpeg", "-hide_banner", "-loglevel", "error",
                                   "-y", "-f", "lavfi", "-i", video_graph};
  if (audio) {
    for (const std::string& arg :
         {std::string("-f"), std::string("lavfi"), std::string("-i"),
          "sine=frequency=440:sample_rate=48000:duration=" + std::to_string(seconds),
          std::string("-ac"), std::string("2"), std::string("-c:a"), std::string("libopus"),
          std::string("-shortest")}) {
      argv.push_back(arg);
    }
  }
  for (const char* arg : {"-c:v", "libvpx", "-deadline", "realtime", "-cpu-used", "8", "-b:v",
                          "1M", "-threads", "1"}) {
    argv.push_back(arg);
  }
  argv.push_back(path);
  ProgramResult result = RunProgram(argv, "");
  return result.exit_code == 0 ? "" : result.err;
}

}  // namespace kelmora_test

#endif  // KELMORA_TESTS_SUPPORT_RECORDED_WEBM_H_
