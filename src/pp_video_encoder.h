#ifndef KELMORA_PP_VIDEO_ENCODER_H_
#define KELMORA_PP_VIDEO_ENCODER_H_

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "ppapi/c/pp_codecs.h"
#include "ppapi/c/ppb_video_frame.h"
#include "ppapi/cpp/instance_handle.h"
#include "ppapi/cpp/size.h"
#include "ppapi/cpp/video_encoder.h"
#include "ppapi/cpp/video_frame.h"
#include "ppapi/utility/completion_callback_factory.h"
#include "threading.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace pp {
class Instance;
}

namespace kelmora {

// The browser's video encoder as the encoders "ppenc" (VP8) and
// "ppenc_vp9" (VP9) of the writers. The encoder callbacks run on the
// worker thread that drives the writer; every browser call but the final
// close runs on the main thread, and the worker blocks until the
// main-thread completion of each step has signalled it. So the writer must
// never be driven from the main thread, and the main thread must never
// wait for the worker while a step may be pending.
class PPVideoEncoder : public pp::VideoEncoder {
 public:
  // Module-wide record: the id of the instance through which encoders are
  // created (main thread, before any worker uses it) and the browser
  // version for the initial bit rate. Workers never reach the instance
  // object itself, which the main thread may be destroying.
  static void Register(pp::Instance* instance);
  // Clears the record when it names |instance|.
  static void Unregister(pp::Instance* instance);
  static void SetChromeVersion(int version);
  static bool HasInstance();

  // The join hook (added with the encoders' registration): main thread,
  // once the join flag is set and before it blocks in the join, wakes
  // every waiting step so that it sees the flag. Steps on a thread whose
  // instance is joining fail at once instead of waiting.
  static void WakeWaitingSteps();

  // Encoder callbacks, worker thread.
  static int AvInitVp8(AVCodecContext* context);
  static int AvInitVp9(AVCodecContext* context);
  static int AvEncodeFrame(AVCodecContext* context, AVPacket* packet,
                           const AVFrame* frame, int* got_packet);
  static int AvClose(AVCodecContext* context);

  // Bits per second asked for at start: the browser's default (0) from
  // version 48 on, else 60 bits per pixel.
  static uint32_t InitialBitrate(int chrome_version, const pp::Size& size);
  // An intra picture, at least every 5 s (pts in ms), and after a jump back.
  static bool ShouldForceKeyframe(const AVFrame* frame,
                                  int64_t last_keyframe_pts);

 private:
  PPVideoEncoder(const pp::InstanceHandle& instance, PP_VideoProfile profile);
  ~PPVideoEncoder() override;

  static int AvInit(AVCodecContext* context, PP_VideoProfile profile);
  int AvEncode(AVCodecContext* context, AVPacket* packet, const AVFrame* frame,
               int* got_packet);

  // Worker side of a step, with state_mutex_ held: posts |callback| to the
  // main thread and waits until |done| is set; returns |ok|. False without
  // waiting once the main thread is joining this worker.
  bool RunStepLocked(bool* done, bool* ok, const pp::CompletionCallback& callback);
  // Completion side, main thread.
  void Signal(bool* done, bool* ok, bool success);

  // Main-thread steps and their completions.
  void StartEncoder(int32_t unused);
  void OnInitialized(int32_t result);
  void GetVideoFrame(int32_t unused);
  void OnGetVideoFrame(int32_t result, pp::VideoFrame frame);
  void Encode(int32_t unused, bool force_keyframe);
  void OnEncodeDone(int32_t result);
  void OnBitstreamBuffer(int32_t result, PP_BitstreamBuffer buffer);

  pp::CompletionCallbackFactory<PPVideoEncoder, pp::ThreadSafeThreadTraits>
      callback_factory_;
  PP_VideoProfile profile_ = PP_VIDEOPROFILE_VP8_ANY;
  PP_VideoFrame_Format input_format_ = PP_VIDEOFRAME_FORMAT_I420;
  pp::Size frame_size_;
  pp::VideoFrame video_frame_;
  PP_BitstreamBuffer bitstream_buffer_ = {0, nullptr, PP_FALSE};
  Mutex state_mutex_;
  pthread_cond_t state_cond_;
  bool start_done_ = false;
  bool start_ok_ = false;
  bool encode_done_ = false;
  bool encode_ok_ = false;
  bool get_frame_done_ = false;
  bool get_frame_ok_ = false;
  int64_t last_keyframe_pts_ = 0;
};

}  // namespace kelmora

#endif  // KELMORA_PP_VIDEO_ENCODER_H_
