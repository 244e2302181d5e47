#include "ppplatform/video_encoder_impl.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <thread>

#include "ppapi/c/pp_errors.h"
#include "ppplatform/armed_failure.h"
#include "ppplatform/video_encoder_hooks.h"

namespace pp {
namespace platform {

namespace {

constexpr int kStepCount = 6;
// Frames the client may hold, and the largest picture, as a browser's
// software encoder has them.
constexpr int32_t kFramesRequired = 2;
constexpr int32_t kMaxWidth = 4096;
constexpr int32_t kMaxHeight = 2176;

int StartDelayFromEnvironment() {
  const char* value = getenv("KELMORA_BROWSER_ENCODER_START_DELAY_MS");
  return value && *value ? std::max(0, atoi(value)) : 0;
}

struct Hooks {
  std::mutex mutex;
  ArmedFailure steps[kStepCount];
  PP_Size coded_size = {0, 0};
  int start_delay_ms = StartDelayFromEnvironment();
  VideoEncoderRecord record;
};

Hooks& GetHooks() {
  static Hooks* hooks = new Hooks;
  return *hooks;
}

int StartDelay() {
  Hooks& hooks = GetHooks();
  std::lock_guard<std::mutex> lock(hooks.mutex);
  return hooks.start_delay_ms;
}

// The result that this call of |step| must give instead of its own, or
// PP_OK.
int32_t TakeFailure(VideoEncoderStep step) {
  Hooks& hooks = GetHooks();
  std::lock_guard<std::mutex> lock(hooks.mutex);
  return hooks.steps[static_cast<int>(step)].Take();
}

template <typename F>
void Record(F change) {
  Hooks& hooks = GetHooks();
  std::lock_guard<std::mutex> lock(hooks.mutex);
  change(hooks.record);
}

// The browser's own thread for starting encoders: a browser builds its
// encoders away from the page's main thread. One for all encoders; it
// ends with the process, after the starts it was given.
class EngineThread {
 public:
  static EngineThread& Get() {
    static EngineThread thread;
    return thread;
  }

  void Post(std::function<void()> task) {
    std::lock_guard<std::mutex> lock(mutex_);
    // A forked child has the object but not the thread: it starts its own
    // (the parent's stays the parent's).
    if (!thread_ || owner_ != getpid()) {
      owner_ = getpid();
      thread_ = new std::thread([this] { Run(); });
    }
    tasks_.push_back(std::move(task));
    wake_.notify_one();
  }

 private:
  EngineThread() = default;
  ~EngineThread() {
    std::thread* thread;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      wake_.notify_one();
      thread = owner_ == getpid() ? thread_ : nullptr;
    }
    if (!thread) return;
    thread->join();
    delete thread;
  }

  void Run() {
    pthread_setname_np(pthread_self(), "browser-encoder");
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
      if (tasks_.empty()) return;
      std::function<void()> task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
      task = nullptr;
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  std::thread* thread_ = nullptr;
  pid_t owner_ = 0;
};

}  // namespace

void FailVideoEncoderStep(VideoEncoderStep step, int32_t result, int nth) {
  Hooks& hooks = GetHooks();
  std::lock_guard<std::mutex> lock(hooks.mutex);
  hooks.steps[static_cast<int>(step)].Arm(result, nth);
}

void SetVideoEncoderCodedSize(const PP_Size& size) {
  Hooks& hooks = GetHooks();
  std::lock_guard<std::mutex> lock(hooks.mutex);
  hooks.coded_size = size;
}

void SetVideoEncoderStartDelay(int ms) {
  Hooks& hooks = GetHooks();
  std::lock_guard<std::mutex> lock(hooks.mutex);
  hooks.start_delay_ms = std::max(0, ms);
}

VideoEncoderRecord GetVideoEncoderRecord() {
  Hooks& hooks = GetHooks();
  std::lock_guard<std::mutex> lock(hooks.mutex);
  return hooks.record;
}

void ResetVideoEncoderHooks() {
  Hooks& hooks = GetHooks();
  std::lock_guard<std::mutex> lock(hooks.mutex);
  for (ArmedFailure& armed : hooks.steps) armed = ArmedFailure();
  hooks.coded_size = PP_MakeSize(0, 0);
  hooks.start_delay_ms = 0;
  VideoEncoderRecord kept = hooks.record;
  hooks.record = VideoEncoderRecord();
  hooks.record.open_encoders = kept.open_encoders;
  hooks.record.waiting_requests = kept.waiting_requests;
}

VideoEncoderImpl::~VideoEncoderImpl() { Close(); }

void VideoEncoderImpl::LastModuleReferenceReleased() { Close(); }

int32_t VideoEncoderImpl::GetSupportedProfiles(
    const CompletionCallbackWithOutput<std::vector<PP_VideoProfileDescription>>&
        callback) {
  std::vector<PP_VideoProfileDescription> profiles;
  for (PP_VideoProfile profile : {PP_VIDEOPROFILE_VP8_ANY, PP_VIDEOPROFILE_VP9_ANY}) {
    PP_VideoProfileDescription description;
    description.profile = profile;
    description.max_resolution = PP_MakeSize(kMaxWidth, kMaxHeight);
    description.max_framerate_numerator = 30;
    description.max_framerate_denominator = 1;
    description.hardware_accelerated = PP_FALSE;
    profiles.push_back(description);
  }
  PendingCompletion<CompletionCallbackWithOutput<std::vector<PP_VideoProfileDescription>>>
      call;
  int32_t bound = call.Bind(callback, &calls_);
  if (bound != PP_OK_COMPLETIONPENDING) return bound;
  auto* output = call.callback().output();
  call.Complete(PP_OK, [output, profiles]() {
    if (output) *output = profiles;
  });
  return PP_OK_COMPLETIONPENDING;
}

int32_t VideoEncoderImpl::Initialize(PP_VideoFrame_Format input_format,
                                     const PP_Size& visible_size,
                                     PP_VideoProfile profile,
                                     uint32_t initial_bitrate,
                                     PP_HardwareAcceleration acceleration,
                                     const CompletionCallback& callback) {
  Record([&](VideoEncoderRecord& record) {
    ++record.initialize_calls;
    record.input_format = input_format;
    record.visible_size = visible_size;
    record.profile = profile;
    record.initial_bitrate = initial_bitrate;
    record.acceleration = acceleration;
  });
  int32_t failure = TakeFailure(VideoEncoderStep::kInitializeCall);
  if (failure != PP_OK) return failure;

  DeferredReleases later;
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_ != State::kNew) return PP_ERROR_FAILED;
  PendingCompletion<> call;
  int32_t bound = call.Bind(callback, &calls_);
  if (bound != PP_OK_COMPLETIONPENDING) return bound;
  int32_t result = PP_OK;
  if (input_format != PP_VIDEOFRAME_FORMAT_I420 || visible_size.width <= 0 ||
      visible_size.height <= 0 || visible_size.width > kMaxWidth ||
      visible_size.height > kMaxHeight) {
    result = PP_ERROR_BADARGUMENT;
  } else if (profile != PP_VIDEOPROFILE_VP8_ANY && profile != PP_VIDEOPROFILE_VP9_ANY) {
    result = PP_ERROR_NOTSUPPORTED;
  } else if (acceleration == PP_HARDWAREACCELERATION_ONLY) {
    result = PP_ERROR_NOTSUPPORTED;  // no hardware encoder here
  } else {
    result = TakeFailure(VideoEncoderStep::kInitialize);
  }
  if (result != PP_OK) {
    state_ = State::kFailed;
    call.Complete(result, nullptr, &later);
    return PP_OK_COMPLETIONPENDING;
  }

  // The engine starts on the browser's thread: a large one takes a second,
  // which the caller's thread (the page's main thread) does not wait.
  state_ = State::kStarting;
  start_call_ = std::move(call);
  std::weak_ptr<VideoEncoderImpl> weak_self = shared_from_this();
  std::shared_ptr<VpxEncoderEngine> engine = engine_;
  const VpxEncoderEngine::Codec codec = profile == PP_VIDEOPROFILE_VP8_ANY
                                            ? VpxEncoderEngine::Codec::kVp8
                                            : VpxEncoderEngine::Codec::kVp9;
  const int delay_ms = StartDelay();
  EngineThread::Get().Post([weak_self, engine, codec, visible_size, initial_bitrate, delay_ms] {
    // The slow start of the hook ends early when its encoder is closed.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(delay_ms);
    while (std::chrono::steady_clock::now() < until) {
      std::shared_ptr<VideoEncoderImpl> self = weak_self.lock();
      if (!self || self->StartAbandoned()) return;
      self.reset();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const bool started = engine->Initialize(codec, visible_size.width, visible_size.height,
                                            initial_bitrate, 30);
    // Gone or closed meanwhile: the engine goes with this task.
    if (std::shared_ptr<VideoEncoderImpl> self = weak_self.lock()) {
      self->OnEngineStarted(started, visible_size);
    }
  });
  return PP_OK_COMPLETIONPENDING;
}

bool VideoEncoderImpl::StartAbandoned() {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_ != State::kStarting;
}

void VideoEncoderImpl::OnEngineStarted(bool started, const PP_Size& visible_size) {
  DeferredReleases later;
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_ != State::kStarting) {
    engine_->Close();
    return;
  }
  if (!started) {
    state_ = State::kFailed;
    start_call_.Complete(PP_ERROR_FAILED, nullptr, &later);
    return;
  }
  visible_size_ = visible_size;
  coded_size_ = visible_size;
  {
    Hooks& hooks = GetHooks();
    std::lock_guard<std::mutex> hooks_lock(hooks.mutex);
    if (hooks.coded_size.width > 0 && hooks.coded_size.height > 0) {
      coded_size_ = hooks.coded_size;
    }
    ++hooks.record.open_encoders;
  }
  for (int i = 0; i < kFramesRequired; ++i) {
    auto frame = std::make_shared<VideoFrameImpl>(PP_VIDEOFRAME_FORMAT_I420, coded_size_);
    frame->Reclaim();
    free_frames_.push_back(std::move(frame));
  }
  state_ = State::kInitializing;
  std::weak_ptr<VideoEncoderImpl> weak_self = shared_from_this();
  // Ready once the client sees the completion.
  start_call_.Complete(PP_OK, [weak_self]() {
    std::shared_ptr<VideoEncoderImpl> self = weak_self.lock();
    if (!self) return;
    std::lock_guard<std::mutex> lock(self->mutex_);
    if (self->state_ == State::kInitializing) self->state_ = State::kReady;
  }, &later);
}

int32_t VideoEncoderImpl::GetFramesRequired() {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_ == State::kReady ? kFramesRequired : PP_ERROR_FAILED;
}

int32_t VideoEncoderImpl::GetFrameCodedSize(PP_Size* coded_size) {
  int32_t failure = TakeFailure(VideoEncoderStep::kGetFrameCodedSize);
  if (failure != PP_OK) return failure;
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_ != State::kReady) return PP_ERROR_FAILED;
  *coded_size = coded_size_;
  return PP_OK;
}

int32_t VideoEncoderImpl::GetVideoFrame(
    const CompletionCallbackWithOutput<VideoFrame>& callback) {
  DeferredReleases later;
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_ != State::kReady) return PP_ERROR_FAILED;
  if (frame_request_.is_pending()) return PP_ERROR_INPROGRESS;
  int32_t failure = TakeFailure(VideoEncoderStep::kGetVideoFrame);
  if (failure != PP_OK) return failure;
  int32_t bound = frame_request_.Bind(callback, &calls_);
  if (bound != PP_OK_COMPLETIONPENDING) return bound;
  ServeFrameRequestLocked(&later);
  CountWaitingLocked();
  return PP_OK_COMPLETIONPENDING;
}

void VideoEncoderImpl::ServeFrameRequestLocked(DeferredReleases* later) {
  if (!frame_request_.is_pending() || free_frames_.empty()) return;
  std::shared_ptr<VideoFrameImpl> frame = free_frames_.back();
  free_frames_.pop_back();
  lent_frames_[frame.get()] = frame;
  frame->Lend();
  VideoFrame* output = frame_request_.callback().output();
  frame_request_.Complete(PP_OK, [output, frame]() {
    if (output) *output = VideoFrame(Resource(frame));
  }, later);
}

const uint8_t* VideoEncoderImpl::VisiblePictureLocked(VideoFrameImpl* frame,
                                                      std::vector<uint8_t>* copy) {
  if (coded_size_.width == visible_size_.width &&
      coded_size_.height == visible_size_.height) {
    return frame->data();
  }
  const int vw = visible_size_.width, vh = visible_size_.height;
  const int cw = coded_size_.width, ch = coded_size_.height;
  copy->resize(VideoFrameImpl::BufferSize(PP_VIDEOFRAME_FORMAT_I420, visible_size_));
  uint8_t* out = copy->data();
  const uint8_t* in = frame->data();
  for (int plane = 0; plane < 3; ++plane) {
    const int w = plane ? (vw + 1) / 2 : vw, h = plane ? (vh + 1) / 2 : vh;
    const int stride = plane ? (cw + 1) / 2 : cw;
    const int rows = plane ? (ch + 1) / 2 : ch;
    for (int y = 0; y < h && y < rows; ++y) memcpy(out + y * w, in + y * stride, w);
    out += w * h;
    in += stride * rows;
  }
  return copy->data();
}

int32_t VideoEncoderImpl::Encode(const VideoFrame& video_frame, bool force_keyframe,
                                 const CompletionCallback& callback) {
  DeferredReleases later;
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_ != State::kReady) return PP_ERROR_FAILED;
  auto frame = video_frame.object_as<VideoFrameImpl>();
  auto lent = frame ? lent_frames_.find(frame.get()) : lent_frames_.end();
  if (lent == lent_frames_.end()) return PP_ERROR_BADRESOURCE;
  PendingCompletion<> call;
  int32_t bound = call.Bind(callback, &calls_);
  if (bound != PP_OK_COMPLETIONPENDING) return bound;
  // The frame comes back to the encoder whatever happens to the picture.
  lent_frames_.erase(lent);

  int32_t result = TakeFailure(VideoEncoderStep::kEncode);
  if (result == PP_OK) {
    Record([&](VideoEncoderRecord& record) {
      ++record.frames_encoded;
      if (force_keyframe) ++record.keyframes_requested;
    });
    std::vector<uint8_t> visible;
    const uint8_t* picture = VisiblePictureLocked(frame.get(), &visible);
    std::vector<VpxEncoderEngine::Output> outputs;
    if (!engine_->Encode(picture, force_keyframe, &outputs)) {
      result = PP_ERROR_FAILED;
    }
    for (VpxEncoderEngine::Output& output : outputs) {
      ready_.push_back(std::unique_ptr<VpxEncoderEngine::Output>(
          new VpxEncoderEngine::Output(std::move(output))));
    }
  }
  frame->Reclaim();
  free_frames_.push_back(frame);
  call.Complete(result, nullptr, &later);
  ServeFrameRequestLocked(&later);
  ServeBufferRequestLocked(&later);
  CountWaitingLocked();
  return PP_OK_COMPLETIONPENDING;
}

int32_t VideoEncoderImpl::GetBitstreamBuffer(
    const CompletionCallbackWithOutput<PP_BitstreamBuffer>& callback) {
  DeferredReleases later;
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_ != State::kReady) return PP_ERROR_FAILED;
  if (buffer_request_.is_pending()) return PP_ERROR_INPROGRESS;
  int32_t failure = TakeFailure(VideoEncoderStep::kGetBitstreamBuffer);
  if (failure != PP_OK) {
    // The buffer this request would have taken is lost with it; left
    // queued, it would be taken as the next frame's.
    if (!ready_.empty()) ready_.pop_front();
    return failure;
  }
  int32_t bound = buffer_request_.Bind(callback, &calls_);
  if (bound != PP_OK_COMPLETIONPENDING) return bound;
  ServeBufferRequestLocked(&later);
  CountWaitingLocked();
  return PP_OK_COMPLETIONPENDING;
}

void VideoEncoderImpl::ServeBufferRequestLocked(DeferredReleases* later) {
  if (!buffer_request_.is_pending() || ready_.empty()) return;
  std::unique_ptr<VpxEncoderEngine::Output> output = std::move(ready_.front());
  ready_.pop_front();
  PP_BitstreamBuffer buffer;
  buffer.size = static_cast<uint32_t>(output->data.size());
  buffer.buffer = output->data.data();
  buffer.key_frame = PP_FromBool(output->keyframe);
  delivered_[buffer.buffer] = std::move(output);
  Record([](VideoEncoderRecord& record) { ++record.buffers_delivered; });
  PP_BitstreamBuffer* destination = buffer_request_.callback().output();
  buffer_request_.Complete(PP_OK, [destination, buffer]() {
    if (destination) *destination = buffer;
  }, later);
}

void VideoEncoderImpl::CountWaitingLocked() {
  const int waiting = (frame_request_.is_pending() ? 1 : 0) +
                      (buffer_request_.is_pending() ? 1 : 0);
  const int change = waiting - waiting_;
  waiting_ = waiting;
  if (change) Record([change](VideoEncoderRecord& record) { record.waiting_requests += change; });
}

void VideoEncoderImpl::RecycleBitstreamBuffer(const PP_BitstreamBuffer& buffer) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (delivered_.erase(buffer.buffer)) {
    Record([](VideoEncoderRecord& record) { ++record.buffers_recycled; });
  }
}

void VideoEncoderImpl::RequestEncodingParametersChange(uint32_t bitrate,
                                                       uint32_t framerate) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_ == State::kReady) engine_->SetRates(bitrate, framerate);
}

void VideoEncoderImpl::Close() {
  // The aborted callbacks may hold the module's last reference to this
  // encoder: they go once the lock is released.
  DeferredReleases later;
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_ == State::kClosed) return;
  const bool was_open = state_ == State::kInitializing || state_ == State::kReady;
  // An engine still starting is closed by its start, on the browser's
  // thread, which this does not wait for.
  if (state_ != State::kStarting) engine_->Close();
  state_ = State::kClosed;
  // Also the results already on their way: the client learns of the close
  // on its own loop.
  calls_.AbortAll(&later);
  // Their own copies of the callbacks go too: kept, a callback that holds
  // a reference to this encoder would keep it alive for good.
  start_call_.Abort(&later);
  frame_request_.Abort(&later);
  buffer_request_.Abort(&later);
  CountWaitingLocked();
  for (auto& lent : lent_frames_) lent.second->Reclaim();
  if (was_open) Record([](VideoEncoderRecord& record) { --record.open_encoders; });
}

}  // namespace platform
}  // namespace pp
