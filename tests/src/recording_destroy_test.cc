// The destruction of a recording instance waits for no work it can skip:
// what the worker had queued when the page went (frames, the status tick's
// repeats) is not encoded any more, only the file is finished.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "recording_script_support.h"

namespace kelmora {
namespace {

TEST(RecordingDestroyTest, WorkQueuedAtTheDestructionOfALargePictureIsNotEncoded) {
  TempDir dir;
  // A 4096x4096 picture takes long to encode: the worker is busy in one
  // encode, and the next status tick waits behind it. With the main track
  // silent every picture comes from those ticks (a repeat of the last frame
  // at the tick's time), so a tick that ran after the destruction began
  // would leave a picture later than the last time the page was told.
  RecordingRun run = RunRecording(
      dir.path(),
      {R"({"type":"start","data":{"chromeVersion":60,"codec":"libvpx",)"
       R"("filename":"/html5_persistent/d.webm","videoTrack":{"$video":)"
       R"({"id":"screen","source":"pattern","width":4096,"height":4096,"fps":30}}}})",
       R"({"$await":"start","match":false,"timeout_ms":300000})",
       R"({"$track":"screen","silent":true})", R"({"$sleep":3500})", R"({"$destroy":true})"},
      {}, 600000);
  ASSERT_EQ(0, run.program.exit_code) << run.Describe();
  EXPECT_TRUE(run.OfType("stack_trace").empty());
  std::vector<Json::Value> states = run.OfType("state");
  ASSERT_FALSE(states.empty());
  const double last_time_ms = states.back()["data"]["time"].asDouble() * 1000.0;

  FileInfo info = DecodeFile(run.File("d.webm"));
  ASSERT_TRUE(info.opened) << run.Describe();
  const StreamInfo* video = info.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_TRUE(video);
  EXPECT_EQ(0, video->decode_errors);
  ASSERT_GT(video->decoded_frames, 0);
  ASSERT_FALSE(video->packet_pts.empty());
  int64_t last_pts = 0;
  for (int64_t pts : video->packet_pts) {
    last_pts = std::max(last_pts, av_rescale_q(pts, video->time_base, AVRational{1, 1000}));
  }
  // The picture of the tick that was running is the last one: at most a
  // few ms after that tick's report, and well before the next tick's
  // (500 ms on).
  EXPECT_LE(last_pts, last_time_ms + 250) << run.Describe();
}

}  // namespace
}  // namespace kelmora
