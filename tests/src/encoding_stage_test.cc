// The encoding stage hands the graph's output to its writer on a thread of
// its own: every picture in order, a picture lent by a track copied so that
// the track has its buffer back at once, the positions of what is queued,
// and a failure of the writer reported to the graph's thread.

#include "encoding_stage.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "graph_test_writers.h"

extern "C" {
#include <libavutil/buffer.h>
}

namespace kelmora {
namespace {

using testing_support::RecordingWriter;
using testing_support::SeenFrame;

constexpr int kWidth = 32;
constexpr int kHeight = 16;

// A read-only I420 picture of |luma| over a buffer whose release is
// counted, as the lent track buffers are.
FramePtr LentPicture(uint8_t luma, int64_t pts, int* released) {
  FramePtr frame(av_frame_alloc());
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = kWidth;
  frame->height = kHeight;
  frame->pts = pts;
  const int size = kWidth * kHeight * 3 / 2;
  uint8_t* data = static_cast<uint8_t*>(av_malloc(size));
  memset(data, luma, size);
  frame->buf[0] = av_buffer_create(
      data, size,
      [](void* opaque, uint8_t* bytes) {
        ++*static_cast<int*>(opaque);
        av_free(bytes);
      },
      released, AV_BUFFER_FLAG_READONLY);
  frame->data[0] = data;
  frame->data[1] = data + kWidth * kHeight;
  frame->data[2] = frame->data[1] + kWidth * kHeight / 4;
  frame->linesize[0] = kWidth;
  frame->linesize[1] = frame->linesize[2] = kWidth / 2;
  return frame;
}

TEST(EncodingStageTest, WritesEveryPictureInOrderAndGivesLentBuffersBackAtOnce) {
  std::vector<SeenFrame> seen;
  RecordingWriter* output = new RecordingWriter();
  output->keep_frames = &seen;
  bool started = false;
  const uint8_t* own_data = nullptr;
  {
    EncodingStage stage(std::unique_ptr<VideoWriter>(output), [&] { started = true; });
    // Slow: the pictures wait in the queue while their lenders have them
    // back already.
    stage.SetDelay(20, 1);
    ASSERT_EQ(0, stage.Open());
    int released = 0;
    for (int i = 0; i < 12; ++i) {
      FramePtr picture = LentPicture(static_cast<uint8_t>(10 * i), 40 * i, &released);
      ASSERT_EQ(0, stage.WriteVideoFrame(picture.get()));
      picture.reset();
      EXPECT_EQ(i + 1, released) << "picture " << i << " still lent";
      EXPECT_EQ(40 * i, stage.VideoPosition());
    }
    // The graph's own picture (an overlay's output) is queued as it is.
    FramePtr own(av_frame_alloc());
    own->format = AV_PIX_FMT_YUV420P;
    own->width = kWidth;
    own->height = kHeight;
    own->pts = 40 * 12;
    ASSERT_EQ(0, av_frame_get_buffer(own.get(), 0));
    for (int plane = 0; plane < 3; ++plane) {
      memset(own->data[plane], 120, own->linesize[plane] * (plane ? kHeight / 2 : kHeight));
    }
    own_data = own->data[0];
    ASSERT_EQ(0, stage.WriteVideoFrame(own.get()));
    own.reset();
    EXPECT_EQ(0, stage.Close());
    EXPECT_EQ(1, output->close_calls);
  }
  EXPECT_TRUE(started);
  ASSERT_EQ(13u, seen.size());
  EXPECT_EQ(own_data, seen[12].data[0]);
  EXPECT_NE(own_data, seen[11].data[0]);
  for (int i = 0; i < 13; ++i) {
    EXPECT_EQ(40 * i, seen[i].pts);
    EXPECT_EQ(kWidth, seen[i].width);
    ASSERT_FALSE(seen[i].bytes.empty());
    EXPECT_EQ(10 * i, seen[i].bytes[0]);
  }
}

TEST(EncodingStageTest, AWriterFailureOnTheEncodingThreadReachesTheGraphsThread) {
  RecordingWriter* output = new RecordingWriter();
  output->video_result = -28;  // a full disk
  EncodingStage stage(std::unique_ptr<VideoWriter>(output), nullptr);
  ASSERT_EQ(0, stage.Open());
  int released = 0;
  FramePtr picture = LentPicture(50, 0, &released);
  ASSERT_EQ(0, stage.WriteVideoFrame(picture.get()));
  // Close waits for the queue: the failure is known by then, and kept for
  // every write after it.
  EXPECT_EQ(-28, stage.Close());
  EXPECT_EQ(1, output->close_calls);
}

TEST(EncodingStageTest, DestroyedWithoutCloseEndsItsThreadAndLeavesTheRestUnwritten) {
  std::vector<SeenFrame> seen;
  bool destroyed = false;
  RecordingWriter* output = new RecordingWriter();
  output->keep_frames = &seen;
  output->destroyed = &destroyed;
  {
    EncodingStage stage(std::unique_ptr<VideoWriter>(output), nullptr);
    stage.SetDelay(50, 1);
    ASSERT_EQ(0, stage.Open());
    int released = 0;
    for (int i = 0; i < 4; ++i) {
      FramePtr picture = LentPicture(1, 40 * i, &released);
      ASSERT_EQ(0, stage.WriteVideoFrame(picture.get()));
    }
  }
  EXPECT_TRUE(destroyed);
  EXPECT_LE(seen.size(), 4u);
}

}  // namespace
}  // namespace kelmora
