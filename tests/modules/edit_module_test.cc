// edit_module driven by page scripts through plugin-host, on WebM files
// recorded as the recorder writes them (VP8 and Opus).

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include <cassert>

#include <boost/optional.hpp>
// Before the image library, whose headers hide the C assertion.
#include "video_metadata.h"

#include <Magick++.h>
#include <gtest/gtest.h>
#include <json/json.h>

#include "src/media_test_support.h"
#include "support/child_session.h"
#include "support/recorded_webm.h"
#include "support/run_program.h"

namespace {

using kelmora::testing_support::DecodeFile;
using kelmora::testing_support::FileInfo;
using kelmora::testing_support::ReadText;
using kelmora::testing_support::StreamInfo;
using kelmora::testing_support::WriteText;
using kelmora_test::BuildPath;
using kelmora_test::ProgramResult;
using kelmora_test::RecordWebm;
using kelmora_test::RunProgram;

// Black top left, white top right, grey bottom half, and a red square
// moving along the bottom so that no two frames are alike.
const char kRegionsGraph[] =
    "color=c=black:s=320x240:r=30:d=4,"
    "drawbox=x=160:y=0:w=160:h=120:color=white:t=fill,"
    "drawbox=x=0:y=120:w=320:h=120:color=gray:t=fill[bg];"
    "color=c=red:s=20x20:r=30:d=4[box];"
    "[bg][box]overlay=x='mod(n*8\\,300)':y=210,format=yuv420p";


// A picture whose brightness tells its time: luma 16 + 20 per second.
const char kRampGraph[] = "color=c=black:s=160x120:r=30:d=10,geq=lum='16+20*T':cb=128:cr=128";

std::string Ffmpeg(const std::string& arguments) {
  kelmora_test::ProgramResult result = RunProgram(
      {"/bin/sh", "-c", "/usr/bin/ffmpeg -hide_banner -loglevel error -y " + arguments}, "");
  return result.exit_code == 0 ? "" : result.err;
}

const char kVp8Opus[] =
    " -c:v libvpx -deadline realtime -cpu-used 8 -b:v 1M -threads 1 -c:a libopus -ac 2 ";

// Sound for |seconds| as a second input of the ffmpeg command line.
std::string Tone(int seconds) {
  return " -f lavfi -i sine=frequency=440:sample_rate=48000:duration=" + std::to_string(seconds);
}

// Flips |count| bytes from |offset| on: a damaged spot.
std::string Damage(const std::string& path, long offset, int count) {
  FILE* file = fopen(path.c_str(), "r+b");
  if (!file) return "cannot open " + path;
  std::string error;
  for (int i = 0; i < count && error.empty(); ++i) {
    if (fseek(file, offset + i, SEEK_SET) != 0) error = "cannot seek";
    int byte = fgetc(file);
    if (byte == EOF || fseek(file, offset + i, SEEK_SET) != 0 || fputc(byte ^ 0xff, file) == EOF) {
      error = "cannot flip a byte";
    }
  }
  fclose(file);
  return error;
}

std::string Recording(const std::string& name);

// Where the data of the file's video packet |index| lies, as the demuxer
// gives it: in a WebM, the block's position after its size; -1 if none.
long VideoPacketPosition(const std::string& path, int index) {
  ProgramResult result = RunProgram({"/usr/bin/ffprobe", "-v", "error", "-select_streams", "v",
                                     "-show_entries", "packet=pos", "-of", "csv=p=0", path},
                                    "");
  std::vector<std::string> lines = result.OutLines();
  if (result.exit_code != 0 || index >= static_cast<int>(lines.size())) return -1;
  return atol(lines[index].c_str());
}

std::string MakeRecording(const std::string& name, const std::string& path) {
  if (name == "regions.webm") return RecordWebm(path, kRegionsGraph, 4);
  if (name == "long.webm") return RecordWebm(path, "testsrc2=s=640x360:r=30:d=16", 16);
  // Large enough for the GIF size check to refuse: 1280 x 720 for 20 s.
  if (name == "big.webm") return RecordWebm(path, "color=c=blue:s=1280x720:r=5:d=20", 20);
  // Edits that must still run when the page acts: one picture a second,
  // re-timed to 60 frames a second, makes every decoded picture sixty
  // encoded ones, so the edit outlasts its first reports many times over
  // while the file itself is quick to make. The page cancels it.
  if (name == "slow.webm") return RecordWebm(path, "testsrc2=s=1280x720:r=1:d=120", 120);
  if (name == "silent.webm") {
    return RecordWebm(path, "testsrc2=s=640x360:r=1:d=120", 120, false);
  }
  // As a browser's live recorder writes: through a pipe, so without
  // duration and cues.
  if (name == "live.webm") {
    return Ffmpeg("-f lavfi -i \"" + std::string(kRampGraph) + "\"" + Tone(10) + kVp8Opus +
                  "-f webm pipe:1 > " + path);
  }
  if (name == "live_slow.webm") {
    return Ffmpeg("-f lavfi -i testsrc2=s=1280x720:r=1:d=120" + Tone(120) + kVp8Opus +
                  "-f webm pipe:1 > " + path);
  }
  if (name == "live_big.webm") {
    return Ffmpeg("-f lavfi -i color=c=blue:s=1280x720:r=5:d=20" + Tone(20) + kVp8Opus +
                  "-f webm pipe:1 > " + path);
  }
  // Timestamps from 3 s on.
  if (name == "late.webm") {
    return Ffmpeg("-f lavfi -i \"" + std::string(kRampGraph) + "\"" + Tone(10) + kVp8Opus +
                  "-output_ts_offset 3 " + path);
  }
  // A still screen: no new picture from 3 s to 7 s.
  if (name == "still.webm") {
    return Ffmpeg("-f lavfi -i \"" + std::string(kRampGraph) +
                  ",select='not(between(t\\,3.02\\,7))'\"" + Tone(10) + kVp8Opus +
                  "-fps_mode vfr " + path);
  }
  // Damaged in two places, 200 bytes each, and cut short as a crash ends a
  // recording: from one recording, which the test program makes first.
  // One damaged spot is the picture at 5 s, from its own header on, which
  // its decoder refuses.
  if (name == "damaged.webm" || name == "cut.webm") {
    const std::string whole = Recording("whole.webm");
    std::string error = Ffmpeg("-i " + whole + " -c copy " + path);
    struct stat info;
    if (error.empty() && stat(path.c_str(), &info) != 0) error = "no copy";
    if (error.empty() && name == "cut.webm" && truncate(path.c_str(), info.st_size * 6 / 10) != 0) {
      error = "cannot cut";
    }
    if (error.empty() && name == "damaged.webm") error = Damage(path, info.st_size * 9 / 10, 200);
    const long picture = VideoPacketPosition(path, 150);
    if (error.empty() && name == "damaged.webm" && picture < 0) error = "no picture 150";
    // A block's data starts after its track number, time and flags.
    if (error.empty() && name == "damaged.webm") error = Damage(path, picture + 4, 200);
    return error;
  }
  if (name == "odd.webm") return RecordWebm(path, "testsrc2=s=1365x767:r=10:d=1", 1);
  // 640 x 480 for a minute: a GIF of it estimates above the limit.
  if (name == "minute.webm") return RecordWebm(path, "color=c=gray:s=640x480:r=2:d=60", 60, false);
  if (name == "whole.webm") return RecordWebm(path, "testsrc2=s=320x240:r=30:d=10", 10);
  return "no recipe for " + name;
}

// Each file is made on first use in the test program.
std::string Recording(const std::string& name) {
  static const std::string dir = kelmora_test::MakeTempDir();
  static std::map<std::string, std::string> made;
  auto found = made.find(name);
  if (found != made.end()) return found->second;
  const std::string path = dir + "/" + name;
  const std::string error = MakeRecording(name, path);
  if (!error.empty()) ADD_FAILURE() << name << ": " << error;
  made[name] = path;
  return path;
}

std::string Quote(const std::string& text) {
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  return Json::writeString(writer, Json::Value(text));
}

// {"type": "start"} line whose "config" is the JSON text |config|.
std::string StartLine(const std::string& config, int chrome_version = 60) {
  return "{\"type\": \"start\", \"data\": {\"chromeVersion\": " + std::to_string(chrome_version) +
         ", \"config\": " + Quote(config) + "}}\n";
}

const char kAwaitDone[] =
    "{\"$await\": \"state\", \"match\": {\"state\": \"done\"}, \"timeout_ms\": 60000}\n";

struct PictureStart;

class EditModuleTest : public testing::Test {
 protected:
  void SetUp() override {
    cwd_ = kelmora_test::MakeTempDir();
    persistent_ = cwd_ + "/html5fs/persistent";
    ASSERT_EQ(0, system(("mkdir -p " + persistent_).c_str()));
  }

  // Puts the recordings into the page's file system.
  void Use(std::initializer_list<const char*> names) {
    for (const char* name : names) {
      // A link within the mount: no path may lead out of it.
      ASSERT_EQ(0, link(Recording(name).c_str(), (persistent_ + "/" + name).c_str())) << name;
    }
  }

  ProgramResult Run(const std::string& script, const std::vector<std::string>& options = {}) {
    std::vector<std::string> argv = {BuildPath("plugin-host"), BuildPath("edit_module.so")};
    argv.insert(argv.end(), options.begin(), options.end());
    ProgramResult result = RunProgram(argv, script, cwd_, 90000);
    for (const std::string& line : result.OutLines()) {
      Json::Value message;
      Json::Reader reader;
      if (!reader.parse(line, message)) continue;
      if (message["type"].asString() == "tty") {
        tty_ += message["data"].asString();
      } else {
        messages_.push_back(message);
      }
    }
    return result;
  }

  // The page's messages but "tty" and the progress reports, compactly.
  std::vector<std::string> Replies() const {
    std::vector<std::string> replies;
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    for (const Json::Value& message : messages_) {
      if (message["type"].asString() == "state" &&
          message["data"]["state"].asString() == "started") {
        continue;
      }
      replies.push_back("{\"type\":" + Json::writeString(writer, message["type"]) +
                        ",\"data\":" + Json::writeString(writer, message["data"]) + "}");
    }
    return replies;
  }

  // Edits by |config| to the persistent file |out| and reads the start of
  // its picture into |start|. Call it under ASSERT_NO_FATAL_FAILURE.
  void EditAndReadStart(const std::string& config, const std::string& out, PictureStart* start);

  std::vector<Json::Value> Progress() const {
    std::vector<Json::Value> reports;
    for (const Json::Value& message : messages_) {
      if (message["type"].asString() == "state" &&
          message["data"]["state"].asString() == "started") {
        reports.push_back(message["data"]);
      }
    }
    return reports;
  }

  std::string cwd_;
  std::string persistent_;
  std::string tty_;
  std::vector<Json::Value> messages_;
};

const char kStartOk[] = R"({"type":"start","data":false})";
const char kDone[] = R"({"type":"state","data":{"state":"done"}})";
const char kCancelOk[] = R"({"type":"cancel","data":false})";
const char kNotInactive[] = R"({"type":"error","data":"cannot start while not inactive"})";
const char kNotStarted[] = R"({"type":"error","data":"cannot cancel while not started"})";
const char kInitFailed[] = R"({"type":"start","data":"failed to initialize filtering"})";
const char kParseFailed[] = R"({"type":"start","data":"parsing edit config failed"})";

int Luma(const AVFrame* frame, int x, int y) { return frame->data[0][y * frame->linesize[0] + x]; }

TEST_F(EditModuleTest, Mp4EditTrimsCropsScalesAndRetimes) {
  Use({"regions.webm"});
  ProgramResult result = Run(StartLine(R"({"inFilename": "/html5_persistent/regions.webm",
      "outFilename": "/html5_persistent/out.mp4", "outFormat": "mp4",
      "trim": {"start": 1, "end": 3},
      "crop": {"left": 100, "top": 60, "width": 161, "height": 121},
      "scale": {"width": 80, "height": 80}, "fps": 15})") + kAwaitDone);
  ASSERT_EQ(0, result.exit_code) << result.err;
  EXPECT_EQ((std::vector<std::string>{kStartOk, kDone}), Replies());
  EXPECT_NE(std::string::npos, tty_.find("using edit graph: movie=filename=/html5_persistent/"
                                         "regions.webm:format_opts=protocol_whitelist=file:"
                                         "seek_point=1.000,trim="));

  // The crop keeps x 100..260, y 60..180 of the input, the box halves it:
  // black top left, white from x 30, grey from y 30.
  int frames = 0;
  int wrong_pictures = 0;
  FileInfo info = DecodeFile(persistent_ + "/out.mp4", [&](const StreamInfo& stream,
                                                          const AVFrame* frame) {
    if (stream.type != AVMEDIA_TYPE_VIDEO) return;
    ++frames;
    if (Luma(frame, 12, 12) > 50 || Luma(frame, 55, 12) < 200 ||
        std::abs(Luma(frame, 40, 48) - 126) > 30) {
      ++wrong_pictures;
    }
  });
  ASSERT_TRUE(info.opened);
  EXPECT_EQ("mov,mp4,m4a,3gp,3g2,mj2", info.format_name);
  const StreamInfo* video = info.Find(AVMEDIA_TYPE_VIDEO);
  const StreamInfo* audio = info.Find(AVMEDIA_TYPE_AUDIO);
  ASSERT_TRUE(video && audio);
  EXPECT_EQ(AV_CODEC_ID_H264, video->codec_id);
  EXPECT_EQ(80, video->width);
  EXPECT_EQ(60, video->height);
  EXPECT_EQ(AV_CODEC_ID_AAC, audio->codec_id);
  EXPECT_EQ(0, video->decode_errors);
  EXPECT_EQ(0, audio->decode_errors);
  // Two seconds at 15 frames per second.
  EXPECT_EQ(30, frames);
  EXPECT_EQ(0, wrong_pictures);
  EXPECT_NEAR(2000, info.duration_ms, 50);
  EXPECT_NEAR(96000, audio->decoded_samples, 2048 + 1024);
}

TEST_F(EditModuleTest, GifEditPlaysInTheImageLibrary) {
  Use({"regions.webm"});
  ProgramResult result = Run(StartLine(R"({"inFilename": "/html5_persistent/regions.webm",
      "outFilename": "/html5_persistent/out.gif", "outFormat": "gif",
      "trim": {"start": 0, "end": 2}, "scale": {"width": 160, "height": 160}})") + kAwaitDone);
  ASSERT_EQ(0, result.exit_code) << result.err;
  EXPECT_EQ((std::vector<std::string>{kStartOk, kDone}), Replies());
  // A GIF has no audio chain.
  EXPECT_EQ(std::string::npos, tty_.find("amovie"));

  std::list<Magick::Image> frames;
  Magick::readImages(&frames, persistent_ + "/out.gif");
  std::list<Magick::Image> whole;
  Magick::coalesceImages(&whole, frames.begin(), frames.end());
  // Two seconds of 30 fps thinned to gaps of at least 125 ms: every fourth
  // frame, 133 ms apart.
  EXPECT_EQ(15u, whole.size());
  size_t delay_sum = 0;
  for (Magick::Image& frame : whole) {
    EXPECT_EQ(160u, frame.columns());
    EXPECT_EQ(120u, frame.rows());
    delay_sum += frame.animationDelay();
  }
  EXPECT_NEAR(200, delay_sum, 15);
  // The picture survives: the top right is white, the top left black.
  Magick::Image& first = whole.front();
  EXPECT_GT(Magick::ColorGray(first.pixelColor(120, 30)).shade(), 0.8);
  EXPECT_LT(Magick::ColorGray(first.pixelColor(30, 30)).shade(), 0.2);
}

TEST_F(EditModuleTest, RefusalsAndTheirOrder) {
  Use({"regions.webm", "big.webm"});
  // A corrupt input: bytes that no demuxer takes.
  std::string junk(5000, '\x5a');
  FILE* file = fopen((persistent_ + "/junk.webm").c_str(), "wb");
  ASSERT_TRUE(file);
  fwrite(junk.data(), 1, junk.size(), file);
  fclose(file);

  const std::string in = R"("inFilename": "/html5_persistent/regions.webm")";
  std::string script =
      "{\"type\": \"cancel\", \"data\": {}}\n"
      "{\"type\": \"cancel\"}\n"
      "{\"type\": \"start\", \"data\": {\"chromeVersion\": 60}}\n"
      "{\"type\": \"start\", \"data\": {\"config\": 5}}\n" +
      StartLine(R"({"outFilename": "/html5_persistent/a.mp4"})") +
      StartLine(R"({"inFilename": "/html5_persistent/missing.webm", "outFilename": "/html5_persistent/a.mp4"})") +
      StartLine(R"({"inFilename": "/html5_persistent/junk.webm", "outFilename": "/html5_persistent/a.mp4", "outFormat": "mp4"})") +
      // Refused however short the trim.
      StartLine(R"({"inFilename": "/html5_persistent/big.webm", "outFilename": "/html5_persistent/a.gif", "outFormat": "gif", "trim": {"start": 0, "end": 1}})") +
      StartLine("{" + in + R"(, "outFilename": "/html5_persistent/a.mp4", "outFormat": "mp4"})") +
      // Waits behind the edit, then is refused.
      StartLine("{" + in + R"(, "outFilename": "/html5_persistent/b.mp4"})") + kAwaitDone +
      "{\"$await\": \"error\", \"match\": \"cannot start while not inactive\"}\n"
      "{\"type\": \"cancel\", \"data\": {}}\n" +
      StartLine("{" + in + R"(, "outFilename": "/html5_persistent/c.mp4"})") +
      "{\"$await\": \"error\", \"match\": \"cannot start while not inactive\"}\n";
  ProgramResult result = Run(script);
  ASSERT_EQ(0, result.exit_code) << result.err;
  EXPECT_EQ((std::vector<std::string>{kNotStarted, kParseFailed, kParseFailed, kParseFailed,
                                      kInitFailed, kInitFailed, kInitFailed, kStartOk, kDone,
                                      kNotInactive, kNotStarted, kNotInactive}),
            Replies());
  EXPECT_NE(std::string::npos, tty_.find("Missing required string 'inFilename'\n"));
  EXPECT_NE(std::string::npos, tty_.find("Failed to read metadata of '/html5_persistent/missing.webm'\n"));
  EXPECT_NE(std::string::npos, tty_.find("Failed to read metadata of '/html5_persistent/junk.webm'\n"));
  EXPECT_NE(std::string::npos, tty_.find("File too large for gif export\n"));
  // Only the accepted edit wrote a file.
  struct stat info;
  EXPECT_EQ(0, stat((persistent_ + "/a.mp4").c_str(), &info));
  EXPECT_NE(0, stat((persistent_ + "/b.mp4").c_str(), &info));
  EXPECT_NE(0, stat((persistent_ + "/a.gif").c_str(), &info));
  // Errors reach the console too; the "start" refusals do not.
  std::string console = result.err;
  EXPECT_NE(std::string::npos, console.find("ERROR kelmoraEdit:cannot cancel while not started"));
  EXPECT_NE(std::string::npos, console.find("ERROR kelmoraEdit:Invalid message format"));
  EXPECT_EQ(std::string::npos, console.find("parsing edit config failed"));
}

// The page waits for two progress reports and then cancels: what is
// checked is what the reports say, whatever the machine's speed.
TEST_F(EditModuleTest, ReportsProgressOnceASecond) {
  Use({"slow.webm"});
  ProgramResult result = Run(StartLine(R"({"inFilename": "/html5_persistent/slow.webm",
      "outFilename": "/html5_persistent/out.mp4", "outFormat": "mp4",
      "trim": {"start": 1.5, "end": 400}, "fps": 60})") +
      "{\"$await\": \"state\", \"match\": {\"state\": \"started\"}, \"timeout_ms\": 60000}\n"
      "{\"$await\": \"state\", \"match\": {\"state\": \"started\"}, \"timeout_ms\": 60000}\n"
      "{\"type\": \"cancel\", \"data\": {}}\n"
      "{\"$await\": \"cancel\", \"timeout_ms\": 60000}\n");
  boost::optional<kelmora::VideoMetadata> input = kelmora::ReadVideoMetadata(persistent_ + "/slow.webm");
  ASSERT_TRUE(input);
  // The input trimmed from 1.5 s to its end.
  const double total = input->duration_ms - 1500;
  ASSERT_EQ(0, result.exit_code) << result.err;
  std::vector<std::string> replies = Replies();
  // A report that falls between the cancel and the loop's look at it says
  // "cancelled".
  replies.erase(std::remove(replies.begin(), replies.end(),
                            std::string(R"({"type":"state","data":{"state":"cancelled"}})")),
                replies.end());
  EXPECT_EQ((std::vector<std::string>{kStartOk, kCancelOk}), replies);
  std::vector<Json::Value> progress = Progress();
  ASSERT_GE(progress.size(), 2u);
  // How far the encoder has got by each report depends on the machine;
  // it never goes back.
  double last = 0;
  for (const Json::Value& report : progress) {
    ASSERT_EQ(3u, report.size());
    EXPECT_DOUBLE_EQ(total, report["totalMs"].asDouble());
    EXPECT_GE(report["progressMs"].asDouble(), last);
    EXPECT_LE(report["progressMs"].asDouble(), total);
    last = report["progressMs"].asDouble();
  }
}

TEST_F(EditModuleTest, CancelStopsTheEditAfterItsStep) {
  Use({"slow.webm", "regions.webm"});
  ProgramResult result = Run(
      StartLine(R"({"inFilename": "/html5_persistent/slow.webm",
          "outFilename": "/html5_persistent/out.mp4", "outFormat": "mp4", "fps": 60})") +
      "{\"$await\": \"start\"}\n"
      "{\"type\": \"cancel\", \"data\": {}}\n"
      "{\"type\": \"cancel\", \"data\": {}}\n"
      "{\"$await\": \"cancel\"}\n" +
      StartLine(R"({"inFilename": "/html5_persistent/regions.webm", "outFilename": "/html5_persistent/b.mp4"})") +
      "{\"$await\": \"error\", \"match\": \"cannot start while not inactive\"}\n"
      "{\"$sleep\": 200}\n");
  ASSERT_EQ(0, result.exit_code) << result.err;
  EXPECT_EQ((std::vector<std::string>{kStartOk, kNotStarted, kCancelOk, kNotInactive}), Replies());
  // Left unfinished: an MP4 without its index does not open.
  EXPECT_FALSE(DecodeFile(persistent_ + "/out.mp4").opened);
}

// Destroying the instance mid-edit ends the edit, also while the worker
// waits for the browser's encoder on the main thread (a WebM output takes
// it by default from version 46 on). Without audio every step is a
// picture that the encoder waits for.
TEST_F(EditModuleTest, DestructionEndsARunningEdit) {
  Use({"silent.webm"});
  for (const char* output : {"out.webm\", \"fps\": 60", "out.mp4\", \"outFormat\": \"mp4\", \"fps\": 60"}) {
    tty_.clear();
    messages_.clear();
    ProgramResult result = Run(
        StartLine(std::string(R"({"inFilename": "/html5_persistent/silent.webm", "outFilename": "/html5_persistent/)") +
                  output + "}") +
        "{\"$await\": \"start\"}\n{\"$destroy\": true}\n");
    ASSERT_EQ(0, result.exit_code) << output << "\n" << result.err;
    EXPECT_EQ((std::vector<std::string>{kStartOk}), Replies()) << output;
    if (std::string(output).find("out.webm") == 0) {
      EXPECT_NE(std::string::npos, tty_.find("ppVideoEncoder: started")) << tty_;
    }
  }
}

// The browser version decides whether a WebM edit takes the browser's
// encoder (above 45); a version that is no number is ignored, a fraction
// is cut, and it counts even when that start's configuration fails.
TEST_F(EditModuleTest, ChromeVersionReachesTheDefaultEncoder) {
  Use({"regions.webm"});
  const std::string webm = R"({"inFilename": "/html5_persistent/regions.webm",
      "outFilename": "/html5_persistent/out.webm", "trim": {"start": 0, "end": 1}})";
  struct Case {
    std::string version;
    bool failing_start_first;
    const char* encoder;
  };
  for (const Case& c : {Case{"\"60\"", false, "libvpx"}, Case{"46.9", false, "ppenc"},
                        Case{"45.9", false, "libvpx"}, Case{"47", true, "ppenc"}}) {
    tty_.clear();
    messages_.clear();
    std::string script;
    if (c.failing_start_first) {
      script = "{\"type\": \"start\", \"data\": {\"chromeVersion\": " + c.version + "}}\n";
    }
    script += "{\"type\": \"start\", \"data\": {" +
              (c.failing_start_first ? "" : "\"chromeVersion\": " + c.version + ", ") +
              "\"config\": " + Quote(webm) + "}}\n" + kAwaitDone;
    ProgramResult result = Run(script);
    ASSERT_EQ(0, result.exit_code) << c.version << "\n" << result.err;
    EXPECT_NE(std::string::npos,
              tty_.find(std::string("using default codec ") + c.encoder + " for 320x240"))
        << c.version << "\n" << tty_;
  }
}

// A start that failed inside the graph's configuration leaves a graph
// that cannot be configured again; the next start gets a fresh one.
TEST_F(EditModuleTest, StartAfterFailedGraphConfiguration) {
  Use({"regions.webm"});
  ProgramResult result = Run(
      StartLine(R"({"inFilename": "/html5_persistent/regions.webm",
          "outFilename": "/html5_persistent/out.mp4", "outFormat": "mp4",
          "crop": {"left": 0, "top": 0, "width": 1000, "height": 1000}})") +
      StartLine(R"({"inFilename": "/html5_persistent/regions.webm",
          "outFilename": "/html5_persistent/out.mp4", "outFormat": "mp4",
          "crop": {"left": 160, "top": 0, "width": 160, "height": 120}})") + kAwaitDone);
  ASSERT_EQ(0, result.exit_code) << result.err;
  EXPECT_EQ((std::vector<std::string>{kInitFailed, kStartOk, kDone}), Replies());
  int frames = 0, white = 0;
  FileInfo info = DecodeFile(persistent_ + "/out.mp4", [&](const StreamInfo& stream,
                                                          const AVFrame* frame) {
    if (stream.type != AVMEDIA_TYPE_VIDEO) return;
    ++frames;
    if (Luma(frame, 80, 60) > 200) ++white;
  });
  ASSERT_TRUE(info.opened);
  EXPECT_EQ(160, info.Find(AVMEDIA_TYPE_VIDEO)->width);
  EXPECT_EQ(120, frames);
  EXPECT_EQ(frames, white);
}

// A file system that stays full: the failing steps end the edit.
TEST_F(EditModuleTest, FullFileSystemEndsTheEdit) {
  Use({"long.webm"});
  ProgramResult result = Run(StartLine(R"({"inFilename": "/html5_persistent/long.webm",
      "outFilename": "/html5_temporary/out.mp4", "outFormat": "mp4"})") + kAwaitDone,
                             {"--temporary-quota", "200000"});
  ASSERT_EQ(0, result.exit_code) << result.err;
  std::vector<std::string> replies = Replies();
  ASSERT_GE(replies.size(), 3u);
  EXPECT_EQ(kStartOk, replies.front());
  EXPECT_EQ(kDone, replies.back());
  // One report per failed step, from the step whose packet first fails to
  // reach the file on: possibly a few before the file system is quite full
  // (a step that writes nothing succeeds and starts the count again), the
  // 25 in a row that end it, and possibly one for the close. Not one per
  // step of the rest of the input.
  EXPECT_GE(replies.size() - 2, 25u) << tty_;
  EXPECT_LE(replies.size() - 2, 40u) << tty_;
  for (size_t i = 1; i + 1 < replies.size(); ++i) {
    EXPECT_EQ(R"({"type":"error","data":"edit_failed"})", replies[i]);
  }
  EXPECT_NE(std::string::npos, tty_.find("No space left on device"));
  EXPECT_NE(std::string::npos, tty_.find("Giving up the edit after 25 failed steps\n"));
}


// A trim that keeps no picture (past the input's end, or ending before it
// starts) writes a file without streams: the page must not hear success.
TEST_F(EditModuleTest, EditThatKeepsNoPictureFails) {
  Use({"regions.webm"});
  const std::string earlier = persistent_ + "/out.mp4";
  for (const char* trim : {R"({"start": 10, "end": 20})", R"({"start": 3, "end": 1})"}) {
    messages_.clear();
    tty_.clear();
    WriteText(earlier, "an earlier edit");
    const std::string config = std::string(R"({"inFilename": "/html5_persistent/regions.webm",
        "outFilename": "/html5_persistent/out.mp4", "outFormat": "mp4", "trim": )") +
                               trim + "}";
    ProgramResult result = Run(StartLine(config) + kAwaitDone);
    ASSERT_EQ(0, result.exit_code) << trim << "\n" << result.err;
    EXPECT_EQ((std::vector<std::string>{kStartOk, R"({"type":"error","data":"edit_failed"})",
                                        kDone}),
              Replies())
        << trim;
    EXPECT_NE(std::string::npos, tty_.find("The edit kept no picture\n")) << trim;
    // No file without streams in its place.
    EXPECT_EQ("an earlier edit", ReadText(earlier)) << trim;
    EXPECT_NE(0, access((earlier + ".part").c_str(), F_OK)) << trim;
  }
}

// A start refused at the header (VP8, the default encoder, fits neither MP4
// nor GIF) leaves an earlier file of the output's name as it was, and so
// does an edit that fails on a full disk.
TEST_F(EditModuleTest, RefusedOrFailedEditLeavesAnEarlierOutput) {
  Use({"regions.webm", "long.webm"});
  for (const char* name : {"out.mp4", "out.gif"}) {
    messages_.clear();
    const std::string earlier = persistent_ + "/" + name;
    WriteText(earlier, "an earlier edit");
    ProgramResult result = Run(StartLine(std::string(R"({"inFilename": "/html5_persistent/regions.webm",
        "outFilename": "/html5_persistent/)") + name + "\"}") +
                               "{\"$await\": \"start\", \"timeout_ms\": 30000}\n");
    ASSERT_EQ(0, result.exit_code) << result.err;
    EXPECT_EQ((std::vector<std::string>{kInitFailed}), Replies()) << name;
    EXPECT_EQ("an earlier edit", ReadText(earlier)) << name;
    EXPECT_NE(0, access((earlier + ".part").c_str(), F_OK)) << name;
  }

  messages_.clear();
  const std::string temporary = cwd_ + "/temporary";
  ASSERT_EQ(0, mkdir(temporary.c_str(), 0755));
  WriteText(temporary + "/out.mp4", "an earlier edit");
  ProgramResult result = Run(StartLine(R"({"inFilename": "/html5_persistent/long.webm",
      "outFilename": "/html5_temporary/out.mp4", "outFormat": "mp4"})") + kAwaitDone,
                             {"--temporary", temporary, "--temporary-quota", "300000"});
  ASSERT_EQ(0, result.exit_code) << result.err;
  std::vector<std::string> replies = Replies();
  ASSERT_GE(replies.size(), 3u);
  EXPECT_EQ(R"({"type":"error","data":"edit_failed"})", replies[1]);
  EXPECT_EQ("an earlier edit", ReadText(temporary + "/out.mp4"));
  EXPECT_NE(0, access((temporary + "/out.mp4.part").c_str(), F_OK));
}

// Inputs of few pictures, made with the ffmpeg command line: the last
// picture lasts until the input's end, and a single one plays.
TEST_F(EditModuleTest, LastPictureLastsUntilTheInputEnds) {
  struct Case {
    const char* name;
    const char* filter;  // keeps the pictures of a 100 per second source
    int pictures;
    int64_t duration_ms;  // of the input, which the output keeps
  } cases[] = {{"two.webm", "select='eq(n,0)+eq(n,497)'", 2, 4980},
               {"one.webm", "select='eq(n,0)'", 1, 10}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    messages_.clear();
    const std::string input = persistent_ + "/" + c.name;
    ProgramResult made = RunProgram(
        {"/usr/bin/ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
         "testsrc2=s=320x240:r=100:d=4.98", "-vf", c.filter, "-vsync", "vfr", "-c:v", "libvpx",
         "-deadline", "realtime", "-threads", "1", input},
        "");
    ASSERT_EQ(0, made.exit_code) << made.err;
    ProgramResult result = Run(StartLine(std::string(R"({"inFilename": "/html5_persistent/)") +
                                         c.name + R"(", "outFilename": "/html5_persistent/out.mp4",
        "outFormat": "mp4"})") + kAwaitDone);
    ASSERT_EQ(0, result.exit_code) << result.err;
    EXPECT_EQ((std::vector<std::string>{kStartOk, kDone}), Replies());
    int64_t last_shown = 0;
    FileInfo info = DecodeFile(persistent_ + "/out.mp4", [&](const StreamInfo& stream,
                                                            const AVFrame* frame) {
      last_shown = av_rescale_q(frame->pkt_duration, stream.time_base, AVRational{1, 1000});
    });
    ASSERT_TRUE(info.opened);
    ASSERT_TRUE(info.Find(AVMEDIA_TYPE_VIDEO));
    EXPECT_EQ(c.pictures, info.Find(AVMEDIA_TYPE_VIDEO)->decoded_frames);
    EXPECT_EQ(0, info.Find(AVMEDIA_TYPE_VIDEO)->decode_errors);
    EXPECT_NEAR(c.duration_ms, info.duration_ms, 2);
    EXPECT_NEAR(10, last_shown, 2);
    // The command line plays it too: a picture without a duration is none.
    ProgramResult played = RunProgram({"/usr/bin/ffmpeg", "-hide_banner", "-i",
                                       persistent_ + "/out.mp4", "-f", "framecrc", "-"},
                                      "");
    EXPECT_EQ(0, played.exit_code) << played.err;
    EXPECT_EQ(std::string::npos, played.err.find("Output file is empty")) << played.err;
  }
}

// An output that names the input would truncate the recording before the
// edit reads it: the page's file is lost and the edit still says done.
TEST_F(EditModuleTest, OutputThatNamesTheInputIsRefused) {
  // A copy of its own: the shared recordings must stay whole. The link
  // gives it a second name.
  const std::string self = persistent_ + "/self.webm";
  ASSERT_EQ(0, system(("cp " + Recording("regions.webm") + " " + self).c_str()));
  ASSERT_EQ(0, link(self.c_str(), (persistent_ + "/alias.webm").c_str()));
  std::string script;
  for (const char* out : {"self.webm", "./self.webm", "/self.webm", "alias.webm"}) {
    script += StartLine(std::string(R"({"inFilename": "/html5_persistent/self.webm",
        "outFilename": "/html5_persistent/)") + out + R"(", "outFormat": "mp4"})");
  }
  script += StartLine(R"({"inFilename": "/html5_persistent/self.webm",
      "outFilename": "/html5_persistent/out.mp4", "outFormat": "mp4"})") + kAwaitDone;
  ProgramResult result = Run(script);
  ASSERT_EQ(0, result.exit_code) << result.err;
  EXPECT_EQ((std::vector<std::string>{kInitFailed, kInitFailed, kInitFailed, kInitFailed,
                                      kStartOk, kDone}),
            Replies());
  EXPECT_NE(std::string::npos,
            tty_.find("Output file is the input file '/html5_persistent/./self.webm'\n"));
  // The recording is whole, and so is the edit made of it.
  EXPECT_NEAR(4000, DecodeFile(self).duration_ms, 50);
  EXPECT_NEAR(4000, DecodeFile(persistent_ + "/out.mp4").duration_ms, 50);
}


// The start of an edited file's picture: its first frame's time and the
// mean brightness of its middle, which the ramp inputs make a clock.
struct PictureStart {
  int frames = 0;
  int64_t first_ms = -1;
  double first_luma = -1;
  FileInfo info;
};

PictureStart ReadPictureStart(const std::string& path) {
  PictureStart start;
  start.info = DecodeFile(path, [&](const StreamInfo& stream, const AVFrame* frame) {
    if (stream.type != AVMEDIA_TYPE_VIDEO) return;
    if (start.frames++ > 0) return;
    start.first_ms = av_rescale_q(frame->best_effort_timestamp, stream.time_base, {1, 1000});
    double sum = 0;
    int count = 0;
    for (int y = frame->height / 4; y < frame->height * 3 / 4; ++y) {
      for (int x = frame->width / 4; x < frame->width * 3 / 4; ++x, ++count) sum += Luma(frame, x, y);
    }
    start.first_luma = sum / count;
  });
  return start;
}

void EditModuleTest::EditAndReadStart(const std::string& config, const std::string& out,
                                      PictureStart* start) {
  SCOPED_TRACE(out);
  ProgramResult result = Run(StartLine(config) + kAwaitDone);
  ASSERT_EQ(0, result.exit_code) << result.err;
  EXPECT_EQ((std::vector<std::string>{kStartOk, kDone}), Replies());
  *start = ReadPictureStart(persistent_ + "/" + out);
  ASSERT_TRUE(start->info.opened);
}

// The ramp's brightness at |seconds|.
double RampLuma(double seconds) { return 16 + 20 * seconds; }

// A WebM written through a pipe, as a browser's live recorder writes it,
// states no duration: the edit finds it from the packets, for the
// progress, an open trim end and the GIF size check.
TEST_F(EditModuleTest, RecordingWithoutDurationIsMeasured) {
  Use({"live.webm", "live_slow.webm", "live_big.webm"});
  boost::optional<kelmora::VideoMetadata> header = kelmora::ReadVideoMetadata(Recording("live.webm"));
  ASSERT_TRUE(header);
  EXPECT_NEAR(10000, header->duration_ms, 30);

  PictureStart trimmed;
  ASSERT_NO_FATAL_FAILURE(EditAndReadStart(R"({"inFilename": "/html5_persistent/live.webm",
      "outFilename": "/html5_persistent/out.mp4", "outFormat": "mp4", "trim": {"start": 2}})",
                                           "out.mp4", &trimmed));
  EXPECT_NEAR(8000, trimmed.info.duration_ms, 60);
  EXPECT_NEAR(0, trimmed.first_ms, 5);
  EXPECT_NEAR(RampLuma(2), trimmed.first_luma, 4);

  messages_.clear();
  ProgramResult result = Run(StartLine(R"({"inFilename": "/html5_persistent/live_slow.webm",
      "outFilename": "/html5_persistent/slow.mp4", "outFormat": "mp4",
      "trim": {"start": 1.5}, "fps": 60})") +
               "{\"$await\": \"state\", \"match\": {\"state\": \"started\"}, \"timeout_ms\": 60000}\n"
               "{\"type\": \"cancel\", \"data\": {}}\n"
               "{\"$await\": \"cancel\", \"timeout_ms\": 60000}\n");
  ASSERT_EQ(0, result.exit_code) << result.err;
  std::vector<Json::Value> progress = Progress();
  ASSERT_GE(progress.size(), 1u);
  EXPECT_NEAR(118500, progress.front()["totalMs"].asDouble(), 30);
  EXPECT_GE(progress.front()["progressMs"].asDouble(), 0);

  messages_.clear();
  tty_.clear();
  result = Run(StartLine(R"({"inFilename": "/html5_persistent/live_big.webm",
      "outFilename": "/html5_persistent/big.gif", "outFormat": "gif"})") +
               "{\"$await\": \"start\"}\n");
  ASSERT_EQ(0, result.exit_code) << result.err;
  EXPECT_EQ((std::vector<std::string>{kInitFailed}), Replies());
  EXPECT_NE(std::string::npos, tty_.find("File too large for gif export\n")) << tty_;
}

// Timestamps that start at 3 s: the edit counts from the file's start, as
// a player shows it, and the output starts at 0.
TEST_F(EditModuleTest, LateStartCountsFromTheFilesStart) {
  Use({"late.webm"});
  PictureStart whole;
  ASSERT_NO_FATAL_FAILURE(EditAndReadStart(R"({"inFilename": "/html5_persistent/late.webm",
      "outFilename": "/html5_persistent/whole.mp4", "outFormat": "mp4"})", "whole.mp4", &whole));
  EXPECT_NEAR(10000, whole.info.duration_ms, 60);
  EXPECT_NEAR(0, whole.first_ms, 20);
  EXPECT_NEAR(RampLuma(0), whole.first_luma, 4);
  EXPECT_EQ(300, whole.frames);

  messages_.clear();
  PictureStart trimmed;
  ASSERT_NO_FATAL_FAILURE(EditAndReadStart(R"({"inFilename": "/html5_persistent/late.webm",
      "outFilename": "/html5_persistent/trim.mp4", "outFormat": "mp4",
      "trim": {"start": 1, "end": 4}})", "trim.mp4", &trimmed));
  EXPECT_NEAR(3000, trimmed.info.duration_ms, 60);
  EXPECT_NEAR(0, trimmed.first_ms, 5);
  // The file's start is its sound's, 14 ms before its first picture.
  EXPECT_NEAR(RampLuma(1), trimmed.first_luma, 4);
  EXPECT_NEAR(90, trimmed.frames, 2);
  EXPECT_NEAR(3 * 48000, trimmed.info.Find(AVMEDIA_TYPE_AUDIO)->decoded_samples, 2048 + 1024);
}

// A trim that starts while the screen stands still shows, from 0, the
// picture that was on screen then: the last one before the start.
TEST_F(EditModuleTest, TrimInsideAStillScreenShowsThePictureOnScreen) {
  Use({"still.webm"});
  PictureStart out;
  ASSERT_NO_FATAL_FAILURE(EditAndReadStart(R"({"inFilename": "/html5_persistent/still.webm",
      "outFilename": "/html5_persistent/out.mp4", "outFormat": "mp4",
      "trim": {"start": 4, "end": 9}})", "out.mp4", &out));
  EXPECT_NEAR(0, out.first_ms, 5);
  EXPECT_NEAR(RampLuma(3), out.first_luma, 4);
  // The picture at 3 s, then those from 7 s to 9 s.
  EXPECT_NEAR(1 + 60, out.frames, 2);
  EXPECT_NEAR(5000, out.info.duration_ms, 60);

  // Wholly inside the still stretch: that one picture.
  messages_.clear();
  ProgramResult result = Run(StartLine(R"({"inFilename": "/html5_persistent/still.webm",
      "outFilename": "/html5_persistent/inside.gif", "outFormat": "gif",
      "trim": {"start": 4, "end": 6}})") + kAwaitDone);
  ASSERT_EQ(0, result.exit_code) << result.err;
  EXPECT_EQ((std::vector<std::string>{kStartOk, kDone}), Replies());
  std::list<Magick::Image> frames;
  Magick::readImages(&frames, persistent_ + "/inside.gif");
  ASSERT_EQ(1u, frames.size());
  // The ramp's luma in full-range grey.
  EXPECT_NEAR((RampLuma(3) - 16) / 219, Magick::ColorGray(frames.front().pixelColor(80, 60)).shade(),
              0.03);
}

// Pictures of the file's video stream that the ffmpeg command line decodes.
int FramesFfmpegDecodes(const std::string& path) {
  ProgramResult result = RunProgram({"/usr/bin/ffprobe", "-v", "error", "-count_frames",
                                     "-select_streams", "v", "-show_entries",
                                     "stream=nb_read_frames", "-of", "csv=p=0", path},
                                    "");
  return result.exit_code == 0 ? atoi(result.out.c_str()) : -1;
}

// A damaged or cut-short recording is edited as far as it can be read:
// damaged packets are skipped, as the ffmpeg command line skips them, and
// the edit ends with the last readable picture, without errors.
TEST_F(EditModuleTest, DamagedAndCutShortRecordingsAreEditedAsFarAsReadable) {
  Use({"damaged.webm", "cut.webm"});
  for (const char* name : {"damaged", "cut"}) {
    SCOPED_TRACE(name);
    messages_.clear();
    ProgramResult result = Run(StartLine(std::string(R"({"inFilename": "/html5_persistent/)") +
                                         name + R"(.webm", "outFilename": "/html5_persistent/)" +
                                         name + R"(.mp4", "outFormat": "mp4"})") +
                               kAwaitDone);
    ASSERT_EQ(0, result.exit_code) << result.err;
    EXPECT_EQ((std::vector<std::string>{kStartOk, kDone}), Replies());
    const int readable = FramesFfmpegDecodes(persistent_ + "/" + name + ".webm");
    ASSERT_GT(readable, 100);
    FileInfo out = DecodeFile(persistent_ + "/" + name + ".mp4");
    ASSERT_TRUE(out.opened);
    const StreamInfo* video = out.Find(AVMEDIA_TYPE_VIDEO);
    ASSERT_TRUE(video);
    EXPECT_EQ(0, video->decode_errors);
    EXPECT_NEAR(readable, video->decoded_frames, 1);
    // Cut short: up to the last readable picture; damaged: to the end, with
    // the refused picture skipped.
    EXPECT_NEAR(readable * 1000 / 30, out.duration_ms, 100);
    if (std::string(name) == "damaged") {
      // The command line reads on past both damaged spots.
      EXPECT_GT(readable, 250);
      EXPECT_NE(std::string::npos, tty_.find("Skipped a damaged packet of stream 0"));
    }
  }

  // A trim across the damaged picture keeps its two seconds less that one.
  messages_.clear();
  ProgramResult result = Run(StartLine(R"({"inFilename": "/html5_persistent/damaged.webm",
      "outFilename": "/html5_persistent/trim.mp4", "outFormat": "mp4",
      "trim": {"start": 4, "end": 6}})") + kAwaitDone);
  ASSERT_EQ(0, result.exit_code) << result.err;
  EXPECT_EQ((std::vector<std::string>{kStartOk, kDone}), Replies());
  FileInfo trimmed = DecodeFile(persistent_ + "/trim.mp4");
  const StreamInfo* video = trimmed.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_TRUE(video);
  EXPECT_NEAR(59, video->decoded_frames, 1);
  EXPECT_NEAR(2000, trimmed.duration_ms, 100);
}

// The browser's encoder, which a WebM takes by default, refuses odd sizes:
// an odd input, or a box that gives an odd side, is cut to the even size
// below, as for an MP4.
TEST_F(EditModuleTest, OddSizesReachTheBrowsersEncoderEven) {
  Use({"odd.webm"});
  struct Case {
    const char* scale;
    int width;
    int height;
  };
  for (const Case& c : {Case{"", 1364, 766}, Case{R"(, "scale": {"width": 641, "height": 481})", 640, 360}}) {
    SCOPED_TRACE(c.scale);
    messages_.clear();
    tty_.clear();
    ProgramResult result = Run(StartLine(std::string(R"({"inFilename": "/html5_persistent/odd.webm",
        "outFilename": "/html5_persistent/out.webm")") + c.scale + "}") + kAwaitDone);
    ASSERT_EQ(0, result.exit_code) << result.err;
    EXPECT_EQ((std::vector<std::string>{kStartOk, kDone}), Replies()) << tty_;
    EXPECT_NE(std::string::npos, tty_.find("ppVideoEncoder: started")) << tty_;
    FileInfo out = DecodeFile(persistent_ + "/out.webm");
    ASSERT_TRUE(out.opened);
    const StreamInfo* video = out.Find(AVMEDIA_TYPE_VIDEO);
    ASSERT_TRUE(video);
    EXPECT_EQ(c.width, video->width);
    EXPECT_EQ(c.height, video->height);
    EXPECT_EQ(10, video->decoded_frames);
    EXPECT_EQ(0, video->decode_errors);
  }
}

// The GIF size check counts the picture that the scale step really gives:
// a box with one side, or sides of -1, keeps the whole picture.
TEST_F(EditModuleTest, GifSizeCheckCountsTheScaledPicture) {
  Use({"minute.webm"});
  std::string script;
  for (const char* box : {R"({"width": 640})", R"({"width": -1, "height": -1})"}) {
    script += StartLine(std::string(R"({"inFilename": "/html5_persistent/minute.webm",
        "outFilename": "/html5_persistent/out.gif", "outFormat": "gif", "scale": )") + box + "}");
  }
  ProgramResult result = Run(script + "{\"$await\": \"start\"}\n{\"$await\": \"start\"}\n");
  ASSERT_EQ(0, result.exit_code) << result.err;
  EXPECT_EQ((std::vector<std::string>{kInitFailed, kInitFailed}), Replies());
  size_t refusals = 0;
  for (size_t at = tty_.find("File too large for gif export\n"); at != std::string::npos;
       at = tty_.find("File too large for gif export\n", at + 1)) {
    ++refusals;
  }
  EXPECT_EQ(2u, refusals) << tty_;
  struct stat info;
  EXPECT_NE(0, stat((persistent_ + "/out.gif").c_str(), &info));
}

// Where the output goes is checked at start, for a GIF as for an MP4: a
// missing directory, or a name taken by something that cannot be written
// (here a directory; read-only files and directories are refused the same
// way, but not to the root user these tests may run as), is refused before
// any edit.
TEST_F(EditModuleTest, OutputPlaceIsCheckedAtStart) {
  Use({"regions.webm"});
  for (const char* format : {"gif", "mp4"}) {
    SCOPED_TRACE(format);
    messages_.clear();
    tty_.clear();
    const std::string taken = persistent_ + "/taken." + format;
    ASSERT_EQ(0, mkdir(taken.c_str(), 0755));
    std::string script;
    for (const std::string& out : {std::string("missing/out."), std::string("taken.")}) {
      script += StartLine(R"({"inFilename": "/html5_persistent/regions.webm",
          "outFilename": "/html5_persistent/)" + out + format + R"(", "outFormat": ")" + format +
                          R"(", "trim": {"start": 0, "end": 1}})");
    }
    ProgramResult result = Run(script + "{\"$await\": \"start\"}\n{\"$await\": \"start\"}\n");
    ASSERT_EQ(0, result.exit_code) << result.err;
    EXPECT_EQ((std::vector<std::string>{kInitFailed, kInitFailed}), Replies()) << tty_;
    struct stat info;
    EXPECT_NE(0, stat((persistent_ + "/missing").c_str(), &info));
    ASSERT_EQ(0, stat(taken.c_str(), &info));
    EXPECT_TRUE(S_ISDIR(info.st_mode));
  }
}

}  // namespace
