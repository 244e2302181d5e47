#ifndef PPAPI_CPP_VIDEO_ENCODER_H_
#define PPAPI_CPP_VIDEO_ENCODER_H_

#include <vector>

#include "ppapi/c/pp_codecs.h"
#include "ppapi/c/pp_stdint.h"
#include "ppapi/c/ppb_video_frame.h"
#include "ppapi/cpp/completion_callback.h"
#include "ppapi/cpp/instance_handle.h"
#include "ppapi/cpp/resource.h"
#include "ppapi/cpp/size.h"
#include "ppapi/cpp/video_frame.h"

namespace pp {

// The browser's video encoder. Asynchronous calls complete on the loop of
// the thread that made them; a required callback gets also an immediate
// failure that way (the call returns PP_OK_COMPLETIONPENDING), an optional
// one gets it as the call's result. After Close, and once the module holds
// no reference to the encoder, every pending completion reports
// PP_ERROR_ABORTED.
class VideoEncoder : public Resource {
 public:
  VideoEncoder();  // null
  explicit VideoEncoder(const InstanceHandle& instance);
  VideoEncoder(const VideoEncoder& other);
  ~VideoEncoder() override;
  VideoEncoder& operator=(const VideoEncoder& other);

  int32_t GetSupportedProfiles(
      const CompletionCallbackWithOutput<std::vector<PP_VideoProfileDescription>>&
          callback);
  // |initial_bitrate| in bits per second; 0 lets the encoder choose.
  int32_t Initialize(const PP_VideoFrame_Format& input_format,
                     const Size& input_visible_size,
                     const PP_VideoProfile& output_profile,
                     const uint32_t initial_bitrate,
                     PP_HardwareAcceleration acceleration,
                     const CompletionCallback& callback);
  // After Initialize completed: how many frames the client may hold.
  int32_t GetFramesRequired();
  // After Initialize completed: the size every frame must have.
  int32_t GetFrameCodedSize(Size* coded_size);
  // A frame to fill with one tightly packed picture of the coded size.
  int32_t GetVideoFrame(const CompletionCallbackWithOutput<VideoFrame>& callback);
  // Takes a frame from GetVideoFrame; completes when the encoder is done
  // with it. The frame's data buffer is gone for the module from this call
  // on.
  int32_t Encode(const VideoFrame& video_frame, bool force_keyframe,
                 const CompletionCallback& callback);
  // The next compressed frame, valid until RecycleBitstreamBuffer.
  int32_t GetBitstreamBuffer(
      const CompletionCallbackWithOutput<PP_BitstreamBuffer>& callback);
  void RecycleBitstreamBuffer(const PP_BitstreamBuffer& bitstream_buffer);
  void RequestEncodingParametersChange(uint32_t bitrate, uint32_t framerate);
  // Any thread.
  void Close();
};

}  // namespace pp

#endif  // PPAPI_CPP_VIDEO_ENCODER_H_
