// A/V sync of a whole recording, measured on the file: the "sync" sources
// flash the picture white and beep at 1 kHz on every whole second of the
// shared clock, so every flash and its beep must land together in the
// file whatever the recording did in between. A flash lasts three frames:
// a busy machine drops frames (the track does when the recorder falls
// behind), and a flash of one frame would then be lost.

#include <gtest/gtest.h>
#include <Magick++.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <utility>

#include "recording_cut_support.h"
#include "recording_script_support.h"
#include "utils.h"

namespace kelmora {
namespace {

std::string WriteLogo(const std::string& dir) {
  InitializeMagickOnce();
  Magick::Image logo(Magick::Geometry(40, 20), Magick::Color("red"));
  std::string path = dir + "/persistent/logo.png";
  logo.write(path);
  return path;
}

TEST(RecordingSyncTest, PlainRecordingKeepsEveryFlashOnItsBeep) {
  struct Case {
    std::string codec;  // empty: the default, the browser's encoder
    int width;
    int height;
  };
  const Case cases[] = {{"", 640, 360}, {"libvpx", 640, 360}, {"", 320, 180}, {"libvpx", 320, 180}};
  for (const Case& c : cases) {
    const std::string size = std::to_string(c.width) + "x" + std::to_string(c.height);
    SCOPED_TRACE((c.codec.empty() ? "default encoder " : c.codec + " ") + size);
    TempDir dir;
    const std::string codec = c.codec.empty() ? "" : R"("codec":")" + c.codec + R"(",)";
    RecordingRun run = RunRecording(
        dir.path(),
        {R"({"type":"start","data":{"chromeVersion":60,)" + codec +
             R"("filename":"/html5_persistent/plain.webm","videoTrack":{"$video":{"source":"sync","width":)" +
             std::to_string(c.width) + R"(,"height":)" + std::to_string(c.height) +
             R"(,"fps":30,"flash_frames":3}},)"
             R"("audioTrack":{"$audio":{"source":"sync","rate":48000,"channels":2}}}})",
         R"({"$await":"start","timeout_ms":10000})", R"({"$sleep":7000})",
         R"({"type":"stop","data":{}})", R"({"$await":"stop","timeout_ms":10000})"});
    ASSERT_EQ(0, run.program.exit_code) << run.Describe();
    EXPECT_TRUE(run.Errors().empty()) << run.Describe();
    if (c.codec.empty()) {
      EXPECT_TRUE(run.HasTty("simpleVideoWriter: using default codec ppenc for " + size + "\n"));
    }
    SyncMarks marks;
    ASSERT_NO_FATAL_FAILURE(ReadSyncFile(run, "plain.webm", &marks));
    const SyncReport report = CheckFlashesAndBeeps(marks, {}, {});
    SCOPED_TRACE(report.description + "\n" + run.Tty());

    // A second's flash and beep start together. Where the machine dropped
    // the flash's first frames, the later one that came tells where the
    // first would have been.
    // A loaded machine's source skips sound that is late; the pump fills
    // that gap with silence and says where, and a beep there is gone.
    const Stretches gaps = SoundGaps(run, 0);
    ASSERT_GE(marks.flashes.size(), 2u);
    for (size_t i = 0; i < marks.flashes.size(); ++i) {
      const int64_t second = marks.SecondOfFlash(i);
      // A file that starts inside a flash holds none of its beep.
      if (second < 0) continue;
      if (InStretch(gaps, second, 2 * kFrameMs, 2 * kFrameMs)) continue;
      EXPECT_LE(std::llabs(marks.NearestBeep(second) - second), 5)
          << "flash at " << marks.flashes[i] << " ms, frame " << marks.flash_frames[i];
    }
    // The sound goes on to the stop's cut, so a flash just before it keeps
    // its beep.
    ExpectBothEndAt(marks, FileCuts(run, 0).back());
  }
}

TEST(RecordingSyncTest, FlashesAndBeepsStayTogetherThroughPausesAndReplacedTracks) {
  TempDir dir;
  mkdir((dir.path() + "/persistent").c_str(), 0755);
  WriteLogo(dir.path());
  const std::string sync_video = R"({"$video":{"source":"sync","width":200,"height":150,"fps":30,"flash_frames":3}})";
  RecordingRun run = RunRecording(
      dir.path(),
      {R"({"type":"start","data":{"chromeVersion":60,"codec":"libvpx","filename":"/html5_persistent/sync.webm",)"
       R"("startDelay":2,"crop":{"top":10,"left":20,"width":160,"height":120},"camPosition":"topLeft",)"
       R"("brandingFilename":"/html5_persistent/logo.png","videoTrack":)" + sync_video + ","
       R"("camTrack":{"$video":{"source":"pattern","width":80,"height":60,"fps":30}},)"
       R"("audioTrack":{"$audio":{"source":"sync","rate":48000,"channels":2}},)"
       R"("audioTrack2":{"$audio":{"source":"sync","rate":48000,"channels":1}},"micVolume":0.5}})",
       R"({"$await":"start","timeout_ms":10000})",
       R"({"$sleep":3300})",
       R"({"type":"pause","data":{}})",
       R"({"$await":"pause"})",
       R"({"$sleep":700})",
       R"({"type":"resume","data":{}})",
       R"({"$sleep":1300})",
       R"({"type":"replaceTracks","data":{"videoTrack":)" + sync_video + R"(,)"
       R"("audioTrack":{"$audio":{"source":"sync","rate":44100,"channels":1}}}})",
       R"({"$await":"replaceTracks"})",
       R"({"$sleep":1200})",
       R"({"type":"pause","data":{}})",
       R"({"$await":"pause"})",
       R"({"type":"replaceTracks","data":{"videoTrack":)" + sync_video + R"(,)"
       R"("audioTrack":{"$audio":{"source":"sync","rate":48000,"channels":2}}}})",
       R"({"$await":"replaceTracks"})",
       R"({"$sleep":400})",
       R"({"type":"resume","data":{}})",
       R"({"$sleep":2500})",
       R"({"type":"stop","data":{}})",
       R"({"$await":"stop","timeout_ms":10000})"});
  ASSERT_EQ(0, run.program.exit_code) << run.Describe();
  EXPECT_TRUE(run.Errors().empty()) << run.Describe();
  EXPECT_EQ((std::vector<std::string>{"false", "false"}), run.Replies("replaceTracks"));
  // The first replacement's sound, of another format, is kept, converted.
  EXPECT_TRUE(run.HasTty("converting 1 channels at 44100 Hz to 2 channels at 48000 Hz\n"));
  // The main track runs at 30 fps throughout, resumes included: the
  // camera never has to stand in for it (which takes a second without a
  // main picture).
  EXPECT_FALSE(run.HasTty("enabling cam trigger mode\n")) << run.Describe();

  SyncMarks marks;
  ASSERT_NO_FATAL_FAILURE(ReadSyncFile(run, "sync.webm", &marks));
  const StreamInfo* video = marks.info.Find(AVMEDIA_TYPE_VIDEO);
  EXPECT_EQ(160, video->width);
  EXPECT_EQ(120, video->height);

  // About 7.8 s were kept: one flash a second.
  ASSERT_GE(marks.flashes.size(), 3u) << run.Describe();
  // The cuts, in the file's time (the start delay is cut from the front,
  // the file's start being the first). A replaced first audio track is
  // configured at the cut that brings it in, and sound before that
  // configuration is never delivered: it is silent from the cut up to its
  // first buffer, which the pump places at the recording time it names
  // (later on a busy machine).
  const std::vector<int64_t> cuts = FileCuts(run, 2000);
  const SyncReport report = CheckFlashesAndBeeps(marks, cuts, ReplacedTrackSilences(run, cuts, 2000));
  SCOPED_TRACE(report.description + "\n" + run.Tty());
  EXPECT_TRUE(report.failures.empty()) << ::testing::PrintToString(report.failures);
  EXPECT_EQ(0, report.without_sound);
  // A loaded machine delivers a replaced track's first sound late, and the
  // flashes in its silence are not compared.
  EXPECT_GE(report.compared, 2);
  // Both end at the stop's cut. The picture may end before it by the
  // frames the track dropped just before the cut.
  ExpectBothEndAt(marks, cuts.back());
}

}  // namespace
}  // namespace kelmora
