#ifndef KELMORA_PICTURE_POOL_H_
#define KELMORA_PICTURE_POOL_H_

#include "av_holders.h"

extern "C" {
#include <libavutil/buffer.h>
}

namespace kelmora {

// Copies of pictures into buffers that are used again once their frames
// are gone. A recording copies a picture of megabytes every frame: fresh
// allocations of that size, made on one thread and freed on another,
// fragment the heap until the process grows without bound, and each costs
// its page faults. One thread copies; the copies may be freed on any.
class PicturePool {
 public:
  PicturePool() = default;
  PicturePool(const PicturePool&) = delete;
  PicturePool& operator=(const PicturePool&) = delete;
  // Buffers still out are freed when their frames go.
  ~PicturePool();

  // A writable copy of |source|'s picture with its properties; null when
  // it cannot be made. A new size or format starts a new pool.
  FramePtr Copy(const AVFrame* source);

 private:
  AVBufferPool* pool_ = nullptr;
  int buffer_size_ = 0;
};

}  // namespace kelmora

#endif  // KELMORA_PICTURE_POOL_H_
