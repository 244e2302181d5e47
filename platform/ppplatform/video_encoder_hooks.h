#ifndef PPPLATFORM_VIDEO_ENCODER_HOOKS_H_
#define PPPLATFORM_VIDEO_ENCODER_HOOKS_H_

// Host side of the browser's video encoder: lets a test make encoders fail
// a step or report another coded size, and shows what they were asked.

#include <cstdint>

#include "ppapi/c/pp_codecs.h"
#include "ppapi/c/pp_size.h"
#include "ppapi/c/ppb_video_frame.h"

namespace pp {
namespace platform {

enum class VideoEncoderStep {
  kInitializeCall,     // Initialize fails at the call (a required callback
                       // still gets the result later)
  kInitialize,         // Initialize completes with the result
  kGetFrameCodedSize,  // GetFrameCodedSize returns the result
  kGetVideoFrame,      // GetVideoFrame completes with the result
  kEncode,             // Encode completes with the result, nothing encoded
  kGetBitstreamBuffer, // GetBitstreamBuffer completes with the result, the
                       // buffer it would have taken is lost
};

// The |nth| call of |step| from now on (1 = the next), by any encoder,
// fails with |result|. One failure per step is armed at a time.
void FailVideoEncoderStep(VideoEncoderStep step, int32_t result, int nth = 1);

// Encoders initialised from now on report this coded size and hand out
// frames of it; an empty size means the visible size.
void SetVideoEncoderCodedSize(const PP_Size& size);

// Encoders initialised from now on take |ms| longer to start, on the
// browser's thread, as a large or busy one would. The environment variable
// KELMORA_BROWSER_ENCODER_START_DELAY_MS gives the first value, so that a
// test can slow the encoders of a plugin-host that it runs.
void SetVideoEncoderStartDelay(int ms);

// What the encoders were asked, since the last reset.
struct VideoEncoderRecord {
  int initialize_calls = 0;
  PP_VideoFrame_Format input_format = PP_VIDEOFRAME_FORMAT_UNKNOWN;
  PP_Size visible_size = {0, 0};
  PP_VideoProfile profile = PP_VIDEOPROFILE_H264BASELINE;
  uint32_t initial_bitrate = 0;
  PP_HardwareAcceleration acceleration = PP_HARDWAREACCELERATION_ONLY;
  int frames_encoded = 0;
  int keyframes_requested = 0;
  int buffers_delivered = 0;
  int buffers_recycled = 0;
  int open_encoders = 0;  // initialised and not closed
  int waiting_requests = 0;  // frame and buffer requests not yet served
};
VideoEncoderRecord GetVideoEncoderRecord();

// Clears the armed failures, the coded size, the start delay and the record
// (except the counts of open encoders and waiting requests).
void ResetVideoEncoderHooks();

}  // namespace platform
}  // namespace pp

#endif  // PPPLATFORM_VIDEO_ENCODER_HOOKS_H_
