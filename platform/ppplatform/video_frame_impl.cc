#include "ppplatform/video_frame_impl.h"

namespace pp {
namespace platform {

VideoFrameImpl::VideoFrameImpl(PP_VideoFrame_Format format, const PP_Size& size)
    : format_(format), size_(size), buffer_(BufferSize(format, size)) {}

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

}  // namespace platform
}  // namespace pp
