#include "gif_video_writer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

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

TEST_F(GifVideoWriterTest, ThinsTo8PerSecondWithDelaysSinceLastKeptFrame) {
  GifVideoWriter writer(path_);
  EXPECT_EQ(writer.pixel_format(), AV_PIX_FMT_RGB24);
  EXPECT_FALSE(writer.IsAudioEnabled());
  // Every 40 ms from 0 to 360: 0 is kept, and 40 too because a last kept
  // pts of 0 reads as "nothing kept yet"; then 200 and 360.
  std::vector<int64_t> pts;
  for (int64_t t = 0; t <= 360; t += 40) pts.push_back(t);
  WriteAll(&writer, pts);
  EXPECT_EQ(writer.VideoPosition(), 360);

  std::list<Magick::Image> frames = ReadBack();
  EXPECT_EQ(Delays(frames), (std::vector<size_t>{0, 4, 16, 16}));
  EXPECT_EQ(frames.front().page().width(), static_cast<size_t>(kWidth));
  EXPECT_EQ(frames.front().page().height(), static_cast<size_t>(kHeight));
  ExpectShows(frames, kWidth, kHeight, {0, 1, 5, 9});
}

TEST_F(GifVideoWriterTest, LateStartKeepsFirstFrameWithItsPtsAsDelay) {
  GifVideoWriter writer(path_);
  std::vector<int64_t> pts;
  for (int k = 0; k <= 16; ++k) pts.push_back(1000 + 33 * k);
  WriteAll(&writer, pts);
  // Kept: 1000, 1132, 1264, 1396, 1528 (each the first at least 125 ms on).
  EXPECT_EQ(writer.VideoPosition(), 1528);
  std::list<Magick::Image> frames = ReadBack();
  EXPECT_EQ(Delays(frames), (std::vector<size_t>{100, 13, 13, 13, 13}));
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
  EXPECT_EQ(Delays(frames), (std::vector<size_t>{10, 40}));
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

TEST_F(GifVideoWriterTest, UnwritableFileFailsClose) {
  GifVideoWriter writer("/nonexistent-directory/out.gif");
  Start(&writer);
  ASSERT_EQ(writer.WriteVideoFrame(SceneFrame(0, 0).get()), 0);
  ::testing::internal::CaptureStderr();
  EXPECT_LT(writer.Close(), 0);
  std::string err = ::testing::internal::GetCapturedStderr();
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
