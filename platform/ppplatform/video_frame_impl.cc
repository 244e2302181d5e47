#include "ppplatform/video_frame_impl.h"

#include <cstring>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KELMORA_FRAME_BUFFER_MOVES 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KELMORA_FRAME_BUFFER_MOVES 1
#endif

namespace pp {
namespace platform {

VideoFrameImpl::VideoFrameImpl(PP_VideoFrame_Format format, const PP_Size& size)
    : format_(format),
      size_(size),
      size_in_bytes_(BufferSize(format, size)),
      data_(new uint8_t[size_in_bytes_]()) {}

VideoFrameImpl::~VideoFrameImpl() = default;

uint32_t VideoFrameImpl::BufferSize(PP_VideoFrame_Format format,
                                    const PP_Size& size) {
  if (size.width <= 0 || size.height <= 0) return 0;
  const uint64_t pixels = static_cast<uint64_t>(size.width) * size.height;
  switch (format) {
    case PP_VIDEOFRAME_FORMAT_I420:
    case PP_VIDEOFRAME_FORMAT_YV12:
      // Chroma planes of odd sizes round up.
      return static_cast<uint32_t>(
          pixels + 2 * static_cast<uint64_t>((size.width + 1) / 2) *
                       ((size.height + 1) / 2));
    case PP_VIDEOFRAME_FORMAT_BGRA:
      return static_cast<uint32_t>(pixels * 4);
    default:
      return 0;
  }
}

void VideoFrameImpl::Lend() { lent_.store(true); }

void VideoFrameImpl::Reclaim() {
  if (!lent_.exchange(false)) return;
#ifdef KELMORA_FRAME_BUFFER_MOVES
  std::unique_ptr<uint8_t[]> moved(new uint8_t[size_in_bytes_]);
  memcpy(moved.get(), data_.get(), size_in_bytes_);
  data_ = std::move(moved);
#endif
}

}  // namespace platform
}  // namespace pp
