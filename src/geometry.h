#ifndef KELMORA_GEOMETRY_H_
#define KELMORA_GEOMETRY_H_

#include <cstdint>

namespace kelmora {

// A picture size in pixels; empty when both sides are 0.
struct Size {
  int32_t width = 0;
  int32_t height = 0;

  bool IsEmpty() const { return width == 0 && height == 0; }
  bool operator==(const Size& other) const {
    return width == other.width && height == other.height;
  }
  bool operator!=(const Size& other) const { return !(*this == other); }
};

// A rectangle of a picture in pixels.
struct Rect {
  int32_t top = 0;
  int32_t left = 0;
  int32_t width = 0;
  int32_t height = 0;
};

}  // namespace kelmora

#endif  // KELMORA_GEOMETRY_H_
