#include "pp_video_encoder.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "ppapi/c/pp_errors.h"
#include "ppapi/cpp/core.h"
#include "ppapi/cpp/instance.h"
#include "ppapi/cpp/module.h"
#include "frame_timeline.h"
#include "program_encoder.h"
#include "worker_base_instance.h"

namespace kelmora {

namespace {

// Written on the main thread, read on workers. The instance's id, not the
// instance: a worker may read it just as the main thread destroys the
// instance, and an id stays harmless (the browser refuses a dead one).
std::atomic<PP_Instance> registered_instance{0};
std::atomic<int> chrome_version{0};

// Encoders alive, so that a join can wake their waiting steps.
std::mutex live_encoders_mutex;
std::vector<PPVideoEncoder*> live_encoders;

bool MainThreadJoining() { return WorkerBaseInstance::JoinPendingOnThisThread(); }

const AVPixelFormat kPixelFormats[] = {AV_PIX_FMT_YUV420P, AV_PIX_FMT_NONE};

// No delay capability: one packet per frame, never a drain.
const ProgramEncoder kVp8Encoder = {
    "ppenc", "ppenc VP8", AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_VP8,
    kPixelFormats, nullptr, AV_CODEC_CAP_AUTO_THREADS,
    sizeof(PPVideoEncoder*), PPVideoEncoder::AvInitVp8,
    PPVideoEncoder::AvEncodeFrame, PPVideoEncoder::AvClose};

const ProgramEncoder kVp9Encoder = {
    "ppenc_vp9", "ppenc VP9", AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_VP9,
    kPixelFormats, nullptr, AV_CODEC_CAP_AUTO_THREADS,
    sizeof(PPVideoEncoder*), PPVideoEncoder::AvInitVp9,
    PPVideoEncoder::AvEncodeFrame, PPVideoEncoder::AvClose};

PPVideoEncoder** EncoderSlot(AVCodecContext* context) {
  return static_cast<PPVideoEncoder**>(context->priv_data);
}

// Hands a bitstream buffer back on the main thread. Bound to the browser
// resource, not to the encoder object, so that it may still run after the
// worker has deleted the object.
struct RecycleTask {
  pp::VideoEncoder encoder;
  PP_BitstreamBuffer buffer;
};

void RunRecycleTask(void* user_data, int32_t result) {
  RecycleTask* task = static_cast<RecycleTask*>(user_data);
  task->encoder.RecycleBitstreamBuffer(task->buffer);
  delete task;
}

void CallOnMainThread(const pp::CompletionCallback& callback) {
  pp::Module::Get()->core()->CallOnMainThread(0, callback);
}

bool OnMainThread() {
  pp::Module* module = pp::Module::Get();
  return module && module->core()->IsMainThread();
}

}  // namespace

void PPVideoEncoder::Register(pp::Instance* instance) {
  WorkerBaseInstance::AddJoinHook(&PPVideoEncoder::WakeWaitingSteps);
  registered_instance = instance ? instance->pp_instance() : 0;
  RegisterProgramEncoder(&kVp8Encoder);
  RegisterProgramEncoder(&kVp9Encoder);
}

void PPVideoEncoder::Unregister(pp::Instance* instance) {
  PP_Instance expected = instance->pp_instance();
  registered_instance.compare_exchange_strong(expected, 0);
}

void PPVideoEncoder::SetChromeVersion(int version) { chrome_version = version; }

bool PPVideoEncoder::HasInstance() { return registered_instance != 0; }

void PPVideoEncoder::WakeWaitingSteps() {
  std::lock_guard<std::mutex> live_lock(live_encoders_mutex);
  for (PPVideoEncoder* encoder : live_encoders) {
    // Under the step's lock: a waiter has either seen the flag or waits.
    ScopedLock lock(encoder->state_mutex_);
    pthread_cond_broadcast(&encoder->state_cond_);
  }
}

uint32_t PPVideoEncoder::InitialBitrate(int version, const pp::Size& size) {
  if (version > 47) return 0;
  return static_cast<uint32_t>(size.width()) * static_cast<uint32_t>(size.height()) * 60;
}

bool PPVideoEncoder::ShouldForceKeyframe(const AVFrame* frame,
                                         int64_t last_keyframe_pts) {
  if (frame->pict_type == AV_PICTURE_TYPE_I) return true;
  // Unsigned: a pts behind the last keyframe wraps to a large distance.
  return static_cast<uint64_t>(frame->pts) -
             static_cast<uint64_t>(last_keyframe_pts) >
         4999;
}

PPVideoEncoder::PPVideoEncoder(const pp::InstanceHandle& instance,
                               PP_VideoProfile profile)
    : pp::VideoEncoder(instance),
      callback_factory_(this),
      profile_(profile) {
  int result = pthread_cond_init(&state_cond_, nullptr);
  assert(!result);
  (void)result;
  std::lock_guard<std::mutex> lock(live_encoders_mutex);
  live_encoders.push_back(this);
}

PPVideoEncoder::~PPVideoEncoder() {
  {
    std::lock_guard<std::mutex> lock(live_encoders_mutex);
    live_encoders.erase(std::find(live_encoders.begin(), live_encoders.end(), this));
  }
  pthread_cond_destroy(&state_cond_);
}

int PPVideoEncoder::AvInitVp8(AVCodecContext* context) {
  return AvInit(context, PP_VIDEOPROFILE_VP8_ANY);
}

int PPVideoEncoder::AvInitVp9(AVCodecContext* context) {
  return AvInit(context, PP_VIDEOPROFILE_VP9_ANY);
}

int PPVideoEncoder::AvInit(AVCodecContext* context, PP_VideoProfile profile) {
  const PP_Instance instance = registered_instance;
  if (!instance || !pp::Module::Get()) {
    fprintf(stderr, "ppVideoEncoder instance not set");
    return AVERROR(EINVAL);
  }
  // Waiting on the main thread for the main thread would never end.
  assert(!OnMainThread());

  PPVideoEncoder* encoder =
      new PPVideoEncoder(pp::InstanceHandle(instance), profile);
  *EncoderSlot(context) = encoder;
  encoder->frame_size_ = pp::Size(context->width, context->height);

  bool started;
  {
    ScopedLock lock(encoder->state_mutex_);
    started = encoder->RunStepLocked(
        &encoder->start_done_, &encoder->start_ok_,
        encoder->callback_factory_.NewCallback(&PPVideoEncoder::StartEncoder));
  }
  if (!started) {
    // The library does not call close after a failed init.
    AvClose(context);
    return AVERROR_EXTERNAL;
  }
  return 0;
}

bool PPVideoEncoder::RunStepLocked(bool* done, bool* ok,
                                   const pp::CompletionCallback& callback) {
  // The main thread is blocked in the join and would never serve it.
  if (MainThreadJoining()) return false;
  *done = false;
  CallOnMainThread(callback);
  FrameTimeline::Step wait("wait main thread");
  while (!*done) {
    if (MainThreadJoining()) return false;
    pthread_cond_wait(&state_cond_, state_mutex_.native());
  }
  return *ok;
}

void PPVideoEncoder::Signal(bool* done, bool* ok, bool success) {
  ScopedLock lock(state_mutex_);
  *ok = success;
  *done = true;
  pthread_cond_signal(&state_cond_);
}

void PPVideoEncoder::StartEncoder(int32_t) {
  int32_t result = pp::VideoEncoder::Initialize(
      input_format_, frame_size_, profile_,
      InitialBitrate(chrome_version, frame_size_), PP_HARDWAREACCELERATION_NONE,
      callback_factory_.NewCallback(&PPVideoEncoder::OnInitialized));
  if (result != PP_OK_COMPLETIONPENDING) {
    fprintf(stderr, "start encoder failed: %d\n", result);
    Signal(&start_done_, &start_ok_, false);
  }
}

void PPVideoEncoder::OnInitialized(int32_t result) {
  if (result != PP_OK) {
    fprintf(stderr, "Encoder initialization failed: %d\n", result);
    Signal(&start_done_, &start_ok_, false);
    return;
  }
  printf("ppVideoEncoder: started\n");
  pp::Size coded_size;
  int32_t size_result = GetFrameCodedSize(&coded_size);
  if (size_result != PP_OK) {
    fprintf(stderr, "Cannot get encoder coded frame size %d\n", size_result);
    Signal(&start_done_, &start_ok_, false);
    return;
  }
  if (coded_size != frame_size_) {
    fprintf(stderr, "ppVideoEncoder, requires size %dx%d, but was %dx%d\n",
            coded_size.width(), coded_size.height(), frame_size_.width(),
            frame_size_.height());
    Signal(&start_done_, &start_ok_, false);
    return;
  }
  Signal(&start_done_, &start_ok_, true);
}

int PPVideoEncoder::AvEncodeFrame(AVCodecContext* context, AVPacket* packet,
                                  const AVFrame* frame, int* got_packet) {
  PPVideoEncoder* encoder = *EncoderSlot(context);
  return encoder->AvEncode(context, packet, frame, got_packet);
}

int PPVideoEncoder::AvEncode(AVCodecContext* context, AVPacket* packet,
                             const AVFrame* avframe, int* got_packet) {
  if (!avframe) {
    fprintf(stderr, "received null avframe\n");
    return 1;
  }
  if (packet->data) {
    fprintf(stderr, "PPVideoEncoder: cannot handle user-provided avpacket\n");
    return 1;
  }
  assert(avframe->format == AV_PIX_FMT_YUV420P);
  assert(!OnMainThread());

  ScopedLock lock(state_mutex_);
  if (!RunStepLocked(&get_frame_done_, &get_frame_ok_,
                     callback_factory_.NewCallback(&PPVideoEncoder::GetVideoFrame))) {
    fprintf(stderr, "PPVideoEncoder: getFrame failed\n");
    return 1;
  }
  assert(frame_size_.width() == avframe->width);
  assert(frame_size_.height() == avframe->height);

  // One tightly packed I420 picture: Y, then U, then V.
  const int width = avframe->width;
  const int height = avframe->height;
  const int chroma_width = (width + 1) / 2;
  const int chroma_height = (height + 1) / 2;
  uint8_t* out = static_cast<uint8_t*>(video_frame_.GetDataBuffer());
  assert(out && video_frame_.GetDataBufferSize() >=
                    static_cast<uint32_t>(width * height +
                                          2 * chroma_width * chroma_height));
  for (int plane = 0; plane < 3; ++plane) {
    const int plane_width = plane ? chroma_width : width;
    const int plane_height = plane ? chroma_height : height;
    for (int y = 0; y < plane_height; ++y) {
      memcpy(out, avframe->data[plane] + y * avframe->linesize[plane], plane_width);
      out += plane_width;
    }
  }

  const bool force_keyframe = ShouldForceKeyframe(avframe, last_keyframe_pts_);
  if (!RunStepLocked(&encode_done_, &encode_ok_,
                     callback_factory_.NewCallback(&PPVideoEncoder::Encode,
                                                   force_keyframe))) {
    fprintf(stderr, "PPVideoEncoder: encode failed\n");
    return 1;
  }

  const PP_BitstreamBuffer buffer = bitstream_buffer_;
  RecycleTask* recycle = new RecycleTask{*this, buffer};
  if (av_new_packet(packet, static_cast<int>(buffer.size)) < 0) {
    fprintf(stderr, "PPVideoEncoder: failed to allocate avpacket\n");
    CallOnMainThread(pp::CompletionCallback(&RunRecycleTask, recycle));
    return 1;
  }
  memcpy(packet->data, buffer.buffer, buffer.size);
  packet->pts = avframe->pts;
  packet->dts = avframe->pts;
  if (buffer.key_frame) {
    packet->flags |= AV_PKT_FLAG_KEY;
    last_keyframe_pts_ = avframe->pts;
  }
  *got_packet = 1;
  // Not waited for: main-thread work runs in the order posted, so the
  // buffer is back before the next frame is asked for.
  CallOnMainThread(pp::CompletionCallback(&RunRecycleTask, recycle));
  return 0;
}

void PPVideoEncoder::GetVideoFrame(int32_t) {
  int32_t result = pp::VideoEncoder::GetVideoFrame(
      callback_factory_.NewCallbackWithOutput(&PPVideoEncoder::OnGetVideoFrame));
  if (result != PP_OK_COMPLETIONPENDING) OnGetVideoFrame(result, pp::VideoFrame());
}

void PPVideoEncoder::OnGetVideoFrame(int32_t result, pp::VideoFrame frame) {
  if (result != PP_OK) {
    fprintf(stderr, "ppVideoEncoder: failed to get frame from encoder: %d\n", result);
    Signal(&get_frame_done_, &get_frame_ok_, false);
    return;
  }
  {
    ScopedLock lock(state_mutex_);
    video_frame_ = frame;
  }
  Signal(&get_frame_done_, &get_frame_ok_, true);
}

void PPVideoEncoder::Encode(int32_t, bool force_keyframe) {
  int32_t result = pp::VideoEncoder::Encode(
      video_frame_, force_keyframe,
      callback_factory_.NewCallback(&PPVideoEncoder::OnEncodeDone));
  if (result != PP_OK_COMPLETIONPENDING) OnEncodeDone(result);
}

void PPVideoEncoder::OnEncodeDone(int32_t result) {
  if (result == PP_ERROR_ABORTED) {
    // Closing; nobody waits, but never leave a waiter hanging.
    Signal(&encode_done_, &encode_ok_, false);
    return;
  }
  if (result != PP_OK) {
    // No buffer is asked for: none will come for this frame.
    fprintf(stderr, "pVideoEncoder: Encode failed: %d\n", result);
    Signal(&encode_done_, &encode_ok_, false);
    return;
  }
  int32_t buffer_result = pp::VideoEncoder::GetBitstreamBuffer(
      callback_factory_.NewCallbackWithOutput(&PPVideoEncoder::OnBitstreamBuffer));
  if (buffer_result != PP_OK_COMPLETIONPENDING) {
    OnBitstreamBuffer(buffer_result, PP_BitstreamBuffer{0, nullptr, PP_FALSE});
  }
}

void PPVideoEncoder::OnBitstreamBuffer(int32_t result, PP_BitstreamBuffer buffer) {
  if (result == PP_ERROR_ABORTED) {
    Signal(&encode_done_, &encode_ok_, false);
    return;
  }
  if (result != PP_OK) {
    fprintf(stderr, "Cannot get bitstream buffer %d\n", result);
    Signal(&encode_done_, &encode_ok_, false);
    return;
  }
  {
    ScopedLock lock(state_mutex_);
    bitstream_buffer_ = buffer;
  }
  Signal(&encode_done_, &encode_ok_, true);
}

int PPVideoEncoder::AvClose(AVCodecContext* context) {
  PPVideoEncoder** slot = EncoderSlot(context);
  if (!slot || !*slot) return 0;
  PPVideoEncoder* encoder = *slot;
  // No step is pending here: every one was waited for, and the buffer
  // returns are bound to the resource, which outlives the object.
  encoder->pp::VideoEncoder::Close();
  delete encoder;
  *slot = nullptr;
  return 0;
}

}  // namespace kelmora
