#ifndef KELMORA_FRAME_SCALER_H_
#define KELMORA_FRAME_SCALER_H_

#include <cstdint>
#include <vector>

#include "geometry.h"

struct SwsContext;

namespace kelmora {

// Brings tightly packed I420 pictures to the one size a recorder input was
// opened with: a track whose source changes size (a resized shared window)
// keeps recording, scaled, instead of being read past its buffer. One
// user thread at a time.
class FrameScaler {
 public:
  FrameScaler() = default;
  ~FrameScaler();
  FrameScaler(const FrameScaler&) = delete;
  FrameScaler& operator=(const FrameScaler&) = delete;

  // Bytes of a tightly packed I420 picture of |size|.
  static uint32_t I420Size(const Size& size);

  // The picture in |data| (|data_size| bytes, |size| pixels) at |target|:
  // |data| itself when the sizes agree, else a scaled copy that stays valid
  // until the next call. Null when the buffer does not hold the picture or
  // the scaling fails.
  uint8_t* Fit(uint8_t* data, uint32_t data_size, const Size& size, const Size& target);

 private:
  SwsContext* context_ = nullptr;
  std::vector<uint8_t> scaled_;
};

}  // namespace kelmora

#endif  // KELMORA_FRAME_SCALER_H_
