#include "video_recorder.h"

#include <gtest/gtest.h>

#include <string>

namespace kelmora {
namespace {

// Builds the text and checks the line it prints.
std::string Graph(VideoRecorder& recorder) {
  testing::internal::CaptureStdout();
  std::string text = recorder.BuildRecordingGraph();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "using encoder graph: " + text + "\n");
  return text;
}

TEST(CamPositionFromStringTest, OnlyExactNamesPickACorner) {
  EXPECT_EQ(VideoRecorder::CamPositionFromString("topRight"), 3);
  EXPECT_EQ(VideoRecorder::CamPositionFromString("topLeft"), 2);
  EXPECT_EQ(VideoRecorder::CamPositionFromString("bottomLeft"), 1);
  EXPECT_EQ(VideoRecorder::CamPositionFromString("bottomRight"), 0);
  EXPECT_EQ(VideoRecorder::CamPositionFromString("topright"), 0);
  EXPECT_EQ(VideoRecorder::CamPositionFromString("top-right"), 0);
  EXPECT_EQ(VideoRecorder::CamPositionFromString("topRight "), 0);
  EXPECT_EQ(VideoRecorder::CamPositionFromString(""), 0);
}

TEST(RecordingGraphTest, MainTrackOnly) {
  VideoRecorder recorder;
  recorder.main_size_ = Size{1280, 720};
  EXPECT_EQ(Graph(recorder), "[in_writer]null[main]");
}

TEST(RecordingGraphTest, OddMainSizeIsCroppedEven) {
  VideoRecorder recorder;
  recorder.main_size_ = Size{1366, 767};
  EXPECT_EQ(Graph(recorder), "[in_writer]crop=h=766:w=1366:x=0:y=0[main]");
  recorder.main_size_ = Size{641, 360};
  EXPECT_EQ(Graph(recorder), "[in_writer]crop=h=360:w=640:x=0:y=0[main]");
  // The original size only matters for a crop.
  recorder.main_size_ = Size{321, 241};
  recorder.original_main_size_ = Size{640, 480};
  EXPECT_EQ(Graph(recorder), "[in_writer]crop=h=240:w=320:x=0:y=0[main]");
}

TEST(RecordingGraphTest, CameraAndFirstAudio) {
  VideoRecorder recorder;
  recorder.main_size_ = Size{1280, 720};
  recorder.cam_enabled_ = true;
  recorder.audio_enabled_ = true;
  EXPECT_EQ(Graph(recorder),
            "[in_writer]null[main],[main][cam_writer]overlay=x=main_w-overlay_w:"
            "y=main_h-overlay_h[out];[in_writer_a]anull");
}

TEST(RecordingGraphTest, SecondAudioOnly) {
  VideoRecorder recorder;
  recorder.main_size_ = Size{1280, 720};
  recorder.audio2_enabled_ = true;
  EXPECT_EQ(Graph(recorder), "[in_writer]null[main];[audio2]anull");
  // A gain applies to the second track alone, too.
  recorder.audio2_gain_ = 2.0f;
  EXPECT_EQ(Graph(recorder),
            "[in_writer]null[main];[audio2]volume=volume=2.000[audio2_gainout];"
            "[audio2_gainout]anull");
}

TEST(RecordingGraphTest, EverythingTogether) {
  VideoRecorder recorder;
  recorder.crop_ = Rect{50, 100, 1280, 720};
  recorder.original_main_size_ = Size{1920, 1080};
  recorder.main_size_ = Size{2880, 1620};
  recorder.cam_enabled_ = true;
  recorder.cam_position_ = VideoRecorder::CamPositionFromString("topLeft");
  recorder.branding_filename_ = "/html5_persistent/logo.png";
  recorder.start_delay_ = 2000;
  recorder.audio_enabled_ = true;
  recorder.audio2_enabled_ = true;
  recorder.audio2_gain_ = 0.5f;
  EXPECT_EQ(Graph(recorder),
            "[in_writer]scale=h=1080:w=1920,crop=h=720:w=1280:x=100:y=50[main],"
            "[main][cam_writer]overlay=x=0:y=0[out];"
            "[out][brand]overlay=x=main_w-overlay_w:y=0[bout];"
            "[bout]trim=start=2.000,setpts=expr=PTS-2.000/TB[tout];"
            "[audio2]volume=volume=0.500[audio2_gainout];"
            "[in_writer_a][audio2_gainout]amix,atrim=start=2.000,"
            "asetpts=expr=PTS-2.000/TB");
}

TEST(RecordingGraphTest, CropWithoutScaleWhenSizesAgree) {
  VideoRecorder recorder;
  recorder.main_size_ = Size{1920, 1080};
  recorder.crop_ = Rect{10, 20, 640, 360};
  EXPECT_EQ(Graph(recorder), "[in_writer]crop=h=360:w=640:x=20:y=10[main]");
  recorder.original_main_size_ = Size{1920, 1080};
  EXPECT_EQ(Graph(recorder), "[in_writer]crop=h=360:w=640:x=20:y=10[main]");
  // One side differing is enough for the scale.
  recorder.original_main_size_ = Size{1920, 1200};
  EXPECT_EQ(Graph(recorder),
            "[in_writer]scale=h=1200:w=1920,crop=h=360:w=640:x=20:y=10[main]");
}

TEST(RecordingGraphTest, CameraCorners) {
  const char* corners[] = {
      "x=main_w-overlay_w:y=main_h-overlay_h", "x=0:y=main_h-overlay_h",
      "x=0:y=0", "x=main_w-overlay_w:y=0"};
  for (int position = 0; position < 4; ++position) {
    VideoRecorder recorder;
    recorder.main_size_ = Size{640, 480};
    recorder.cam_enabled_ = true;
    recorder.cam_position_ = position;
    EXPECT_EQ(Graph(recorder), std::string("[in_writer]null[main],[main]"
                                           "[cam_writer]overlay=") +
                                   corners[position] + "[out]");
  }
}

TEST(RecordingGraphTest, BrandingReadsTheCurrentLabel) {
  VideoRecorder recorder;
  recorder.main_size_ = Size{640, 480};
  recorder.branding_filename_ = "logo.png";
  EXPECT_EQ(Graph(recorder),
            "[in_writer]null[main];[main][brand]overlay=x=main_w-overlay_w:y=0"
            "[bout]");
  recorder.cam_enabled_ = true;
  recorder.cam_position_ = 3;
  EXPECT_EQ(Graph(recorder),
            "[in_writer]null[main],[main][cam_writer]overlay=x=main_w-overlay_w:"
            "y=0[out];[out][brand]overlay=x=main_w-overlay_w:y=0[bout]");
}

TEST(RecordingGraphTest, StartDelayTrimsBothSidesOrVideoAlone) {
  VideoRecorder recorder;
  recorder.main_size_ = Size{640, 480};
  recorder.start_delay_ = 1500;
  EXPECT_EQ(Graph(recorder),
            "[in_writer]null[main];[main]trim=start=1.500,"
            "setpts=expr=PTS-1.500/TB[tout]");
  recorder.audio_enabled_ = true;
  EXPECT_EQ(Graph(recorder),
            "[in_writer]null[main];[main]trim=start=1.500,"
            "setpts=expr=PTS-1.500/TB[tout];[in_writer_a]atrim=start=1.500,"
            "asetpts=expr=PTS-1.500/TB");
  recorder.cam_enabled_ = true;
  recorder.start_delay_ = 250;
  EXPECT_EQ(Graph(recorder),
            "[in_writer]null[main],[main][cam_writer]overlay=x=main_w-overlay_w:"
            "y=main_h-overlay_h[out];[out]trim=start=0.250,"
            "setpts=expr=PTS-0.250/TB[tout];[in_writer_a]atrim=start=0.250,"
            "asetpts=expr=PTS-0.250/TB");
}

TEST(RecordingGraphTest, GainOnlyForAPresentSecondTrackOtherThanOne) {
  VideoRecorder recorder;
  recorder.main_size_ = Size{640, 480};
  recorder.audio_enabled_ = true;
  recorder.audio2_gain_ = 0.25f;  // no second track: ignored
  EXPECT_EQ(Graph(recorder), "[in_writer]null[main];[in_writer_a]anull");
  recorder.audio2_enabled_ = true;
  recorder.audio2_gain_ = 1.0f;
  EXPECT_EQ(Graph(recorder),
            "[in_writer]null[main];[in_writer_a][audio2]amix,anull");
  recorder.audio2_gain_ = 0.9999f;  // not exactly 1: kept
  EXPECT_EQ(Graph(recorder),
            "[in_writer]null[main];[audio2]volume=volume=1.000[audio2_gainout];"
            "[in_writer_a][audio2_gainout]amix,anull");
}

}  // namespace
}  // namespace kelmora
