// The frame loop hands its pictures over to the encoding stage and goes on:
// an encoder that stalls for a few frame intervals (slowed on purpose by
// the stage's delay hook) costs no frame of the track, and one that cannot
// keep up loses only what its queue cannot hold, with "fps" counting the
// frames really kept.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <future>
#include <string>
#include <vector>

#include "recording_script_support.h"

namespace kelmora {
namespace {

std::vector<std::string> Script(const std::string& codec, int fps, int record_ms) {
  return {R"({"type":"start","data":{"chromeVersion":60,)" +
              (codec.empty() ? std::string() : R"("codec":")" + codec + R"(",)") +
              R"("filename":"/html5_persistent/d.webm","videoTrack":{"$video":)"
              R"({"source":"pattern","width":160,"height":120,"fps":)" +
              std::to_string(fps) + R"(}}}})",
          R"({"$await":"start","match":false,"timeout_ms":10000})",
          R"({"$sleep":)" + std::to_string(record_ms) + "}", R"({"type":"stop","data":{}})",
          R"({"$await":"stop","match":false,"timeout_ms":20000})"};
}

std::vector<int64_t> PictureTimes(const FileInfo& info) {
  std::vector<int64_t> times;
  const StreamInfo* video = info.Find(AVMEDIA_TYPE_VIDEO);
  if (!video) return times;
  for (int64_t pts : video->packet_pts) {
    times.push_back(av_rescale_q(pts, video->time_base, AVRational{1, 1000}));
  }
  return times;
}

int Count(const std::string& text, const std::string& line) {
  int count = 0;
  for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) {
    ++count;
  }
  return count;
}

// A 3 fps track; every 4th picture the encoder stalls for 900 ms, nearly
// three frame intervals, which the stage's queue of four (1.3 s) absorbs.
// Had the loop waited for the encoder, the track (two buffers) would lose
// about two frames at every stall, six or more in all; handed over, every
// frame of the track reaches the file. The margins are wide for a loaded
// machine: the loop has two frame intervals (667 ms) to copy a picture out
// before the track runs out of buffers, and a host must be late by a whole
// interval to skip a frame of its own (two are allowed). Without audio, so
// that no picture waits in the graph for sound.
TEST(RecordingEncoderDelayTest, AStalledEncoderCostsNoFrameOfTheTrack) {
  TempDir vpx_dir, default_dir;
  std::future<RecordingRun> vpx_run, default_run;
  {
    ScopedEncodeDelay delay(900, 4);
    vpx_run = std::async(std::launch::async,
                         [&] { return RunRecording(vpx_dir.path(), Script("libvpx", 3, 9000)); });
    default_run = std::async(std::launch::async,
                             [&] { return RunRecording(default_dir.path(), Script("", 3, 9000)); });
    vpx_run.wait();
    default_run.wait();
  }
  for (std::future<RecordingRun>* future : {&vpx_run, &default_run}) {
    RecordingRun run = future->get();
    ASSERT_EQ(0, run.program.exit_code) << run.Describe();
    EXPECT_TRUE(run.Errors().empty()) << run.Describe();
    EXPECT_EQ(std::vector<std::string>{"false"}, run.Replies("stop"));
    // The stalls happened.
    EXPECT_GE(Count(run.Tty(), "encoding stage delayed 900 ms\n"), 4) << run.Describe();
    // None of the track's frames was dropped ahead of a full queue.
    EXPECT_FALSE(run.HasTty(" pictures dropped while the encoder was behind\n")) << run.Describe();
    FileInfo info = DecodeFile(run.File("d.webm"));
    const StreamInfo* video = info.Find(AVMEDIA_TYPE_VIDEO);
    ASSERT_TRUE(video) << run.Describe();
    EXPECT_EQ(0, video->decode_errors);
    // The frames of the track, 333 ms apart, up to the stop.
    std::vector<int64_t> times = PictureTimes(info);
    ASSERT_GE(times.size(), 20u) << run.Describe();
    int64_t lost = 0;
    for (size_t i = 1; i < times.size(); ++i) lost += (times[i] - times[i - 1] - 167) / 333;
    EXPECT_LE(lost, 2) << run.Describe();
  }
}

// An encoder that always takes 200 ms a picture keeps five of the track's
// thirty frames a second: the rest is dropped ahead of the full queue, and
// "fps" reports the rate kept, not the track's.
TEST(RecordingEncoderDelayTest, AnEncoderThatCannotKeepUpLosesOnlyWhatItsQueueCannotHold) {
  TempDir dir;
  RecordingRun run;
  {
    ScopedEncodeDelay delay(200, 1);
    run = RunRecording(dir.path(), Script("libvpx", 30, 4000));
  }
  ASSERT_EQ(0, run.program.exit_code) << run.Describe();
  EXPECT_TRUE(run.Errors().empty()) << run.Describe();
  EXPECT_EQ(std::vector<std::string>{"false"}, run.Replies("stop"));
  FileInfo info = DecodeFile(run.File("d.webm"));
  std::vector<int64_t> times = PictureTimes(info);
  ASSERT_GE(times.size(), 4u) << run.Describe();
  const double seconds = (times.back() - times.front()) / 1000.0;
  ASSERT_GT(seconds, 2.0);
  // At most one picture per 200 ms, plus the queue's four.
  EXPECT_LE(times.size(), seconds * 5 + 6) << run.Describe();
  // Most frames were dropped, ahead of the queue: said at the close.
  EXPECT_TRUE(run.HasTty(" pictures dropped while the encoder was behind\n")) << run.Describe();
  // "fps" while recording counts the pictures that went to the encoder.
  double last_fps = -1;
  for (const Json::Value& state : run.OfType("state")) {
    if (state["data"]["state"].asString() == "recording" && state["data"]["fps"].asDouble() > 0) {
      last_fps = state["data"]["fps"].asDouble();
    }
  }
  EXPECT_GT(last_fps, 0) << run.Describe();
  EXPECT_LT(last_fps, 12) << run.Describe();
}

}  // namespace
}  // namespace kelmora
