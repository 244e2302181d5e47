#include "gif_animation_optimizer.h"

#include <gtest/gtest.h>

#include <list>
#include <vector>

#include "gif_test_scene.h"
#include "utils.h"

namespace kelmora {
namespace {

using testing_scene::MaxDistance;
using testing_scene::PlayFrames;
using testing_scene::ScenePicture;
using testing_scene::SceneImage;
using testing_scene::WidthLimit;

const int kWidth = 32;
const int kHeight = 24;

Magick::Image NumberedPicture(int index) {
  Magick::Image picture = SceneImage(kWidth, kHeight, index);
  picture.animationDelay(index);  // tells the frame's picture later
  return picture;
}

std::vector<int> Range(int first, int count) {
  std::vector<int> indices;
  for (int i = first; i < first + count; ++i) indices.push_back(i);
  return indices;
}

// Adds the pictures, taking the frames that are ready on the way as the GIF
// writer does, then flushes.
std::list<GifPaletteFrame> Optimize(GifAnimationOptimizer* optimizer,
                                    const std::vector<int>& indices) {
  std::list<GifPaletteFrame> taken;
  for (int i : indices) {
    optimizer->AddFrame(NumberedPicture(i));
    optimizer->TakeReady(&taken);
  }
  std::list<GifPaletteFrame> rest;
  optimizer->GetOptimized(&rest);
  taken.splice(taken.end(), rest);
  return taken;
}

// Checks that every picture comes out once, in order, that only the very
// first frame is a full picture (also the first new frame of every later
// batch is cut against the picture before it), and that the animation shows
// the input pictures.
void ExpectAnimationOf(const std::list<GifPaletteFrame>& optimized,
                       const std::vector<int>& indices) {
  ASSERT_EQ(optimized.size(), indices.size());
  size_t k = 0;
  for (const GifPaletteFrame& frame : optimized) {
    EXPECT_EQ(frame.delay, indices[k]) << "frame " << k;
    if (k > 0) {
      EXPECT_LT(frame.width * frame.height, kWidth * kHeight)
          << "frame " << k << " was not optimised against its predecessor";
    } else {
      EXPECT_EQ(frame.width, kWidth);
      EXPECT_EQ(frame.height, kHeight);
      EXPECT_EQ(frame.transparent_index, -1);
    }
    ++k;
  }
  std::vector<std::vector<uint8_t>> shown = PlayFrames(optimized, kWidth, kHeight);
  ASSERT_EQ(shown.size(), indices.size());
  for (k = 0; k < shown.size(); ++k) {
    EXPECT_LE(MaxDistance(shown[k], ScenePicture(kWidth, kHeight, indices[k])),
              5.0)
        << "frame " << k;
  }
}

TEST(GifAnimationOptimizerTest, EveryPictureBecomesOneFrameAcrossBatches) {
  // 1: a lone partial first batch; 10: exactly one batch, nothing left for
  // the flush; 11: one batch plus overlap and one new picture; 19: a second
  // full batch (overlap + 9) and nothing left; 20 and 300: many batches and
  // a remainder.
  for (int count : {1, 10, 11, 19, 20, 300}) {
    SCOPED_TRACE(count);
    GifAnimationOptimizer optimizer;
    ExpectAnimationOf(Optimize(&optimizer, Range(0, count)), Range(0, count));
  }
}

TEST(GifAnimationOptimizerTest, FramesBecomeReadyBatchByBatchWithTheLastHeldBack) {
  GifAnimationOptimizer optimizer;
  std::list<GifPaletteFrame> ready;
  std::vector<size_t> ready_after;
  for (int i = 0; i < 19; ++i) {
    optimizer.AddFrame(NumberedPicture(i));
    optimizer.TakeReady(&ready);
    ready_after.push_back(ready.size());
  }
  // The first batch is done at the 10th picture, the second at the 19th;
  // each time the batch's last frame waits for its disposal.
  std::vector<size_t> expected(9, 0);
  expected.insert(expected.end(), 9, 9);
  expected.push_back(18);
  EXPECT_EQ(ready_after, expected);
  std::list<GifPaletteFrame> rest;
  optimizer.GetOptimized(&rest);
  EXPECT_EQ(rest.size(), 1u);
  ready.splice(ready.end(), rest);
  ExpectAnimationOf(ready, Range(0, 19));
}

TEST(GifAnimationOptimizerTest, StillStretchesAcrossBatchesShowTheirPicture) {
  // Picture 7 stays for 15 pictures: the batches that start at the 11th and
  // the 20th picture open with a picture that did not change.
  std::vector<int> indices = Range(0, 8);
  indices.insert(indices.end(), 14, 7);
  for (int i : Range(8, 6)) indices.push_back(i);
  GifAnimationOptimizer optimizer;
  ExpectAnimationOf(Optimize(&optimizer, indices), indices);
}

TEST(GifAnimationOptimizerTest, EmptyOptimiserGivesNoFramesAndStartsOver) {
  GifAnimationOptimizer optimizer;
  std::list<GifPaletteFrame> optimized(1);
  optimizer.GetOptimized(&optimized);
  EXPECT_TRUE(optimized.empty());

  // Used again after a flush, it begins with a full first picture and holds
  // nothing of the earlier animation.
  ExpectAnimationOf(Optimize(&optimizer, Range(0, 3)), Range(0, 3));
  ExpectAnimationOf(Optimize(&optimizer, Range(40, 12)), Range(40, 12));
  optimizer.GetOptimized(&optimized);
  EXPECT_TRUE(optimized.empty());
}

TEST(GifAnimationOptimizerTest, ChangesWithinColourFuzzAreNotRedrawn) {
  // Pictures that differ only by the one-step jitter of the background leave
  // nothing to redraw: every frame after the first shrinks to a stub.
  GifAnimationOptimizer optimizer;
  for (int i = 0; i < 12; ++i) {
    std::vector<uint8_t> rgb(kWidth * kHeight * 3, static_cast<uint8_t>(100 + i % 3));
    optimizer.AddFrame(
        Magick::Image(kWidth, kHeight, "RGB", Magick::CharPixel, rgb.data()));
  }
  std::list<GifPaletteFrame> optimized;
  optimizer.GetOptimized(&optimized);
  ASSERT_EQ(optimized.size(), 12u);
  int i = 0;
  for (const GifPaletteFrame& frame : optimized) {
    if (i++ > 0) {
      EXPECT_LE(frame.width * frame.height, 1);
    }
  }
}

TEST(GifAnimationOptimizerTest, FailedBatchLosesOnlyTheFrameThatTriggeredIt) {
  GifAnimationOptimizer optimizer;
  std::vector<Magick::Image> pictures;
  for (int i = 0; i < 12; ++i) pictures.push_back(NumberedPicture(i));
  for (int i = 0; i < 9; ++i) optimizer.AddFrame(pictures[i]);
  {
    // No picture this wide may be made now: the batch fails.
    WidthLimit limit(kWidth / 2);
    EXPECT_THROW(optimizer.AddFrame(pictures[9]), Magick::Exception);
  }
  // The next picture completes the batch again; nothing else is lost.
  optimizer.AddFrame(pictures[10]);
  optimizer.AddFrame(pictures[11]);
  std::list<GifPaletteFrame> optimized;
  optimizer.GetOptimized(&optimized);
  ExpectAnimationOf(optimized, {0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 11});
}

TEST(GifAnimationOptimizerDeathTest, NullResultListIsAProgrammingError) {
  GifAnimationOptimizer optimizer;
  EXPECT_DEATH(optimizer.GetOptimized(nullptr), "optimized != __null");
}

}  // namespace
}  // namespace kelmora
