#include "gif_animation_optimizer.h"

#include <gtest/gtest.h>

#include <list>
#include <vector>

#include "gif_test_scene.h"
#include "utils.h"

namespace kelmora {
namespace {

using testing_scene::CompositedFrames;
using testing_scene::MaxDistance;
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

std::list<Magick::Image> Optimize(GifAnimationOptimizer* optimizer,
                                  const std::vector<int>& indices) {
  for (int i : indices) optimizer->AddFrame(NumberedPicture(i));
  std::list<Magick::Image> optimized;
  optimizer->GetOptimized(&optimized);
  return optimized;
}

// Checks that every picture comes out once, in order, that only the very
// first frame is a full picture (also the first new frame of every later
// batch is cut against the picture before it), and that the animation shows
// the input pictures.
void ExpectAnimationOf(const std::list<Magick::Image>& optimized,
                       const std::vector<int>& indices) {
  ASSERT_EQ(optimized.size(), indices.size());
  size_t k = 0;
  for (const Magick::Image& frame : optimized) {
    EXPECT_EQ(static_cast<int>(frame.animationDelay()), indices[k])
        << "frame " << k;
    if (k > 0) {
      EXPECT_LT(frame.columns() * frame.rows(),
                static_cast<size_t>(kWidth * kHeight))
          << "frame " << k << " was not optimised against its predecessor";
    } else {
      EXPECT_EQ(frame.columns(), static_cast<size_t>(kWidth));
      EXPECT_EQ(frame.rows(), static_cast<size_t>(kHeight));
    }
    EXPECT_LE(frame.totalColors(), 256u);
    ++k;
  }
  std::vector<Magick::Image> shown = CompositedFrames(optimized);
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

TEST(GifAnimationOptimizerTest, EmptyOptimiserGivesNoFramesAndStartsOver) {
  GifAnimationOptimizer optimizer;
  std::list<Magick::Image> optimized = {SceneImage(kWidth, kHeight, 0)};
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
  std::list<Magick::Image> optimized;
  optimizer.GetOptimized(&optimized);
  ASSERT_EQ(optimized.size(), 12u);
  int i = 0;
  for (const Magick::Image& frame : optimized) {
    if (i++ > 0) {
      EXPECT_LE(frame.columns() * frame.rows(), 1u);
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
  std::list<Magick::Image> optimized;
  optimizer.GetOptimized(&optimized);
  ExpectAnimationOf(optimized, {0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 11});
}

TEST(GifAnimationOptimizerDeathTest, NullResultListIsAProgrammingError) {
  GifAnimationOptimizer optimizer;
  EXPECT_DEATH(optimizer.GetOptimized(nullptr), "optimized != __null");
}

}  // namespace
}  // namespace kelmora
