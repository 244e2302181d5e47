#ifndef PPPLATFORM_VIDEO_FRAME_IMPL_H_
#define PPPLATFORM_VIDEO_FRAME_IMPL_H_

#include <cstdint>

#include "ppapi/c/pp_size.h"
#include "ppapi/c/pp_time.h"
#include "ppapi/c/ppb_video_frame.h"
#include "ppapi/cpp/resource.h"
#include "ppplatform/lendable_buffer.h"

namespace pp {
namespace platform {

// The browser's video frame: one picture in one buffer, owned by whoever
// made it (a track, an encoder), lent to the module through pp::VideoFrame.
// Only while it is lent does the module see its data buffer (see
// LendableBuffer): an owner takes a frame back (RecycleFrame, Encode) with
// Reclaim. Any thread; the owner serialises Lend and Reclaim with its own
// lock.
class VideoFrameImpl : public ResourceObject {
 public:
  // A zeroed buffer of the size the format needs (I420/YV12: 3/2 bytes per
  // pixel, BGRA: 4). A new frame counts as lent.
  VideoFrameImpl(PP_VideoFrame_Format format, const PP_Size& size);

  static uint32_t BufferSize(PP_VideoFrame_Format format, const PP_Size& size);

  PP_VideoFrame_Format format() const { return format_; }
  const PP_Size& size() const { return size_; }
  PP_TimeDelta timestamp() const { return timestamp_; }
  void set_timestamp(PP_TimeDelta timestamp) { timestamp_ = timestamp; }
  // The owner's view of the buffer, lent or not.
  uint8_t* data() { return buffer_.data(); }
  uint32_t data_size() const { return buffer_.size(); }

  // The module's view: null unless the frame is lent.
  uint8_t* module_data() { return buffer_.module_data(); }
  bool is_lent() const { return buffer_.is_lent(); }
  void Lend() { buffer_.Lend(); }
  void Reclaim() { buffer_.Reclaim(); }

 private:
  const PP_VideoFrame_Format format_;
  const PP_Size size_;
  PP_TimeDelta timestamp_ = 0;
  LendableBuffer buffer_;
};

}  // namespace platform
}  // namespace pp

#endif  // PPPLATFORM_VIDEO_FRAME_IMPL_H_
