#ifndef KELMORA_TESTS_SRC_GIF_TEST_SCENE_H_
#define KELMORA_TESTS_SRC_GIF_TEST_SCENE_H_

// Pictures for the GIF tests: a static striped background whose pixels
// jitter by one step (well inside the colour fuzz) from picture to picture,
// and a solid box that moves across it. Few colours, so that the palette
// reduction loses nothing and only the fuzz separates output from input.

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include <Magick++.h>
#include <gtest/gtest.h>

namespace kelmora {
namespace testing_scene {

inline std::vector<uint8_t> ScenePicture(int width, int height, int index) {
  static const uint8_t kStripes[8][3] = {
      {200, 40, 40}, {40, 200, 40}, {40, 40, 200}, {200, 200, 40},
      {40, 200, 200}, {200, 40, 200}, {120, 120, 120}, {230, 230, 230}};
  const int box = std::max(4, height / 4);
  const int box_left = (index * 3) % (width - box);
  const int box_top = (index * 2) % (height - box);
  std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
      if (x >= box_left && x < box_left + box && y >= box_top &&
          y < box_top + box) {
        p[0] = 10;
        p[1] = 10;
        p[2] = 10;
        continue;
      }
      const uint8_t* stripe = kStripes[(x * 8 / width) % 8];
      const int jitter = (index + x + 2 * y) % 3 - 1;
      for (int c = 0; c < 3; ++c) p[c] = static_cast<uint8_t>(stripe[c] + jitter);
    }
  }
  return rgb;
}

inline Magick::Image SceneImage(int width, int height, int index) {
  std::vector<uint8_t> rgb = ScenePicture(width, height, index);
  return Magick::Image(width, height, "RGB", Magick::CharPixel, rgb.data());
}

// Largest Euclidean RGB distance, in 8-bit steps, between an image and a
// packed RGB24 picture of the same size.
inline double MaxDistance(const Magick::Image& image,
                          const std::vector<uint8_t>& rgb) {
  Magick::Image copy = image;
  const size_t w = copy.columns();
  const size_t h = copy.rows();
  const Magick::PixelPacket* pixels = copy.getConstPixels(0, 0, w, h);
  using MagickCore::Quantum;  // for QuantumRange
  const double scale = 255.0 / QuantumRange;
  double worst = 0;
  for (size_t i = 0; i < w * h; ++i) {
    const double dr = pixels[i].red * scale - rgb[i * 3];
    const double dg = pixels[i].green * scale - rgb[i * 3 + 1];
    const double db = pixels[i].blue * scale - rgb[i * 3 + 2];
    worst = std::max(worst, std::sqrt(dr * dr + dg * dg + db * db));
  }
  return worst;
}

// The animation as a viewer shows it: every frame composited onto the ones
// before it, with their disposal.
inline std::vector<Magick::Image> CompositedFrames(
    std::list<Magick::Image> frames) {
  std::list<Magick::Image> coalesced;
  Magick::coalesceImages(&coalesced, frames.begin(), frames.end());
  return std::vector<Magick::Image>(coalesced.begin(), coalesced.end());
}

// The delays of the frames, in hundredths of a second.
inline std::vector<size_t> Delays(const std::list<Magick::Image>& frames) {
  std::vector<size_t> delays;
  for (const Magick::Image& f : frames) delays.push_back(f.animationDelay());
  return delays;
}

// The animation as shown must be the scene pictures of `indices`, within
// the colour fuzz.
inline void ExpectShows(const std::list<Magick::Image>& frames, int width,
                        int height, const std::vector<int>& indices) {
  std::vector<Magick::Image> shown = CompositedFrames(frames);
  ASSERT_EQ(shown.size(), indices.size());
  for (size_t k = 0; k < shown.size(); ++k) {
    ASSERT_EQ(shown[k].columns(), static_cast<size_t>(width));
    ASSERT_EQ(shown[k].rows(), static_cast<size_t>(height));
    EXPECT_LE(MaxDistance(shown[k], ScenePicture(width, height, indices[k])),
              5.0)
        << "frame " << k;
  }
}

// Restores the image library's width limit on leaving the scope.
class WidthLimit {
 public:
  explicit WidthLimit(MagickCore::MagickSizeType limit)
      : saved_(Magick::ResourceLimits::width()) {
    Magick::ResourceLimits::width(limit);
  }
  ~WidthLimit() { Magick::ResourceLimits::width(saved_); }

 private:
  MagickCore::MagickSizeType saved_;
};

}  // namespace testing_scene
}  // namespace kelmora

#endif  // KELMORA_TESTS_SRC_GIF_TEST_SCENE_H_
