#include "video_metadata.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

extern "C" {
#include <libavutil/error.h>
}

#include "edit_test_media.h"
#include "local_listener.h"
#include "media_test_support.h"
#include "utils.h"

namespace kelmora {
namespace {

using edit_test::TestMediaSpec;
using edit_test::WriteTestMedia;
using testing_support::TempDir;

boost::optional<VideoMetadata> ReadQuietly(const std::string& path,
                                           std::string* error_output) {
  testing::internal::CaptureStderr();
  boost::optional<VideoMetadata> metadata = ReadVideoMetadata(path);
  *error_output = testing::internal::GetCapturedStderr();
  return metadata;
}

TEST(ReadVideoMetadataTest, VideoAndAudioStreams) {
  TempDir dir;
  const std::string path = dir.File("in.mkv");
  TestMediaSpec spec;
  spec.videos = {{1280, 720}};
  spec.audio = true;
  spec.frame_count = 50;  // 2 s at 25 frames per second
  ASSERT_EQ(WriteTestMedia(path, spec), "");

  std::string errors;
  boost::optional<VideoMetadata> metadata = ReadQuietly(path, &errors);
  ASSERT_TRUE(metadata);
  EXPECT_EQ(errors, "");
  EXPECT_EQ(metadata->video_streams, 1);
  EXPECT_EQ(metadata->audio_streams, 1);
  EXPECT_EQ(metadata->width, 1280);
  EXPECT_EQ(metadata->height, 720);
  // 2 s of video; the audio ends within one 1024-sample frame after it.
  EXPECT_GE(metadata->duration_ms, 2000);
  EXPECT_LE(metadata->duration_ms, 2022);
}

TEST(ReadVideoMetadataTest, LastVideoStreamGivesTheSize) {
  TempDir dir;
  const std::string path = dir.File("two.mkv");
  TestMediaSpec spec;
  spec.videos = {{640, 480}, {1920, 1080}};
  spec.frame_count = 3;
  ASSERT_EQ(WriteTestMedia(path, spec), "");

  std::string errors;
  boost::optional<VideoMetadata> metadata = ReadQuietly(path, &errors);
  ASSERT_TRUE(metadata);
  EXPECT_EQ(metadata->video_streams, 2);
  EXPECT_EQ(metadata->audio_streams, 0);
  EXPECT_EQ(metadata->width, 1920);
  EXPECT_EQ(metadata->height, 1080);
  EXPECT_EQ(metadata->duration_ms, 120);
}

TEST(ReadVideoMetadataTest, AudioOnlyHasNoSize) {
  TempDir dir;
  const std::string path = dir.File("sound.mka");
  TestMediaSpec spec;
  spec.audio = true;
  ASSERT_EQ(WriteTestMedia(path, spec), "");

  std::string errors;
  boost::optional<VideoMetadata> metadata = ReadQuietly(path, &errors);
  ASSERT_TRUE(metadata);
  EXPECT_EQ(metadata->video_streams, 0);
  EXPECT_EQ(metadata->audio_streams, 1);
  EXPECT_EQ(metadata->width, 0);
  EXPECT_EQ(metadata->height, 0);
  EXPECT_GE(metadata->duration_ms, 1000);
}

TEST(ReadVideoMetadataTest, MissingFileGivesNothingAndOneLine) {
  TempDir dir;
  std::string errors;
  EXPECT_FALSE(ReadQuietly(dir.File("absent.webm"), &errors));
  EXPECT_EQ(errors, "Failed to read metadata : " +
                        AvErrorString(AVERROR(ENOENT)) + " (" +
                        std::to_string(AVERROR(ENOENT)) + ")\n");
}

TEST(ReadVideoMetadataTest, FileThatIsNotMediaGivesNothing) {
  TempDir dir;
  const std::string text_path = dir.File("config.webm");
  {
    std::ofstream out(text_path);
    for (int i = 0; i < 200; ++i) {
      out << "{\"inFilename\": \"/html5_persistent/in.webm\"}\n";
    }
  }
  const std::string empty_path = dir.File("empty.mp4");
  std::ofstream(empty_path).close();

  for (const std::string& path : {text_path, empty_path}) {
    std::string errors;
    EXPECT_FALSE(ReadQuietly(path, &errors)) << path;
    // The library may explain itself first; our line comes last.
    const size_t line = errors.rfind("Failed to read metadata : ");
    ASSERT_NE(line, std::string::npos) << errors;
    EXPECT_TRUE(line == 0 || errors[line - 1] == '\n') << errors;
    EXPECT_EQ(errors.find('\n', line), errors.size() - 1) << errors;
  }
}

// A playlist that names a segment on `address` over HTTP.
void WritePlaylist(const std::string& path, const std::string& address) {
  std::ofstream(path) << "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\n"
                      << "http://" << address << "/segment.ts\n"
                      << "#EXT-X-ENDLIST\n";
}

// The page names the input: whatever the name or the file says, only local
// files are read.
TEST(ReadVideoMetadataTest, PageNamesReachOnlyLocalFiles) {
  TempDir dir;
  testing_support::LocalListener listener;
  ASSERT_NE(listener.port(), 0);
  const std::string media = dir.File("in.mkv");
  TestMediaSpec spec;
  spec.videos = {{64, 48}};
  spec.frame_count = 2;
  ASSERT_EQ(WriteTestMedia(media, spec), "");
  const std::string playlist = dir.File("list.m3u8");
  WritePlaylist(playlist, listener.Address());

  for (const std::string& name :
       {"tcp://" + listener.Address(), "http://" + listener.Address() + "/in.mkv",
        "concat:" + media + "|" + media, "subfile,,start,0,end,0,,:" + media,
        playlist}) {
    SCOPED_TRACE(name);
    std::string errors;
    boost::optional<VideoMetadata> metadata = ReadQuietly(name, &errors);
    EXPECT_TRUE(!metadata || metadata->video_streams == 0) << errors;
  }
  EXPECT_EQ(listener.Stop(), 0);

  // Plain paths still work, also with a ':' in a directory's name, and so
  // does the explicit file prefix.
  const std::string colon_dir = dir.File("a:b");
  std::filesystem::create_directory(colon_dir);
  const std::string colon_media = colon_dir + "/in.mkv";
  ASSERT_EQ(WriteTestMedia(colon_media, spec), "");
  for (const std::string& name : {colon_media, "file:" + media}) {
    SCOPED_TRACE(name);
    std::string errors;
    boost::optional<VideoMetadata> metadata = ReadQuietly(name, &errors);
    ASSERT_TRUE(metadata) << errors;
    EXPECT_EQ(metadata->width, 64);
  }
}

// The header's microseconds become milliseconds cut toward zero.
TEST(ReadVideoMetadataTest, HeaderDurationIsCutToWholeMilliseconds) {
  TempDir dir;
  struct Case {
    int64_t duration_us;
    int64_t expected_ms;
  } cases[] = {{999999, 999}, {999, 0}, {1500, 1}};
  for (const Case& c : cases) {
    const std::string path =
        dir.File("d" + std::to_string(c.duration_us) + ".mp4");
    TestMediaSpec spec;
    spec.videos = {{64, 64}};
    spec.video_codec = "libx264";
    spec.frame_count = 1;
    spec.video_time_base = {1, 1000000};
    spec.frame_duration = c.duration_us;
    spec.muxer_options = "movie_timescale=1000000";
    ASSERT_EQ(WriteTestMedia(path, spec), "");

    std::string errors;
    boost::optional<VideoMetadata> metadata = ReadQuietly(path, &errors);
    ASSERT_TRUE(metadata);
    EXPECT_EQ(metadata->duration_ms, c.expected_ms) << c.duration_us;
  }
}

// A transport stream states no duration; the library's no-value mark passes
// through the division.
TEST(ReadVideoMetadataTest, ContainerWithoutDuration) {
  TempDir dir;
  const std::string path = dir.File("live.ts");
  TestMediaSpec spec;
  spec.videos = {{320, 240}};
  spec.video_codec = "mpeg4";
  spec.frame_count = 5;
  ASSERT_EQ(WriteTestMedia(path, spec), "");

  std::string errors;
  boost::optional<VideoMetadata> metadata = ReadQuietly(path, &errors);
  ASSERT_TRUE(metadata);
  // Found from the packets: five frames of 40 ms.
  EXPECT_EQ(metadata->duration_ms, 200);
  EXPECT_EQ(metadata->video_streams, 1);
}

}  // namespace
}  // namespace kelmora
