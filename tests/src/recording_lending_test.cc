// The recording instance hands the tracks' own buffers to the graph: the
// main track lends two frames only, so the graph and the frame loop must
// give them back in time, also with a camera whose overlay keeps the last
// main picture, across a resize, a replaced track, a stop and the
// destruction that follows it.

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include "recording_script_support.h"

namespace kelmora {
namespace {

// A "sync" source flashes for three frames: a busy machine drops frames,
// and a flash of one would then be lost.
std::string Video(const std::string& source, int width, int height) {
  return R"({"$video":{"source":")" + source + R"(","width":)" + std::to_string(width) +
         R"(,"height":)" + std::to_string(height) + R"(,"fps":30)" +
         (source == "sync" ? R"(,"flash_frames":3)" : "") + "}}";
}

std::string Start(const std::string& file, const std::string& main) {
  return R"({"type":"start","data":{"chromeVersion":60,"codec":"libvpx","filename":")" +
         file + R"(","videoTrack":)" + main + R"(,"camTrack":)" + Video("pattern", 80, 60) +
         "}}";
}

int CountPicturesBetween(const FileInfo& info, int64_t from_ms, int64_t to_ms) {
  const StreamInfo* video = info.Find(AVMEDIA_TYPE_VIDEO);
  if (!video) return 0;
  int count = 0;
  for (int64_t pts : video->packet_pts) {
    const int64_t ms = av_rescale_q(pts, video->time_base, AVRational{1, 1000});
    if (ms >= from_ms && ms < to_ms) ++count;
  }
  return count;
}

TEST(RecordingLendingTest, TwoMainBuffersKeepACameraRecordingAtFullRate) {
  TempDir flash_dir, resize_dir;
  // A flash a second on the main track; stopped, then the instance goes.
  auto flashes = std::async(std::launch::async, [&] {
    return RunRecording(
        flash_dir.path(),
        {Start("/html5_persistent/l.webm", Video("sync", 160, 120)),
         R"({"$await":"start","match":false,"timeout_ms":10000})", R"({"$sleep":4300})",
         R"({"type":"stop","data":{}})", R"({"$await":"stop","match":false,"timeout_ms":5000})",
         R"({"$destroy":true})"});
  });
  // Scaled main pictures (copies) with a camera, then a
  // replaced main track whose frames are lent again.
  auto resized = std::async(std::launch::async, [&] {
    return RunRecording(
        resize_dir.path(),
        {Start("/html5_persistent/r.webm",
               R"({"$video":{"id":"screen","source":"pattern","width":160,"height":120,"fps":30}})"),
         R"({"$await":"start","match":false,"timeout_ms":10000})", R"({"$sleep":800})",
         R"({"$track":"screen","width":320,"height":240})", R"({"$sleep":800})",
         R"({"type":"replaceTracks","data":{"videoTrack":)" + Video("pattern", 160, 120) + "}}",
         R"({"$await":"replaceTracks"})", R"({"$sleep":800})", R"({"type":"stop","data":{}})",
         R"({"$await":"stop","match":false,"timeout_ms":5000})"});
  });

  RecordingRun run = flashes.get();
  ASSERT_EQ(0, run.program.exit_code) << run.Describe();
  EXPECT_TRUE(run.Errors().empty()) << run.Describe();
  EXPECT_TRUE(run.HasTty("re-configureing cam to 48x36\n"));
  SyncMarks marks = FindSyncMarks(run.File("l.webm"));
  const StreamInfo* video = marks.info.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_TRUE(video) << run.Describe();
  EXPECT_EQ(0, video->decode_errors);
  // Past the encoder's start, the flashes of the source are in the file,
  // whole seconds apart, right after the picture before it. A loop stalled on
  // held buffers would pass main frames only when the camera's trigger
  // mode drains the graph, about one a second: most flashes would be lost
  // and the rest moved. (Frame counts would not show it: the camera then
  // repeats the held picture.)
  // Where a loaded machine dropped a flash's first frames, the frame of
  // the flash that came tells where its second began.
  std::vector<int64_t> late;
  for (size_t i = 0; i < marks.flashes.size(); ++i) {
    if (marks.flashes[i] < 1000) continue;
    late.push_back(marks.SecondOfFlash(i));
  }
  ASSERT_GE(late.size(), 2u) << run.Describe();
  EXPECT_LE(late.size(), 4u);
  for (size_t i = 1; i < late.size(); ++i) {
    const int64_t gap = late[i] - late[i - 1];
    EXPECT_NEAR(gap, (gap + 500) / 1000 * 1000, 100);
    EXPECT_GE(gap, 900);
  }

  RecordingRun other = resized.get();
  ASSERT_EQ(0, other.program.exit_code) << other.Describe();
  EXPECT_TRUE(other.Errors().empty()) << other.Describe();
  EXPECT_EQ(std::vector<std::string>{"false"}, other.Replies("replaceTracks"));
  FileInfo info = DecodeFile(other.File("r.webm"));
  const StreamInfo* picture = info.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_TRUE(picture) << other.Describe();
  EXPECT_EQ(160, picture->width);
  EXPECT_EQ(0, picture->decode_errors);
  // The loop goes on through the scaled pictures and the replaced track.
  EXPECT_GE(CountPicturesBetween(info, 0, 700), 3) << other.Describe();
  EXPECT_GE(CountPicturesBetween(info, 900, 1500), 3) << other.Describe();
  EXPECT_GE(CountPicturesBetween(info, info.duration_ms - 600, info.duration_ms), 3)
      << other.Describe();
}

}  // namespace
}  // namespace kelmora
