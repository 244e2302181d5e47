#include "ppapi/cpp/video_frame.h"

#include "ppplatform/video_frame_impl.h"

namespace pp {

namespace platform {

VideoFrameImpl::VideoFrameImpl(PP_VideoFrame_Format format, const PP_Size& size)
    : format_(format), size_(size), data_(BufferSize(format, size)) {}

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

VideoFrame::VideoFrame() = default;
VideoFrame::VideoFrame(const VideoFrame& other) = default;
VideoFrame::VideoFrame(const Resource& resource) : Resource(resource) {
  if (!object_as<platform::VideoFrameImpl>()) set_object(nullptr);
}
VideoFrame::~VideoFrame() = default;
VideoFrame& VideoFrame::operator=(const VideoFrame& other) = default;

PP_TimeDelta VideoFrame::GetTimestamp() const {
  auto frame = object_as<platform::VideoFrameImpl>();
  return frame ? frame->timestamp() : 0;
}

void VideoFrame::SetTimestamp(PP_TimeDelta timestamp) {
  if (auto frame = object_as<platform::VideoFrameImpl>()) {
    frame->set_timestamp(timestamp);
  }
}

PP_VideoFrame_Format VideoFrame::GetFormat() const {
  auto frame = object_as<platform::VideoFrameImpl>();
  return frame ? frame->format() : PP_VIDEOFRAME_FORMAT_UNKNOWN;
}

bool VideoFrame::GetSize(Size* size) const {
  auto frame = object_as<platform::VideoFrameImpl>();
  if (!frame) return false;
  *size = Size(frame->size());
  return true;
}

void* VideoFrame::GetDataBuffer() {
  auto frame = object_as<platform::VideoFrameImpl>();
  return frame ? frame->data() : nullptr;
}

uint32_t VideoFrame::GetDataBufferSize() const {
  auto frame = object_as<platform::VideoFrameImpl>();
  return frame ? frame->data_size() : 0;
}

}  // namespace pp
