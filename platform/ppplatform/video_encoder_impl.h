#ifndef PPPLATFORM_VIDEO_ENCODER_IMPL_H_
#define PPPLATFORM_VIDEO_ENCODER_IMPL_H_

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "ppapi/c/pp_codecs.h"
#include "ppapi/c/pp_size.h"
#include "ppapi/c/ppb_video_frame.h"
#include "ppapi/cpp/completion_callback.h"
#include "ppapi/cpp/resource.h"
#include "ppapi/cpp/video_frame.h"
#include "ppplatform/pending_completion.h"
#include "ppplatform/video_frame_impl.h"
#include "ppplatform/vpx_encoder_engine.h"

namespace pp {
namespace platform {

// The browser-side encoder behind pp::VideoEncoder, encoding with libvpx.
// Calls come from any thread (in practice the main thread, and Close from
// a worker); each completion runs on the loop of the thread that made the
// call. The engine starts on a thread of the browser's own, as a browser
// builds its encoders away from the page's main thread; Close does not
// wait for a start in hand. Immediate failures are returned as they are;
// pp::VideoEncoder hands them to the callback as the completion rules say.
// Callbacks, which may hold the module's last reference to the encoder,
// are let go only after mutex_ (see DeferredReleases).
class VideoEncoderImpl : public ResourceObject,
                         public std::enable_shared_from_this<VideoEncoderImpl> {
 public:
  VideoEncoderImpl() = default;
  ~VideoEncoderImpl() override;

  int32_t GetSupportedProfiles(
      const CompletionCallbackWithOutput<std::vector<PP_VideoProfileDescription>>&
          callback);
  int32_t Initialize(PP_VideoFrame_Format input_format, const PP_Size& visible_size,
                     PP_VideoProfile profile, uint32_t initial_bitrate,
                     PP_HardwareAcceleration acceleration,
                     const CompletionCallback& callback);
  int32_t GetFramesRequired();
  int32_t GetFrameCodedSize(PP_Size* coded_size);
  int32_t GetVideoFrame(const CompletionCallbackWithOutput<VideoFrame>& callback);
  // The frame is the encoder's again from this call on, whatever the
  // result: the module's data pointer to it is gone.
  int32_t Encode(const VideoFrame& frame, bool force_keyframe,
                 const CompletionCallback& callback);
  int32_t GetBitstreamBuffer(
      const CompletionCallbackWithOutput<PP_BitstreamBuffer>& callback);
  void RecycleBitstreamBuffer(const PP_BitstreamBuffer& buffer);
  void RequestEncodingParametersChange(uint32_t bitrate, uint32_t framerate);
  // Aborts every call in flight; later calls fail.
  void Close();

 private:
  // kStarting: the engine starts on the browser's thread; kInitializing:
  // started, until the caller sees the completion.
  enum class State { kNew, kStarting, kInitializing, kReady, kFailed, kClosed };

  void LastModuleReferenceReleased() override;
  // Browser's thread: the engine's start is over.
  void OnEngineStarted(bool started, const PP_Size& visible_size);
  // Closed since its start was asked.
  bool StartAbandoned();

  // With mutex_ held: hand waiting requests what is now available; the
  // requests' callbacks go with |later|.
  void ServeFrameRequestLocked(DeferredReleases* later);
  void ServeBufferRequestLocked(DeferredReleases* later);
  // With mutex_ held: keeps the hooks' count of waiting requests.
  void CountWaitingLocked();
  // With mutex_ held: the visible part of |frame|'s picture, packed.
  const uint8_t* VisiblePictureLocked(VideoFrameImpl* frame, std::vector<uint8_t>* copy);

  std::mutex mutex_;
  State state_ = State::kNew;
  // Shared with its start on the browser's thread, which closes it when
  // this encoder has been closed (or has gone) meanwhile.
  std::shared_ptr<VpxEncoderEngine> engine_ = std::make_shared<VpxEncoderEngine>();
  PP_Size visible_size_ = {0, 0};
  PP_Size coded_size_ = {0, 0};
  std::vector<std::shared_ptr<VideoFrameImpl>> free_frames_;
  std::map<VideoFrameImpl*, std::shared_ptr<VideoFrameImpl>> lent_frames_;
  std::deque<std::unique_ptr<VpxEncoderEngine::Output>> ready_;
  std::map<const void*, std::unique_ptr<VpxEncoderEngine::Output>> delivered_;
  int waiting_ = 0;
  CompletionGroup calls_;
  PendingCompletion<> start_call_;
  PendingCompletion<CompletionCallbackWithOutput<VideoFrame>> frame_request_;
  PendingCompletion<CompletionCallbackWithOutput<PP_BitstreamBuffer>> buffer_request_;
};

}  // namespace platform
}  // namespace pp

#endif  // PPPLATFORM_VIDEO_ENCODER_IMPL_H_
