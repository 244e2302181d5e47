#include "picture_pool.h"

extern "C" {
#include <libavutil/imgutils.h>
}

namespace kelmora {

namespace {

// Lines start aligned for the encoders' vector code.
constexpr int kLineAlign = 32;

}  // namespace

PicturePool::~PicturePool() { av_buffer_pool_uninit(&pool_); }

FramePtr PicturePool::Copy(const AVFrame* source) {
  const AVPixelFormat format = static_cast<AVPixelFormat>(source->format);
  const int size = av_image_get_buffer_size(format, source->width, source->height, kLineAlign);
  if (size <= 0) return nullptr;
  if (!pool_ || size != buffer_size_) {
    av_buffer_pool_uninit(&pool_);
    pool_ = av_buffer_pool_init(size, nullptr);
    buffer_size_ = size;
    if (!pool_) return nullptr;
  }
  FramePtr copy(av_frame_alloc());
  if (!copy) return nullptr;
  copy->buf[0] = av_buffer_pool_get(pool_);
  if (!copy->buf[0]) return nullptr;
  if (av_image_fill_arrays(copy->data, copy->linesize, copy->buf[0]->data, format,
                           source->width, source->height, kLineAlign) < 0) {
    return nullptr;
  }
  copy->format = source->format;
  copy->width = source->width;
  copy->height = source->height;
  av_image_copy(copy->data, copy->linesize, const_cast<const uint8_t**>(source->data),
                source->linesize, format, source->width, source->height);
  if (av_frame_copy_props(copy.get(), source) < 0) return nullptr;
  return copy;
}

}  // namespace kelmora
