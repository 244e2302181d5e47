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

#include "gif_palette_frame.h"

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

// Where a frame's disposal leaves nothing on the canvas: no scene pixel has
// this colour, so a hole shows as a large distance.
const uint8_t kHole[3] = {255, 0, 255};

// Plays palette frames as a GIF player does, with their transparency and
// disposal, and gives the canvas that each frame shows as packed RGB24.
inline std::vector<std::vector<uint8_t>> PlayFrames(
    const std::list<GifPaletteFrame>& frames, int width, int height) {
  std::vector<uint8_t> canvas(static_cast<size_t>(width) * height * 3);
  for (size_t i = 0; i < canvas.size(); ++i) canvas[i] = kHole[i % 3];
  std::vector<std::vector<uint8_t>> shown;
  for (const GifPaletteFrame& frame : frames) {
    EXPECT_LE(frame.left + frame.width, width);
    EXPECT_LE(frame.top + frame.height, height);
    EXPECT_LE(frame.palette.size(), 256u);
    EXPECT_EQ(frame.pixels.size(), static_cast<size_t>(frame.width) * frame.height);
    const std::vector<uint8_t> before = canvas;
    for (int y = 0; y < frame.height && frame.top + y < height; ++y) {
      for (int x = 0; x < frame.width && frame.left + x < width; ++x) {
        const int index = frame.pixels[static_cast<size_t>(y) * frame.width + x];
        if (index == frame.transparent_index) continue;
        EXPECT_LT(static_cast<size_t>(index), frame.palette.size());
        if (static_cast<size_t>(index) >= frame.palette.size()) continue;
        uint8_t* p = &canvas[(static_cast<size_t>(frame.top + y) * width +
                              frame.left + x) * 3];
        p[0] = frame.palette[index].red;
        p[1] = frame.palette[index].green;
        p[2] = frame.palette[index].blue;
      }
    }
    shown.push_back(canvas);
    if (frame.disposal == GifPaletteFrame::kPrevious) {
      canvas = before;
    } else if (frame.disposal == GifPaletteFrame::kBackground) {
      for (int y = frame.top; y < frame.top + frame.height && y < height; ++y) {
        for (int x = frame.left; x < frame.left + frame.width && x < width; ++x) {
          std::copy(kHole, kHole + 3, &canvas[(static_cast<size_t>(y) * width + x) * 3]);
        }
      }
    }
  }
  return shown;
}

// Largest Euclidean distance, in 8-bit steps, between two packed RGB24
// pictures of the same size.
inline double MaxDistance(const std::vector<uint8_t>& a,
                          const std::vector<uint8_t>& b) {
  EXPECT_EQ(a.size(), b.size());
  double worst = 0;
  for (size_t i = 0; i + 2 < a.size() && i + 2 < b.size(); i += 3) {
    double sum = 0;
    for (int c = 0; c < 3; ++c) {
      const double d = static_cast<double>(a[i + c]) - b[i + c];
      sum += d * d;
    }
    worst = std::max(worst, std::sqrt(sum));
  }
  return worst;
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
