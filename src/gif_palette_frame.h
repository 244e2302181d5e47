#ifndef KELMORA_GIF_PALETTE_FRAME_H_
#define KELMORA_GIF_PALETTE_FRAME_H_

#include <cstdint>
#include <vector>

namespace kelmora {

// One frame of an animated GIF as it goes into the file: a rectangle of
// palette indices on the canvas with its own colour table.
struct GifPaletteFrame {
  struct Color {
    uint8_t red;
    uint8_t green;
    uint8_t blue;
  };
  // GIF disposal methods, numbered as in the file.
  enum Disposal { kUnspecified = 0, kNone = 1, kBackground = 2, kPrevious = 3 };

  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  std::vector<Color> palette;  // at most 256 entries
  int transparent_index = -1;  // -1: every pixel is drawn
  int disposal = kUnspecified;
  int delay = 0;                // hundredths of a second on screen
  std::vector<uint8_t> pixels;  // width x height indices, row by row
};

}  // namespace kelmora

#endif  // KELMORA_GIF_PALETTE_FRAME_H_
