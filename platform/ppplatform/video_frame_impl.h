#ifndef PPPLATFORM_VIDEO_FRAME_IMPL_H_
#define PPPLATFORM_VIDEO_FRAME_IMPL_H_

#include <cstdint>
#include <vector>

#include "ppapi/c/pp_size.h"
#include "ppapi/c/pp_time.h"
#include "ppapi/c/ppb_video_frame.h"
#include "ppapi/cpp/resource.h"

namespace pp {
namespace platform {

// The browser's video frame: one picture in one buffer, owned by whoever
// made it (a track, an encoder), lent to the module through pp::VideoFrame.
class VideoFrameImpl : public ResourceObject {
 public:
  // A zeroed buffer of the size the format needs (I420/YV12: 3/2 bytes per
  // pixel, BGRA: 4).
  VideoFrameImpl(PP_VideoFrame_Format format, const PP_Size& size);

  static uint32_t BufferSize(PP_VideoFrame_Format format, const PP_Size& size);

  PP_VideoFrame_Format format() const { return format_; }
  const PP_Size& size() const { return size_; }
  PP_TimeDelta timestamp() const { return timestamp_; }
  void set_timestamp(PP_TimeDelta timestamp) { timestamp_ = timestamp; }
  // Null once the data is dropped.
  uint8_t* data() { return data_.empty() ? nullptr : data_.data(); }
  uint32_t data_size() const { return static_cast<uint32_t>(data_.size()); }
  // Frees the picture: a frame handed back to its owner must not show the
  // module the next picture through a stale reference.
  void DropData() { std::vector<uint8_t>().swap(data_); }

 private:
  const PP_VideoFrame_Format format_;
  const PP_Size size_;
  PP_TimeDelta timestamp_ = 0;
  std::vector<uint8_t> data_;
};

}  // namespace platform
}  // namespace pp

#endif  // PPPLATFORM_VIDEO_FRAME_IMPL_H_
