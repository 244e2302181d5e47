#include "gif_video_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <list>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "gif_file_writer.h"
#include "gif_test_scene.h"
#include "media_test_support.h"

namespace kelmora {
namespace {

using testing_scene::Delays;
using testing_scene::ExpectShows;
using testing_scene::MaxDistance;
using testing_scene::ScenePicture;
using testing_support::DecodeFile;
using testing_support::FileInfo;
using testing_support::StreamInfo;
using testing_support::TempPath;

// Odd width: the frame's rows carry padding that must not reach the GIF.
const int kWidth = 50;
const int kHeight = 36;

FramePtr SceneFrame(int index, int64_t pts,
                    AVPixelFormat format = AV_PIX_FMT_RGB24) {
  FramePtr frame(av_frame_alloc());
  frame->format = format;
  frame->width = kWidth;
  frame->height = kHeight;
  EXPECT_EQ(av_frame_get_buffer(frame.get(), 32), 0);
  if (format == AV_PIX_FMT_RGB24) {
    std::vector<uint8_t> rgb = ScenePicture(kWidth, kHeight, index);
    for (int y = 0; y < kHeight; ++y) {
      memcpy(frame->data[0] + y * frame->linesize[0], &rgb[y * kWidth * 3],
             kWidth * 3);
    }
  }
  frame->pts = pts;
  return frame;
}

class GifVideoWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = TempPath(std::string("gif_writer_") +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                     ".gif");
  }
  void TearDown() override { unlink(path_.c_str()); }

  // Sizes, prepares and opens the writer the way the filter graph does.
  void Start(GifVideoWriter* writer) {
    writer->SetVideoSize(kWidth, kHeight);
    writer->SetAudioSampleRate(0);
    ASSERT_EQ(writer->Init(), 0);
    ASSERT_EQ(writer->Open(), 0);
  }

  // Writes scene picture i at pts_ms[i] for every i and closes.
  void WriteAll(GifVideoWriter* writer, const std::vector<int64_t>& pts_ms) {
    Start(writer);
    for (size_t i = 0; i < pts_ms.size(); ++i) {
      ASSERT_EQ(writer->WriteVideoFrame(SceneFrame(i, pts_ms[i]).get()), 0);
    }
    ASSERT_EQ(writer->Close(), 0);
  }

  std::list<Magick::Image> ReadBack() {
    std::list<Magick::Image> frames;
    Magick::readImages(&frames, path_);
    return frames;
  }

  std::string path_;
};

TEST_F(GifVideoWriterTest, ThinsTo8PerSecondWithDelaysUntilNextKeptFrame) {
  GifVideoWriter writer(path_);
  EXPECT_EQ(writer.pixel_format(), AV_PIX_FMT_RGB24);
  EXPECT_FALSE(writer.IsAudioEnabled());
  // Every 40 ms from 0 to 360: 0 is kept, and 40 too because a last kept
  // pts of 0 reads as "nothing kept yet"; then 200 and 360. Each stays
  // until the next, the last as long as the one before it.
  std::vector<int64_t> pts;
  for (int64_t t = 0; t <= 360; t += 40) pts.push_back(t);
  WriteAll(&writer, pts);
  EXPECT_EQ(writer.VideoPosition(), 360);

  std::list<Magick::Image> frames = ReadBack();
  EXPECT_EQ(Delays(frames), (std::vector<size_t>{4, 16, 16, 16}));
  EXPECT_EQ(frames.front().page().width(), static_cast<size_t>(kWidth));
  EXPECT_EQ(frames.front().page().height(), static_cast<size_t>(kHeight));
  ExpectShows(frames, kWidth, kHeight, {0, 1, 5, 9});
}

TEST_F(GifVideoWriterTest, LateStartCarriesTheRoundingAcrossFrames) {
  GifVideoWriter writer(path_);
  std::vector<int64_t> pts;
  for (int k = 0; k <= 16; ++k) pts.push_back(1000 + 33 * k);
  WriteAll(&writer, pts);
  // Kept: 1000, 1132, 1264, 1396, 1528 (each the first at least 125 ms on).
  // 132 ms apart: 13.2 hundredths each, so every fifth frame gets one more
  // (the frame ending at 396 ms after the first is due at 40).
  EXPECT_EQ(writer.VideoPosition(), 1528);
  std::list<Magick::Image> frames = ReadBack();
  EXPECT_EQ(Delays(frames), (std::vector<size_t>{13, 13, 14, 13, 13}));
  ExpectShows(frames, kWidth, kHeight, {0, 4, 8, 12, 16});
}

// Decodes the GIF with the media library's own demuxer and decoder, as a
// player would, into packed RGB24 pictures.
std::vector<std::vector<uint8_t>> DecodeWithMediaLibrary(const std::string& path) {
  std::vector<std::vector<uint8_t>> pictures;
  auto to_rgb = [&](const StreamInfo& stream, const AVFrame* frame) {
    if (stream.type != AVMEDIA_TYPE_VIDEO) return;
    std::vector<uint8_t> rgb(frame->width * frame->height * 3);
    SwsContext* sws = sws_getContext(
        frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
        frame->width, frame->height, AV_PIX_FMT_RGB24, SWS_POINT, nullptr,
        nullptr, nullptr);
    uint8_t* dst[4] = {rgb.data()};
    int dst_stride[4] = {frame->width * 3};
    sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst,
              dst_stride);
    sws_freeContext(sws);
    pictures.push_back(rgb);
  };
  FileInfo info = DecodeFile(path, to_rgb);
  if (!info.opened) {
    ADD_FAILURE() << "cannot open " << path;
    return pictures;
  }
  const StreamInfo* video = info.Find(AVMEDIA_TYPE_VIDEO);
  if (!video) {
    ADD_FAILURE() << "no video stream";
    return pictures;
  }
  EXPECT_TRUE(video->decoder_opened);
  return pictures;
}

TEST_F(GifVideoWriterTest, MovingBoxAcrossBatchesIsCutAndPlaysBack) {
  // 25 kept frames: three batches and a remainder.
  GifVideoWriter writer(path_);
  std::vector<int64_t> pts;
  std::vector<int> indices;
  for (int i = 0; i < 25; ++i) {
    pts.push_back(125 * i);
    indices.push_back(i);
  }
  WriteAll(&writer, pts);

  std::list<Magick::Image> frames = ReadBack();
  ASSERT_EQ(frames.size(), 25u);
  int i = 0;
  for (const Magick::Image& frame : frames) {
    if (i++ > 0) {
      EXPECT_LT(frame.columns() * frame.rows(),
                static_cast<size_t>(kWidth * kHeight))
          << "frame " << i - 1;
    }
  }
  ExpectShows(frames, kWidth, kHeight, indices);

  // A player that is not the image library shows the same pictures.
  std::vector<std::vector<uint8_t>> played = DecodeWithMediaLibrary(path_);
  ASSERT_EQ(played.size(), 25u);
  for (size_t k = 0; k < played.size(); ++k) {
    std::vector<uint8_t> expected = ScenePicture(kWidth, kHeight, k);
    Magick::Image decoded(kWidth, kHeight, "RGB", Magick::CharPixel,
                          played[k].data());
    EXPECT_LE(MaxDistance(decoded, expected), 5.0) << "frame " << k;
  }
}

// Checks that a player that is not the image library shows scene picture
// indices[k] as the k-th frame.
void ExpectPlayerShows(const std::string& path, const std::vector<int>& indices) {
  std::vector<std::vector<uint8_t>> played = DecodeWithMediaLibrary(path);
  ASSERT_EQ(played.size(), indices.size());
  for (size_t k = 0; k < played.size(); ++k) {
    EXPECT_LE(MaxDistance(played[k], ScenePicture(kWidth, kHeight, indices[k])), 5.0)
        << "frame " << k;
  }
}

TEST_F(GifVideoWriterTest, StillStretchesAcrossBatchBoundariesShowTheirPicture) {
  // A screen that stands still for 2 s from the 8th frame on: the batches
  // that start with the 11th and the 20th frame open with a picture that did
  // not change. Then a still stretch from the very start.
  for (int moving_first : {8, 0}) {
    SCOPED_TRACE(moving_first);
    std::vector<int> indices;
    for (int i = 0; i < moving_first; ++i) indices.push_back(i);
    indices.insert(indices.end(), 16, moving_first);
    for (int i = 1; i <= 5; ++i) indices.push_back(moving_first + i);
    GifVideoWriter writer(path_);
    Start(&writer);
    for (size_t k = 0; k < indices.size(); ++k) {
      ASSERT_EQ(writer.WriteVideoFrame(SceneFrame(indices[k], 125 * k).get()), 0);
    }
    ASSERT_EQ(writer.Close(), 0);
    ExpectShows(ReadBack(), kWidth, kHeight, indices);
    ExpectPlayerShows(path_, indices);
  }
}

TEST_F(GifVideoWriterTest, DelaysAddUpToTheInputSpan) {
  // Three seconds at 30 frames per second, millisecond timestamps.
  GifVideoWriter writer(path_);
  Start(&writer);
  std::vector<int64_t> kept;
  for (int i = 0; i < 90; ++i) {
    const int64_t pts = i * 1000 / 30;
    ASSERT_EQ(writer.WriteVideoFrame(SceneFrame(i, pts).get()), 0);
    if (writer.VideoPosition() == pts && (kept.empty() || kept.back() != pts)) {
      kept.push_back(pts);
    }
  }
  ASSERT_EQ(writer.Close(), 0);
  std::vector<size_t> delays = Delays(ReadBack());
  ASSERT_EQ(delays.size(), kept.size());
  ASSERT_GE(kept.size(), 3u);
  int64_t total = 0;
  for (size_t k = 0; k + 1 < kept.size(); ++k) {
    // Each frame stays until the next is due, to the hundredth.
    EXPECT_NEAR(static_cast<double>(delays[k] * 10), kept[k + 1] - kept[k], 10.0)
        << "frame " << k;
    total += delays[k] * 10;
  }
  EXPECT_NEAR(static_cast<double>(total), kept.back() - kept.front(), 10.0);
  EXPECT_EQ(delays.back(), delays[delays.size() - 2]);
}

TEST_F(GifVideoWriterTest, FramesWithoutTimestampAreSkipped) {
  // A truncated input: the very first frame, and one just after a frame at
  // 0 (which reads as nothing kept yet), have no timestamp.
  GifVideoWriter writer(path_);
  Start(&writer);
  FramePtr untimed = SceneFrame(20, AV_NOPTS_VALUE);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(writer.WriteVideoFrame(untimed.get()), 1);
  ASSERT_EQ(writer.WriteVideoFrame(SceneFrame(0, 0).get()), 0);
  EXPECT_EQ(writer.WriteVideoFrame(untimed.get()), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "gifwriter: frame without timestamp skipped\n"
            "gifwriter: frame without timestamp skipped\n");
  for (int i = 1; i < 4; ++i) {
    ASSERT_EQ(writer.WriteVideoFrame(SceneFrame(i, 125 * i).get()), 0);
  }
  EXPECT_EQ(writer.VideoPosition(), 375);
  ASSERT_EQ(writer.Close(), 0);
  std::list<Magick::Image> frames = ReadBack();
  EXPECT_EQ(Delays(frames), (std::vector<size_t>{13, 12, 13, 13}));
  ExpectShows(frames, kWidth, kHeight, {0, 1, 2, 3});
}

// A frame of the given size with every pixel grey.
FramePtr GreyFrame(int width, int height, int64_t pts) {
  FramePtr frame(av_frame_alloc());
  frame->format = AV_PIX_FMT_RGB24;
  frame->width = width;
  frame->height = height;
  if (av_frame_get_buffer(frame.get(), 32) < 0) return nullptr;
  for (int y = 0; y < height; ++y) {
    memset(frame->data[0] + y * frame->linesize[0], 128, width * 3);
  }
  frame->pts = pts;
  return frame;
}

// Exit status 0 when pictures too large for the image library are refused
// with the writer's own result and the process goes on.
int RefuseHugePictures(const std::string& path) {
  GifVideoWriter writer(path);
  writer.SetVideoSize(2, 20000);
  if (writer.Init() != 0) return 2;
  const int sizes[][2] = {{2, 20000}, {70000, 2}};
  for (const auto& size : sizes) {
    FramePtr huge = GreyFrame(size[0], size[1], 0);
    if (!huge || writer.WriteVideoFrame(huge.get()) != 1) return 3;
  }
  // Nothing was kept: the close has no frame to write.
  return writer.Close() < 0 && access(path.c_str(), F_OK) != 0 ? 0 : 4;
}

TEST_F(GifVideoWriterTest, PicturesBeyondTheImageLibraryLimitsAreRefused) {
  // In a child: the image library would stop the whole process.
  EXPECT_EXIT(_exit(RefuseHugePictures(path_)), ::testing::ExitedWithCode(0),
              "gifwriter: frame of 2x20000 is too large\n");
}

TEST_F(GifVideoWriterTest, FramesReachTheFileBeforeClose) {
  // Enough frames to pass any write buffer.
  const int count = 200;
  const std::string temporary = GifFileWriter::TemporaryName(path_);
  GifVideoWriter writer(path_);
  Start(&writer);
  for (int i = 0; i < count; ++i) {
    ASSERT_EQ(writer.WriteVideoFrame(SceneFrame(i, 125 * i).get()), 0);
  }
  struct stat st;
  ASSERT_EQ(stat(temporary.c_str(), &st), 0);
  const off_t partial = st.st_size;
  EXPECT_GT(partial, 0);
  EXPECT_NE(access(path_.c_str(), F_OK), 0);
  ASSERT_EQ(writer.Close(), 0);
  EXPECT_NE(access(temporary.c_str(), F_OK), 0);
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_GT(st.st_size, partial);
  std::vector<int> all;
  for (int i = 0; i < count; ++i) all.push_back(i);
  ExpectPlayerShows(path_, all);
}

TEST_F(GifVideoWriterTest, WriterDeletedWithoutCloseLeavesNoFile) {
  // A cancelled edit deletes its writer without closing it.
  {
    GifVideoWriter writer(path_);
    Start(&writer);
    for (int i = 0; i < 30; ++i) {
      ASSERT_EQ(writer.WriteVideoFrame(SceneFrame(i, 125 * i).get()), 0);
    }
  }
  EXPECT_NE(access(path_.c_str(), F_OK), 0);
  EXPECT_NE(access(GifFileWriter::TemporaryName(path_).c_str(), F_OK), 0);
}

// Exit status 0 when a GIF that cannot be written completely fails its
// close and leaves no file behind. Files may not grow beyond a few
// kilobytes in the process that calls it.
int WriteUnderFileSizeLimit(const std::string& path) {
  signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit;
  limit.rlim_cur = limit.rlim_max = 3000;
  if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
  GifVideoWriter writer(path);
  writer.SetVideoSize(kWidth, kHeight);
  if (writer.Init() != 0) return 2;
  for (int i = 0; i < 60; ++i) {
    writer.WriteVideoFrame(SceneFrame(i, 125 * i).get());
  }
  const bool failed = writer.Close() < 0;
  const bool no_file =
      access(path.c_str(), F_OK) != 0 &&
      access(GifFileWriter::TemporaryName(path).c_str(), F_OK) != 0;
  return failed && no_file ? 0 : 3;
}

TEST_F(GifVideoWriterTest, FailedWriteLeavesNoFileUnderTheOutputName) {
  EXPECT_EXIT(_exit(WriteUnderFileSizeLimit(path_)), ::testing::ExitedWithCode(0),
              "GifVideoWriter.close: ");
}

// Files of the image library in a directory.
int LibraryFiles(const std::string& directory) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    if (entry.path().filename().string().rfind("magick-", 0) == 0) ++count;
  }
  return count;
}

// Exit status 0 when pictures that do not fit the image library's memory
// allowance go into files beside the output, not into the temporary
// directory of the process, and the export still succeeds.
int ExportWithoutMemoryAllowance(const std::string& output_dir,
                                 const std::string& temporary_dir) {
  setenv("MAGICK_TEMPORARY_PATH", temporary_dir.c_str(), 1);
  setenv("TMPDIR", temporary_dir.c_str(), 1);
  const std::string path = output_dir + "/out.gif";
  GifVideoWriter writer(path);
  writer.SetVideoSize(kWidth, kHeight);
  if (writer.Init() != 0) return 2;
  Magick::ResourceLimits::memory(1024);
  Magick::ResourceLimits::map(1024);
  for (int i = 0; i < 25; ++i) {
    if (writer.WriteVideoFrame(SceneFrame(i, 125 * i).get()) != 0) return 3;
  }
  // The pictures of the open batch are held in files now.
  if (LibraryFiles(output_dir) == 0 || LibraryFiles(temporary_dir) != 0) return 4;
  if (writer.Close() != 0) return 5;
  if (LibraryFiles(output_dir) != 0) return 6;
  std::list<Magick::Image> frames;
  Magick::readImages(&frames, path);
  return frames.size() == 25 ? 0 : 7;
}

TEST_F(GifVideoWriterTest, ImageLibraryFilesStayBesideTheOutput) {
  testing_support::TempDir output_dir;
  testing_support::TempDir temporary_dir;
  EXPECT_EXIT(_exit(ExportWithoutMemoryAllowance(output_dir.path(),
                                                 temporary_dir.path())),
              ::testing::ExitedWithCode(0), "");
}

TEST_F(GifVideoWriterTest, FrameWithoutPictureIsSkippedNotWrittenEmpty) {
  GifVideoWriter writer(path_);
  Start(&writer);
  ASSERT_EQ(writer.WriteVideoFrame(SceneFrame(0, 100).get()), 0);
  FramePtr empty(av_frame_alloc());
  empty->format = AV_PIX_FMT_RGB24;
  empty->pts = 300;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(writer.WriteVideoFrame(empty.get()), 1);
  // After the media library's own complaint.
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              ::testing::EndsWith("gifwriter: failed to determine buffer size\n"));
  EXPECT_EQ(writer.VideoPosition(), 100);
  ASSERT_EQ(writer.WriteVideoFrame(SceneFrame(1, 500).get()), 0);
  ASSERT_EQ(writer.Close(), 0);
  std::list<Magick::Image> frames = ReadBack();
  // The lost frame's time stays with the frame before it.
  EXPECT_EQ(Delays(frames), (std::vector<size_t>{40, 40}));
  ExpectShows(frames, kWidth, kHeight, {0, 1});
}

TEST_F(GifVideoWriterTest, CloseWithoutFramesFailsAndWritesNoFile) {
  GifVideoWriter writer(path_);
  Start(&writer);
  // An edit that delivered no frame at all.
  ::testing::internal::CaptureStderr();
  EXPECT_LT(writer.Close(), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "GifVideoWriter.close: no frame to write\n");
  EXPECT_NE(access(path_.c_str(), F_OK), 0);
  EXPECT_EQ(writer.VideoPosition(), 0);
}

// Where the GIF goes is checked when it opens; a place lost after that
// fails the close.
TEST_F(GifVideoWriterTest, UnwritablePlaceFailsOpenAndClose) {
  GifVideoWriter missing("/nonexistent-directory/out.gif");
  missing.SetVideoSize(kWidth, kHeight);
  ASSERT_EQ(missing.Init(), 0);
  ::testing::internal::CaptureStderr();
  EXPECT_LT(missing.Open(), 0);
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("GifVideoWriter.open: ", 0), 0u) << err;
  EXPECT_NE(err.find("out.gif"), std::string::npos) << err;

  testing_support::TempDir place;
  const std::string directory = place.File("lost");
  ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
  GifVideoWriter writer(directory + "/out.gif");
  Start(&writer);
  ASSERT_EQ(writer.WriteVideoFrame(SceneFrame(0, 0).get()), 0);
  ASSERT_EQ(rmdir(directory.c_str()), 0);
  ::testing::internal::CaptureStderr();
  EXPECT_LT(writer.Close(), 0);
  err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("GifVideoWriter.close: ", 0), 0u) << err;
  EXPECT_NE(err.find("out.gif"), std::string::npos) << err;
}

TEST(GifVideoWriterDeathTest, NonRgbFrameIsAProgrammingError) {
  GifVideoWriter writer(TempPath("gif_writer_never.gif"));
  writer.SetVideoSize(kWidth, kHeight);
  ASSERT_EQ(writer.Init(), 0);
  FramePtr yuv = SceneFrame(0, 0, AV_PIX_FMT_YUV420P);
  EXPECT_DEATH(writer.WriteVideoFrame(yuv.get()),
               "frame->format == pixel_format\\(\\)");
}

}  // namespace
}  // namespace kelmora
