#ifndef PPAPI_CPP_SIZE_H_
#define PPAPI_CPP_SIZE_H_

#include "ppapi/c/pp_size.h"

namespace pp {

class Size {
 public:
  Size() : size_(PP_MakeSize(0, 0)) {}
  Size(int32_t width, int32_t height) : size_(PP_MakeSize(width, height)) {}
  Size(const PP_Size& size) : size_(size) {}  // NOLINT: as the C type

  int32_t width() const { return size_.width; }
  int32_t height() const { return size_.height; }
  void set_width(int32_t width) { size_.width = width; }
  void set_height(int32_t height) { size_.height = height; }
  const PP_Size& pp_size() const { return size_; }
  PP_Size& pp_size() { return size_; }
  int32_t GetArea() const { return size_.width * size_.height; }
  bool IsEmpty() const { return size_.width == 0 || size_.height == 0; }

 private:
  PP_Size size_;
};

inline bool operator==(const Size& a, const Size& b) {
  return a.width() == b.width() && a.height() == b.height();
}
inline bool operator!=(const Size& a, const Size& b) { return !(a == b); }

}  // namespace pp

#endif  // PPAPI_CPP_SIZE_H_
