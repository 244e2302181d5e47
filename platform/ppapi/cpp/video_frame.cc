#include "ppapi/cpp/video_frame.h"

#include "ppplatform/video_frame_impl.h"

namespace pp {

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
  return frame ? frame->module_data() : nullptr;
}

uint32_t VideoFrame::GetDataBufferSize() const {
  auto frame = object_as<platform::VideoFrameImpl>();
  return frame ? frame->data_size() : 0;
}

}  // namespace pp
