#ifndef PPPLATFORM_VIDEO_FRAME_IMPL_H_
#define PPPLATFORM_VIDEO_FRAME_IMPL_H_

#include <atomic>
#include <cstdint>
#include <memory>

#include "ppapi/c/pp_size.h"
#include "ppapi/c/pp_time.h"
#include "ppapi/c/ppb_video_frame.h"
#include "ppapi/cpp/resource.h"

namespace pp {
namespace platform {

// The browser's video frame: one picture in one buffer, owned by whoever
// made it (a track, an encoder), lent to the module through pp::VideoFrame.
// Only while it is lent does the module see its data buffer: an owner that
// takes a frame back (RecycleFrame, Encode) calls Reclaim, and the module's
// pointer is dead from then on. Any thread; the owner serialises Lend and
// Reclaim with its own lock.
class VideoFrameImpl : public ResourceObject {
 public:
  // A zeroed buffer of the size the format needs (I420/YV12: 3/2 bytes per
  // pixel, BGRA: 4). A new frame counts as lent.
  VideoFrameImpl(PP_VideoFrame_Format format, const PP_Size& size);
  ~VideoFrameImpl() override;

  static uint32_t BufferSize(PP_VideoFrame_Format format, const PP_Size& size);

  PP_VideoFrame_Format format() const { return format_; }
  const PP_Size& size() const { return size_; }
  PP_TimeDelta timestamp() const { return timestamp_; }
  void set_timestamp(PP_TimeDelta timestamp) { timestamp_ = timestamp; }
  // The owner's view of the buffer, lent or not.
  uint8_t* data() { return data_.get(); }
  uint32_t data_size() const { return size_in_bytes_; }

  // The module's view: null unless the frame is lent.
  uint8_t* module_data() { return lent_.load() ? data_.get() : nullptr; }
  bool is_lent() const { return lent_.load(); }
  void Lend();
  // Back with the owner. In sanitizer builds the buffer also moves (the
  // picture is kept), so that a pointer the module kept reaches freed
  // memory and is reported.
  void Reclaim();

 private:
  const PP_VideoFrame_Format format_;
  const PP_Size size_;
  const uint32_t size_in_bytes_;
  PP_TimeDelta timestamp_ = 0;
  std::unique_ptr<uint8_t[]> data_;
  std::atomic<bool> lent_{true};
};

}  // namespace platform
}  // namespace pp

#endif  // PPPLATFORM_VIDEO_FRAME_IMPL_H_
