#ifndef PPPLATFORM_MEDIA_STREAM_VIDEO_TRACK_IMPL_H_
#define PPPLATFORM_MEDIA_STREAM_VIDEO_TRACK_IMPL_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ppapi/c/pp_size.h"
#include "ppapi/c/pp_time.h"
#include "ppapi/c/ppb_media_stream_video_track.h"
#include "ppapi/c/ppb_video_frame.h"
#include "ppapi/cpp/completion_callback.h"
#include "ppapi/cpp/video_frame.h"
#include "ppplatform/media_stream_track_core.h"
#include "ppplatform/video_frame_impl.h"

struct SwsContext;

namespace pp {
namespace platform {

// One picture from a source, in the source's own size: I420 planes.
struct I420Picture {
  const uint8_t* planes[3];
  int strides[3];
  PP_Size size;
};

// The browser's video track. The module side (Configure, GetAttrib and the
// calls of the core) is called from any thread with a message loop; the
// source side (DeliverFrame, End) from the source's thread.
class MediaStreamVideoTrackImpl : public MediaStreamTrackCore<VideoFrame, VideoFrameImpl> {
 public:
  static constexpr int32_t kDefaultBufferedFrames = 4;
  static constexpr int32_t kMaxBufferedFrames = 8;
  static constexpr int32_t kMaxSide = 4096;

  // A live track, known to the hooks by |id|.
  static std::shared_ptr<MediaStreamVideoTrackImpl> Create(const std::string& id);
  explicit MediaStreamVideoTrackImpl(const std::string& id);
  ~MediaStreamVideoTrackImpl() override;

  int32_t Configure(const int32_t attributes[], const CompletionCallback& callback);
  int32_t GetAttrib(PP_MediaStreamVideoTrack_Attrib attrib, int32_t* value);

  // One picture captured at |timestamp| (seconds of the platform's time
  // ticks), scaled and converted as configured. False when it was dropped:
  // every buffer is in use, or the track has ended.
  bool DeliverFrame(const I420Picture& picture, PP_TimeTicks timestamp);

 private:
  // A frame of the track's own set that nobody holds any more (neither
  // queued nor lent, and no module reference), or a new one that joins the
  // set: a browser's track fills the same few buffers again and again.
  std::shared_ptr<VideoFrameImpl> TakeFrame(PP_VideoFrame_Format format, const PP_Size& size);
  // Fills |frame| from |picture|; false when the conversion fails.
  bool Convert(const I420Picture& picture, VideoFrameImpl* frame);

  // Guarded by the core's mutex.
  int32_t width_ = 0;   // 0: the source's
  int32_t height_ = 0;  // 0: the source's
  PP_VideoFrame_Format format_ = PP_VIDEOFRAME_FORMAT_I420;
  PP_Size source_size_ = {0, 0};

  std::mutex frames_mutex_;
  std::vector<std::shared_ptr<VideoFrameImpl>> frames_;  // guarded by frames_mutex_

  // Only the source's thread converts; the lock keeps a second source safe.
  std::mutex scale_mutex_;
  SwsContext* scaler_ = nullptr;
};

}  // namespace platform
}  // namespace pp

#endif  // PPPLATFORM_MEDIA_STREAM_VIDEO_TRACK_IMPL_H_
