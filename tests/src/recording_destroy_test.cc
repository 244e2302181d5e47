// Destroying an instance that records a large picture: the pictures still
// queued for the encoder are dropped (the page is gone, and the browser's
// main thread is held until the destruction ends), the picture being
// encoded is finished, and the file left decodes. The encoder is slowed on
// purpose by the encoding stage's delay hook (3 s a picture), so that the
// queue is full when the destruction comes, whatever the machine's speed.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <future>
#include <string>
#include <vector>

#include "recording_script_support.h"

namespace kelmora {
namespace {

constexpr char kDelayLine[] = "encoding stage delayed 3000 ms\n";

std::string Start(const std::string& codec, int width, int height) {
  return R"({"type":"start","data":{"chromeVersion":60,"filename":"/html5_persistent/d.webm",)" +
         (codec.empty() ? std::string() : R"("codec":")" + codec + R"(",)") +
         R"("videoTrack":{"$video":{"source":"pattern","width":)" + std::to_string(width) +
         R"(,"height":)" + std::to_string(height) +
         R"(}},"audioTrack":{"$audio":{"source":"tone"}}}})";
}

// Destroyed half-way through the second delayed picture, when the frame
// loop has had seconds to fill the queue (four pictures) again.
std::vector<std::string> MidRecording(const std::string& codec, int width, int height) {
  const std::string delayed =
      R"({"$await":"tty","match":"encoding stage delayed 3000 ms\n","timeout_ms":60000})";
  return {Start(codec, width, height), R"({"$await":"start","match":false,"timeout_ms":60000})",
          delayed, delayed, R"({"$sleep":1500})", R"({"$destroy":true})"};
}

int Count(const std::string& text, const std::string& line) {
  int count = 0;
  for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) {
    ++count;
  }
  return count;
}

// Pictures the encoding thread began before the destruction (each said so
// before its delay); at most one more may have begun between the
// destruction and the discard. Draining the queue would have added four.
void ExpectQueueDiscarded(const RecordingRun& run, bool encodes_in_flight) {
  ASSERT_EQ(0, run.program.exit_code) << run.Describe();
  const int begun = Count(run.Tty(), kDelayLine);
  ASSERT_GE(begun, 2) << run.Describe();
  FileInfo info = DecodeFile(run.File("d.webm"));
  ASSERT_TRUE(info.opened) << run.Describe();
  const StreamInfo* video = info.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_TRUE(video && info.Find(AVMEDIA_TYPE_AUDIO)) << run.Describe();
  EXPECT_EQ(0, video->decode_errors);
  EXPECT_LE(video->decoded_frames, begun + 1);
  // The module's own encoder finishes the picture in flight; the browser's
  // cannot (its steps need the main thread that the destruction holds).
  EXPECT_GE(video->decoded_frames, encodes_in_flight ? begun : 1);
}

TEST(RecordingDestroyTest, DestructionDropsTheQueuedPicturesOfALargeRecording) {
  TempDir vpx_dir, default_dir;
  std::future<RecordingRun> vpx_run, default_run;
  {
    ScopedEncodeDelay delay(3000, 1);
    vpx_run = std::async(std::launch::async, [&] {
      return RunRecording(vpx_dir.path(), MidRecording("libvpx", 4096, 4096));
    });
    // The largest picture the browser's encoder takes.
    default_run = std::async(std::launch::async, [&] {
      return RunRecording(default_dir.path(), MidRecording("", 4096, 2176));
    });
    vpx_run.wait();
    default_run.wait();
  }
  RecordingRun vpx = vpx_run.get();
  RecordingRun browser = default_run.get();
  EXPECT_TRUE(browser.HasTty("ppVideoEncoder: started")) << browser.Describe();
  ExpectQueueDiscarded(vpx, true);
  ExpectQueueDiscarded(browser, false);
}

// The destruction comes while the encoder for the picture opens (which
// takes seconds for 4096x4096): the module's own encoder still encodes the
// picture that began the set-up, since a file without one would not
// decode, and nothing after it. The browser's encoder cannot encode during
// the destruction: no file is left then, rather than one without pictures.
TEST(RecordingDestroyTest, DestructionDuringTheSetUpLeavesADecodableFileOrNone) {
  TempDir vpx_dir, default_dir;
  auto set_up = [](const std::string& codec, int width, int height) {
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    return std::vector<std::string>{
        Start("", width, height),
        R"({"$await":"tty","match":"simpleVideoWriter: using default codec )" + codec +
            " for " + size + R"(\n","timeout_ms":60000})",
        R"({"$destroy":true})"};
  };
  std::future<RecordingRun> vpx_run, default_run;
  {
    ScopedEncodeDelay delay(3000, 1);
    vpx_run = std::async(std::launch::async, [&] {
      return RunRecording(vpx_dir.path(), set_up("libvpx", 4096, 4096));
    });
    default_run = std::async(std::launch::async, [&] {
      return RunRecording(default_dir.path(), set_up("ppenc", 4096, 2176));
    });
    vpx_run.wait();
    default_run.wait();
  }
  RecordingRun vpx = vpx_run.get();
  ASSERT_EQ(0, vpx.program.exit_code) << vpx.Describe();
  FileInfo info = DecodeFile(vpx.File("d.webm"));
  ASSERT_TRUE(info.opened) << vpx.Describe();
  const StreamInfo* video = info.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_TRUE(video) << vpx.Describe();
  EXPECT_EQ(0, video->decode_errors);
  EXPECT_EQ(1, video->decoded_frames);

  RecordingRun browser = default_run.get();
  ASSERT_EQ(0, browser.program.exit_code) << browser.Describe();
  struct stat file;
  if (stat(browser.File("d.webm").c_str(), &file) == 0) {
    FileInfo left = DecodeFile(browser.File("d.webm"));
    ASSERT_TRUE(left.opened) << browser.Describe();
    const StreamInfo* picture = left.Find(AVMEDIA_TYPE_VIDEO);
    ASSERT_TRUE(picture) << browser.Describe();
    EXPECT_EQ(0, picture->decode_errors);
    EXPECT_GE(picture->decoded_frames, 1);
  }
}

// The browser starts its encoder away from the page's main thread, so a
// destruction that comes while a slow one starts (a minute, on purpose)
// runs at once: the set-up fails before any picture, the start is given
// up, and no file is left. Were the start on the main thread, the
// destruction would come only after it: the encoder would have started
// and encoded the picture.
TEST(RecordingDestroyTest, DestructionDoesNotWaitForTheBrowserEncoderToStart) {
  TempDir dir;
  RecordingRun run;
  {
    ScopedBrowserEncoderStartDelay delay(60000);
    run = RunRecording(
        dir.path(),
        {Start("", 4096, 2176),
         R"({"$await":"tty","match":"simpleVideoWriter: using default codec ppenc for 4096x2176\n","timeout_ms":60000})",
         R"({"$destroy":true})"});
  }
  ASSERT_EQ(0, run.program.exit_code) << run.Describe();
  EXPECT_FALSE(run.HasTty("ppVideoEncoder: started")) << run.Describe();
  EXPECT_TRUE(run.HasConsole("recorder_setup_error")) << run.Describe();
  struct stat file;
  EXPECT_NE(0, stat(run.File("d.webm").c_str(), &file));
}

}  // namespace
}  // namespace kelmora
