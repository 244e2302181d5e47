// The GIF writer as the edit job drives it: a filter graph reads a recorded
// input file with its movie source and drains it, one step at a time, into
// the writer.

#include <gtest/gtest.h>

#include <list>
#include <string>
#include <vector>

#include "gif_test_scene.h"
#include "gif_video_writer.h"
#include "media_test_support.h"
#include "simple_video_writer.h"
#include "video_graph_filter.h"

namespace kelmora {
namespace {

using testing_scene::CompositedFrames;
using testing_scene::Delays;
using testing_support::MakeVideoFrame;
using testing_support::TempPath;

const int kWidth = 64;
const int kHeight = 48;

// Records the frames with the default encode-and-mux writer (VP8 in WebM,
// millisecond timestamps), as the recorder leaves its files.
void RecordInput(const std::string& path, const std::vector<int64_t>& pts_ms) {
  SimpleVideoWriter writer(path);
  writer.SetVideoSize(kWidth, kHeight);
  writer.SetAudioSampleRate(0);
  writer.SetThreadFactor(testing_support::OneEncoderThread());
  ASSERT_EQ(writer.Init(), 0);
  ASSERT_GE(writer.Open(), 0);
  for (size_t i = 0; i < pts_ms.size(); ++i) {
    auto frame = MakeVideoFrame(kWidth, kHeight, i, pts_ms[i]);
    ASSERT_EQ(writer.WriteVideoFrame(frame.get()), 0);
  }
  ASSERT_EQ(writer.Close(), 0);
}

class GifEditGraphTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string name =
        ::testing::UnitTest::GetInstance()->current_test_info()->name();
    input_ = TempPath(name + ".webm");
    output_ = TempPath(name + ".gif");
  }
  void TearDown() override {
    unlink(input_.c_str());
    unlink(output_.c_str());
  }

  // The edit loop: one graph step at a time until both sides have ended,
  // then the close that writes the GIF. Returns the writer's position just
  // before the close.
  int64_t Export(const std::string& filters) {
    VideoGraphFilter graph;
    graph.graph_description_ = "movie=filename=" + input_ + filters;
    graph.writer_.reset(new GifVideoWriter(output_));
    const int init = graph.InitFiltering();
    EXPECT_GE(init, 0);
    if (init < 0) return -1;
    int steps = 0;
    while (!(graph.audio_done_ && graph.video_done_) && steps++ < 10000) {
      EXPECT_GE(graph.FilterOnce(), 0);
    }
    const int64_t position = graph.OutputPosition();
    EXPECT_EQ(graph.Close(), 0);
    return position;
  }

  // Reads the GIF back and checks that every frame lies on a canvas of
  // the given size and that it plays as that many full pictures.
  std::list<Magick::Image> ReadBack(int width, int height) {
    std::list<Magick::Image> frames;
    Magick::readImages(&frames, output_);
    EXPECT_FALSE(frames.empty());
    for (const Magick::Image& frame : frames) {
      EXPECT_EQ(frame.page().width(), static_cast<size_t>(width));
      EXPECT_EQ(frame.page().height(), static_cast<size_t>(height));
    }
    for (const Magick::Image& shown : CompositedFrames(frames)) {
      EXPECT_EQ(shown.columns(), static_cast<size_t>(width));
      EXPECT_EQ(shown.rows(), static_cast<size_t>(height));
    }
    return frames;
  }

  std::string input_;
  std::string output_;
};

TEST_F(GifEditGraphTest, FramesEvery40MsAreThinnedWithDelaysUntilTheNext) {
  std::vector<int64_t> pts;
  for (int64_t t = 0; t <= 360; t += 40) pts.push_back(t);
  RecordInput(input_, pts);
  EXPECT_EQ(Export(""), 360);
  // Kept: 0, 40 (the last kept pts 0 reads as none kept), 200, 360.
  EXPECT_EQ(Delays(ReadBack(kWidth, kHeight)),
            (std::vector<size_t>{4, 16, 16, 16}));
}

TEST_F(GifEditGraphTest, InputStartingAtOneSecondKeepsItsTimestamps) {
  std::vector<int64_t> pts;
  for (int k = 0; k <= 16; ++k) pts.push_back(1000 + 33 * k);
  RecordInput(input_, pts);
  EXPECT_EQ(Export(""), 1528);
  // Kept: 1000, 1132, 1264, 1396, 1528.
  EXPECT_EQ(Delays(ReadBack(kWidth, kHeight)),
            (std::vector<size_t>{13, 13, 14, 13, 13}));
}

TEST_F(GifEditGraphTest, ScaledAndResampledEditKeepsItsSizeAndTiming) {
  // Two seconds at 25 frames per second, scaled into half the size and
  // re-sampled to 10 per second as a GIF edit with scale and fps is: frames
  // at 0, 100, ... 1900 ms; 0 and 100 pass, then every second one.
  std::vector<int64_t> pts;
  for (int i = 0; i < 50; ++i) pts.push_back(40 * i);
  RecordInput(input_, pts);
  EXPECT_EQ(Export(",scale=force_original_aspect_ratio=decrease:"
                   "h=min(24\\,ih):w=min(40\\,iw),fps=fps=10"),
            1900);
  // The last frame stays as long as the one before it.
  std::vector<size_t> expected = {10};
  for (int i = 0; i < 10; ++i) expected.push_back(20);
  EXPECT_EQ(Delays(ReadBack(kWidth / 2, kHeight / 2)), expected);
}

}  // namespace
}  // namespace kelmora
