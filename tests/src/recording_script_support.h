#ifndef KELMORA_TESTS_SRC_RECORDING_SCRIPT_SUPPORT_H_
#define KELMORA_TESTS_SRC_RECORDING_SCRIPT_SUPPORT_H_

// Plays a page script against encoder_module through plugin-host, in a
// process of its own, and reads back what the page received and the file
// that was written.

#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include <json/json.h>

#include "media_test_support.h"
#include "support/run_program.h"

namespace kelmora {

using kelmora_test::ProgramResult;
using kelmora_test::RunProgram;
using testing_support::DecodeFile;
using testing_support::FileInfo;
using testing_support::StreamInfo;
using testing_support::TempDir;

struct RecordingRun {
  ProgramResult program;
  std::vector<Json::Value> messages;  // everything posted, in order
  std::string persistent;             // the directory behind /html5_persistent

  std::vector<Json::Value> OfType(const std::string& type) const {
    std::vector<Json::Value> found;
    for (const Json::Value& message : messages) {
      if (message["type"].asString() == type) found.push_back(message);
    }
    return found;
  }
  // The "data" of every reply of |type|, as text ("false" for success).
  std::vector<std::string> Replies(const std::string& type) const {
    std::vector<std::string> found;
    for (const Json::Value& message : OfType(type)) {
      found.push_back(message["data"].isString() ? message["data"].asString()
                                                 : message["data"].toStyledString());
    }
    for (std::string& text : found) {
      while (!text.empty() && text.back() == '\n') text.pop_back();
    }
    return found;
  }
  std::vector<std::string> Errors() const { return Replies("error"); }
  std::vector<std::string> States() const {
    std::vector<std::string> found;
    for (const Json::Value& message : OfType("state")) {
      found.push_back(message["data"]["state"].asString());
    }
    return found;
  }
  std::string Tty() const {
    std::string text;
    for (const Json::Value& message : OfType("tty")) text += message["data"].asString();
    return text;
  }
  bool HasTty(const std::string& line) const { return Tty().find(line) != std::string::npos; }
  bool HasConsole(const std::string& line) const {
    return program.err.find(line) != std::string::npos;
  }
  std::string File(const std::string& name) const { return persistent + "/" + name; }
  std::string Describe() const { return program.out + program.err; }
};

// |lines| of the page script; |args| go to plugin-host after the module.
inline RecordingRun RunRecording(const std::string& dir, const std::vector<std::string>& lines,
                                 const std::vector<std::string>& args = {},
                                 int timeout_ms = 60000) {
  RecordingRun run;
  run.persistent = dir + "/persistent";
  mkdir(run.persistent.c_str(), 0755);
  std::string script;
  for (const std::string& line : lines) script += line + "\n";
  std::vector<std::string> argv = {std::string(KELMORA_BUILD_DIR) + "/plugin-host",
                                   std::string(KELMORA_BUILD_DIR) + "/encoder_module.so",
                                   "--persistent", run.persistent, "--temporary",
                                   dir + "/temporary"};
  argv.insert(argv.end(), args.begin(), args.end());
  run.program = RunProgram(argv, script, dir, timeout_ms);
  Json::CharReaderBuilder builder;
  for (const std::string& line : run.program.OutLines()) {
    Json::Value value;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (reader->parse(line.data(), line.data() + line.size(), &value, &errors)) {
      run.messages.push_back(value);
    }
  }
  return run;
}

// What the sync sources leave in a file: the times of the white flashes
// and of the onsets of the beeps, in ms of the file's timeline.
struct SyncMarks {
  std::vector<int64_t> flashes;
  std::vector<int64_t> before_flashes;  // the picture before each flash
  std::vector<int64_t> beeps;
  // Which frame of its flash the first white picture of each flash is: 0
  // for the flash's first frame, which the source takes on the second;
  // more where the machine dropped the ones before it.
  std::vector<int> flash_frames;
  FileInfo info;

  // When the second of flash |i| began: the time its flash's first frame
  // has or would have had, a frame interval (of 30 fps) before each next.
  int64_t SecondOfFlash(size_t i) const {
    return flashes[i] - static_cast<int64_t>(std::llround(flash_frames[i] * 1000 / 30.0));
  }
  // The beep nearest to |ms|; far away when there is none.
  int64_t NearestBeep(int64_t ms) const {
    int64_t nearest = -100000;
    for (int64_t beep : beeps) {
      if (std::llabs(beep - ms) < std::llabs(nearest - ms)) nearest = beep;
    }
    return nearest;
  }
};

// A "sync" flash's first frame is all white (luma 235), each next one 20
// darker down to the fourth.
inline int FlashFrame(double luma) {
  const int frame = static_cast<int>(std::lround((235 - luma) / 20));
  return frame < 0 ? 0 : frame > 3 ? 3 : frame;
}

inline double MeanLuma(const AVFrame* frame) {
  int64_t sum = 0;
  for (int y = 0; y < frame->height; ++y) {
    const uint8_t* row = frame->data[0] + y * frame->linesize[0];
    for (int x = 0; x < frame->width; ++x) sum += row[x];
  }
  return static_cast<double>(sum) / (static_cast<double>(frame->width) * frame->height);
}

inline double SampleValue(const AVFrame* frame, int index) {
  switch (frame->format) {
    case AV_SAMPLE_FMT_FLTP:
      return reinterpret_cast<const float*>(frame->data[0])[index];
    case AV_SAMPLE_FMT_FLT:
      return reinterpret_cast<const float*>(frame->data[0])[index * frame->ch_layout.nb_channels];
    case AV_SAMPLE_FMT_S16P:
      return reinterpret_cast<const int16_t*>(frame->data[0])[index] / 32768.0;
    case AV_SAMPLE_FMT_S16:
      return reinterpret_cast<const int16_t*>(
                 frame->data[0])[index * frame->ch_layout.nb_channels] /
             32768.0;
    default:
      return 0;
  }
}

inline SyncMarks FindSyncMarks(const std::string& path) {
  SyncMarks marks;
  bool was_white = false;
  int64_t previous_picture = 0;
  int64_t last_loud = -1000000;
  int64_t audio_position = -1;  // samples, from the first frame's pts
  marks.info = DecodeFile(path, [&](const StreamInfo& stream, const AVFrame* frame) {
    const int64_t pts = frame->best_effort_timestamp;
    if (stream.type == AVMEDIA_TYPE_VIDEO) {
      const double luma = MeanLuma(frame);
      const bool white = luma > 150;
      const int64_t ms = av_rescale_q(pts, stream.time_base, AVRational{1, 1000});
      if (white && !was_white) {
        marks.flashes.push_back(ms);
        marks.before_flashes.push_back(previous_picture);
        marks.flash_frames.push_back(FlashFrame(luma));
      }
      was_white = white;
      previous_picture = ms;
    } else if (stream.type == AVMEDIA_TYPE_AUDIO) {
      if (audio_position < 0) {
        audio_position = av_rescale_q(pts, stream.time_base, AVRational{1, frame->sample_rate});
      }
      for (int i = 0; i < frame->nb_samples; ++i, ++audio_position) {
        if (std::fabs(SampleValue(frame, i)) < 0.05) continue;
        const int64_t ms = audio_position * 1000 / frame->sample_rate;
        if (ms - last_loud > 400) marks.beeps.push_back(ms);
        last_loud = ms;
      }
    }
  });
  return marks;
}

// Slows the encoding stage of the recorders that plugin-host starts while
// it lives: every |every|-th picture waits |delay_ms| first. The hook is
// read from plugin-host's environment when the recorder is built.
class ScopedEncodeDelay {
 public:
  ScopedEncodeDelay(int delay_ms, int every) {
    setenv("KELMORA_ENCODE_DELAY_MS", std::to_string(delay_ms).c_str(), 1);
    setenv("KELMORA_ENCODE_DELAY_EVERY", std::to_string(every).c_str(), 1);
  }
  ~ScopedEncodeDelay() {
    unsetenv("KELMORA_ENCODE_DELAY_MS");
    unsetenv("KELMORA_ENCODE_DELAY_EVERY");
  }
  ScopedEncodeDelay(const ScopedEncodeDelay&) = delete;
  ScopedEncodeDelay& operator=(const ScopedEncodeDelay&) = delete;
};

// Slows the start of the browser's encoders in the plugin-host runs begun
// while it lives: each start takes |delay_ms| longer, unless its encoder
// is closed first.
class ScopedBrowserEncoderStartDelay {
 public:
  explicit ScopedBrowserEncoderStartDelay(int delay_ms) {
    setenv("KELMORA_BROWSER_ENCODER_START_DELAY_MS", std::to_string(delay_ms).c_str(), 1);
  }
  ~ScopedBrowserEncoderStartDelay() { unsetenv("KELMORA_BROWSER_ENCODER_START_DELAY_MS"); }
  ScopedBrowserEncoderStartDelay(const ScopedBrowserEncoderStartDelay&) = delete;
  ScopedBrowserEncoderStartDelay& operator=(const ScopedBrowserEncoderStartDelay&) = delete;
};

}  // namespace kelmora

#endif  // KELMORA_TESTS_SRC_RECORDING_SCRIPT_SUPPORT_H_
