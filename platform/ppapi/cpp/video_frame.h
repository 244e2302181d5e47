#ifndef PPAPI_CPP_VIDEO_FRAME_H_
#define PPAPI_CPP_VIDEO_FRAME_H_

#include "ppapi/c/pp_stdint.h"
#include "ppapi/c/pp_time.h"
#include "ppapi/c/ppb_video_frame.h"
#include "ppapi/cpp/resource.h"
#include "ppapi/cpp/size.h"

namespace pp {

// A picture lent by the browser (a track's frame, an encoder's input).
class VideoFrame : public Resource {
 public:
  VideoFrame();  // null
  VideoFrame(const VideoFrame& other);
  explicit VideoFrame(const Resource& resource);
  ~VideoFrame() override;
  VideoFrame& operator=(const VideoFrame& other);

  PP_TimeDelta GetTimestamp() const;
  void SetTimestamp(PP_TimeDelta timestamp);
  PP_VideoFrame_Format GetFormat() const;
  // False for a null frame.
  bool GetSize(Size* size) const;
  // Null for a null frame, and once the frame went back to its owner
  // (RecycleFrame, Encode).
  void* GetDataBuffer();
  uint32_t GetDataBufferSize() const;
};

}  // namespace pp

#endif  // PPAPI_CPP_VIDEO_FRAME_H_
