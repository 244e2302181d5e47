#include "ppapi/cpp/video_encoder.h"

#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "ppapi/c/pp_errors.h"
#include "ppplatform/browser.h"
#include "ppplatform/message_loop_impl.h"
#include "ppplatform/video_encoder_hooks.h"
#include "ppplatform/video_frame_impl.h"
#include "ppplatform/vpx_encoder_engine.h"

namespace pp {

namespace platform {

namespace {

constexpr int kStepCount = 6;
// Frames the client may hold, and the largest picture, as a browser's
// software encoder has them.
constexpr int32_t kFramesRequired = 2;
constexpr int32_t kMaxWidth = 4096;
constexpr int32_t kMaxHeight = 2176;

struct Hooks {
  std::mutex mutex;
  struct Armed {
    bool armed = false;
    int32_t result = PP_OK;
    int remaining = 0;
  } steps[kStepCount];
  PP_Size coded_size = {0, 0};
  VideoEncoderRecord record;
};

Hooks& GetHooks() {
  static Hooks* hooks = new Hooks;
  return *hooks;
}

// The result that this call of |step| must give instead of its own, or
// PP_OK.
int32_t TakeFailure(VideoEncoderStep step) {
  Hooks& hooks = GetHooks();
  std::lock_guard<std::mutex> lock(hooks.mutex);
  Hooks::Armed& armed = hooks.steps[static_cast<int>(step)];
  if (!armed.armed || --armed.remaining > 0) return PP_OK;
  armed.armed = false;
  return armed.result;
}

template <typename F>
void Record(F change) {
  Hooks& hooks = GetHooks();
  std::lock_guard<std::mutex> lock(hooks.mutex);
  change(hooks.record);
}

}  // namespace

void FailVideoEncoderStep(VideoEncoderStep step, int32_t result, int nth) {
  Hooks& hooks = GetHooks();
  std::lock_guard<std::mutex> lock(hooks.mutex);
  Hooks::Armed& armed = hooks.steps[static_cast<int>(step)];
  armed.armed = true;
  armed.result = result;
  armed.remaining = nth < 1 ? 1 : nth;
}

void SetVideoEncoderCodedSize(const PP_Size& size) {
  Hooks& hooks = GetHooks();
  std::lock_guard<std::mutex> lock(hooks.mutex);
  hooks.coded_size = size;
}

VideoEncoderRecord GetVideoEncoderRecord() {
  Hooks& hooks = GetHooks();
  std::lock_guard<std::mutex> lock(hooks.mutex);
  return hooks.record;
}

void ResetVideoEncoderHooks() {
  Hooks& hooks = GetHooks();
  std::lock_guard<std::mutex> lock(hooks.mutex);
  for (Hooks::Armed& armed : hooks.steps) armed = Hooks::Armed();
  hooks.coded_size = PP_MakeSize(0, 0);
  int open = hooks.record.open_encoders;
  hooks.record = VideoEncoderRecord();
  hooks.record.open_encoders = open;
}

// The browser-side encoder. Calls come from any thread (in practice the
// main thread, and Close from a worker); each completion is posted to the
// loop of the thread that made the call.
class VideoEncoderImpl : public ResourceObject,
                         public std::enable_shared_from_this<VideoEncoderImpl> {
 public:
  VideoEncoderImpl() = default;
  ~VideoEncoderImpl() override { Close(); }

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
  int32_t Encode(const VideoFrame& frame, bool force_keyframe,
                 const CompletionCallback& callback);
  int32_t GetBitstreamBuffer(
      const CompletionCallbackWithOutput<PP_BitstreamBuffer>& callback);
  void RecycleBitstreamBuffer(const PP_BitstreamBuffer& buffer);
  void RequestEncodingParametersChange(uint32_t bitrate, uint32_t framerate);
  void Close();

 private:
  enum class State { kNew, kInitializing, kReady, kFailed, kClosed };
  struct FrameRequest {
    std::shared_ptr<MessageLoopImpl> loop;
    CompletionCallbackWithOutput<VideoFrame> callback;
  };
  struct BufferRequest {
    std::shared_ptr<MessageLoopImpl> loop;
    CompletionCallbackWithOutput<PP_BitstreamBuffer> callback;
  };

  // Checks the callback and the calling thread's loop.
  static int32_t CheckCall(const CompletionCallback& callback,
                           std::shared_ptr<MessageLoopImpl>* loop);
  // Runs |deliver| (which stores any output) and then |callback| on
  // |loop|; once the encoder is closed the callback gets PP_ERROR_ABORTED
  // instead. Safe with mutex_ held: posting takes only the loop's lock.
  void Post(const std::shared_ptr<MessageLoopImpl>& loop,
            const CompletionCallback& callback, int32_t result,
            std::function<void()> deliver = nullptr);
  // With mutex_ held: hand waiting requests what is now available.
  void ServeFrameRequestLocked();
  void ServeBufferRequestLocked();

  std::mutex mutex_;
  State state_ = State::kNew;
  VpxEncoderEngine engine_;
  PP_Size visible_size_ = {0, 0};
  PP_Size coded_size_ = {0, 0};
  std::vector<std::shared_ptr<VideoFrameImpl>> free_frames_;
  std::map<VideoFrameImpl*, std::shared_ptr<VideoFrameImpl>> lent_frames_;
  std::deque<std::unique_ptr<VpxEncoderEngine::Output>> ready_;
  std::map<const void*, std::unique_ptr<VpxEncoderEngine::Output>> delivered_;
  std::deque<FrameRequest> frame_requests_;
  std::deque<BufferRequest> buffer_requests_;
};

int32_t VideoEncoderImpl::CheckCall(const CompletionCallback& callback,
                                    std::shared_ptr<MessageLoopImpl>* loop) {
  // Blocking calls (no callback) are not offered by this browser.
  if (callback.is_empty()) return PP_ERROR_BADARGUMENT;
  *loop = MessageLoopImpl::Current();
  if (!*loop) return PP_ERROR_NO_MESSAGE_LOOP;
  return PP_OK;
}

void VideoEncoderImpl::Post(const std::shared_ptr<MessageLoopImpl>& loop,
                            const CompletionCallback& callback, int32_t result,
                            std::function<void()> deliver) {
  std::shared_ptr<VideoEncoderImpl> self = shared_from_this();
  CompletionCallback step = MakeFunctionCallback(
      [self, callback, result, deliver](int32_t) {
        bool closed;
        {
          std::lock_guard<std::mutex> lock(self->mutex_);
          closed = self->state_ == State::kClosed;
        }
        if (closed) {
          callback.Run(PP_ERROR_ABORTED);
          return;
        }
        if (deliver) deliver();
        callback.Run(result);
      });
  loop->PostWork(step, 0, PP_OK);
}

int32_t VideoEncoderImpl::GetSupportedProfiles(
    const CompletionCallbackWithOutput<std::vector<PP_VideoProfileDescription>>&
        callback) {
  std::shared_ptr<MessageLoopImpl> loop;
  int32_t check = CheckCall(callback, &loop);
  if (check != PP_OK) return check;
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
  CompletionCallbackWithOutput<std::vector<PP_VideoProfileDescription>> output =
      callback;
  Post(loop, callback, PP_OK, [output, profiles]() {
    if (output.output()) *output.output() = profiles;
  });
  return PP_OK_COMPLETIONPENDING;
}

int32_t VideoEncoderImpl::Initialize(PP_VideoFrame_Format input_format,
                                     const PP_Size& visible_size,
                                     PP_VideoProfile profile,
                                     uint32_t initial_bitrate,
                                     PP_HardwareAcceleration acceleration,
                                     const CompletionCallback& callback) {
  std::shared_ptr<MessageLoopImpl> loop;
  int32_t check = CheckCall(callback, &loop);
  if (check != PP_OK) return check;
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

  std::lock_guard<std::mutex> lock(mutex_);
  if (state_ != State::kNew) return PP_ERROR_FAILED;
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
  if (result == PP_OK &&
      !engine_.Initialize(profile == PP_VIDEOPROFILE_VP8_ANY
                              ? VpxEncoderEngine::Codec::kVp8
                              : VpxEncoderEngine::Codec::kVp9,
                          visible_size.width, visible_size.height,
                          initial_bitrate, 30)) {
    result = PP_ERROR_FAILED;
  }
  if (result != PP_OK) {
    state_ = State::kFailed;
    Post(loop, callback, result);
    return PP_OK_COMPLETIONPENDING;
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
    free_frames_.push_back(
        std::make_shared<VideoFrameImpl>(PP_VIDEOFRAME_FORMAT_I420, coded_size_));
  }
  state_ = State::kInitializing;
  std::shared_ptr<VideoEncoderImpl> self = shared_from_this();
  // Ready once the client sees the completion.
  Post(loop, callback, PP_OK, [self]() {
    std::lock_guard<std::mutex> lock(self->mutex_);
    if (self->state_ == State::kInitializing) self->state_ = State::kReady;
  });
  return PP_OK_COMPLETIONPENDING;
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
  std::shared_ptr<MessageLoopImpl> loop;
  int32_t check = CheckCall(callback, &loop);
  if (check != PP_OK) return check;
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_ != State::kReady) return PP_ERROR_FAILED;
  if (!frame_requests_.empty()) return PP_ERROR_INPROGRESS;
  int32_t failure = TakeFailure(VideoEncoderStep::kGetVideoFrame);
  if (failure != PP_OK) {
    Post(loop, callback, failure);
    return PP_OK_COMPLETIONPENDING;
  }
  frame_requests_.push_back(FrameRequest{loop, callback});
  ServeFrameRequestLocked();
  return PP_OK_COMPLETIONPENDING;
}

void VideoEncoderImpl::ServeFrameRequestLocked() {
  if (frame_requests_.empty() || free_frames_.empty()) return;
  FrameRequest request = frame_requests_.front();
  frame_requests_.pop_front();
  std::shared_ptr<VideoFrameImpl> frame = free_frames_.back();
  free_frames_.pop_back();
  lent_frames_[frame.get()] = frame;
  CompletionCallbackWithOutput<VideoFrame> callback = request.callback;
  Post(request.loop, callback, PP_OK, [callback, frame]() {
    if (callback.output()) *callback.output() = VideoFrame(Resource(frame));
  });
}

int32_t VideoEncoderImpl::Encode(const VideoFrame& video_frame, bool force_keyframe,
                                 const CompletionCallback& callback) {
  std::shared_ptr<MessageLoopImpl> loop;
  int32_t check = CheckCall(callback, &loop);
  if (check != PP_OK) return check;
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_ != State::kReady) return PP_ERROR_FAILED;
  auto frame = video_frame.object_as<VideoFrameImpl>();
  auto lent = frame ? lent_frames_.find(frame.get()) : lent_frames_.end();
  if (lent == lent_frames_.end()) return PP_ERROR_BADRESOURCE;
  // The frame comes back to the encoder whatever happens to the picture.
  lent_frames_.erase(lent);
  free_frames_.push_back(frame);

  int32_t result = TakeFailure(VideoEncoderStep::kEncode);
  if (result == PP_OK) {
    Record([&](VideoEncoderRecord& record) {
      ++record.frames_encoded;
      if (force_keyframe) ++record.keyframes_requested;
    });
    // The encoder reads the visible part of the coded picture.
    const uint8_t* picture = frame->data();
    std::vector<uint8_t> visible;
    if (coded_size_.width != visible_size_.width ||
        coded_size_.height != visible_size_.height) {
      const int vw = visible_size_.width, vh = visible_size_.height;
      const int cw = coded_size_.width, ch = coded_size_.height;
      visible.resize(VideoFrameImpl::BufferSize(PP_VIDEOFRAME_FORMAT_I420, visible_size_));
      uint8_t* out = visible.data();
      const uint8_t* in = frame->data();
      for (int plane = 0; plane < 3; ++plane) {
        const int w = plane ? (vw + 1) / 2 : vw, h = plane ? (vh + 1) / 2 : vh;
        const int stride = plane ? (cw + 1) / 2 : cw;
        const int rows = plane ? (ch + 1) / 2 : ch;
        for (int y = 0; y < h && y < rows; ++y) memcpy(out + y * w, in + y * stride, w);
        out += w * h;
        in += stride * rows;
      }
      picture = visible.data();
    }
    std::vector<VpxEncoderEngine::Output> outputs;
    if (!engine_.Encode(picture, force_keyframe, &outputs)) {
      result = PP_ERROR_FAILED;
    }
    for (VpxEncoderEngine::Output& output : outputs) {
      ready_.push_back(std::unique_ptr<VpxEncoderEngine::Output>(
          new VpxEncoderEngine::Output(std::move(output))));
    }
  }
  Post(loop, callback, result);
  ServeFrameRequestLocked();
  ServeBufferRequestLocked();
  return PP_OK_COMPLETIONPENDING;
}

int32_t VideoEncoderImpl::GetBitstreamBuffer(
    const CompletionCallbackWithOutput<PP_BitstreamBuffer>& callback) {
  std::shared_ptr<MessageLoopImpl> loop;
  int32_t check = CheckCall(callback, &loop);
  if (check != PP_OK) return check;
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_ != State::kReady) return PP_ERROR_FAILED;
  if (!buffer_requests_.empty()) return PP_ERROR_INPROGRESS;
  int32_t failure = TakeFailure(VideoEncoderStep::kGetBitstreamBuffer);
  if (failure != PP_OK) {
    // The buffer this request would have taken is lost with it; left
    // queued, it would be taken as the next frame's.
    if (!ready_.empty()) ready_.pop_front();
    Post(loop, callback, failure);
    return PP_OK_COMPLETIONPENDING;
  }
  buffer_requests_.push_back(BufferRequest{loop, callback});
  ServeBufferRequestLocked();
  return PP_OK_COMPLETIONPENDING;
}

void VideoEncoderImpl::ServeBufferRequestLocked() {
  if (buffer_requests_.empty() || ready_.empty()) return;
  BufferRequest request = buffer_requests_.front();
  buffer_requests_.pop_front();
  std::unique_ptr<VpxEncoderEngine::Output> output = std::move(ready_.front());
  ready_.pop_front();
  PP_BitstreamBuffer buffer;
  buffer.size = static_cast<uint32_t>(output->data.size());
  buffer.buffer = output->data.data();
  buffer.key_frame = PP_FromBool(output->keyframe);
  delivered_[buffer.buffer] = std::move(output);
  Record([](VideoEncoderRecord& record) { ++record.buffers_delivered; });
  CompletionCallbackWithOutput<PP_BitstreamBuffer> callback = request.callback;
  Post(request.loop, callback, PP_OK, [callback, buffer]() {
    if (callback.output()) *callback.output() = buffer;
  });
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
  if (state_ == State::kReady) engine_.SetRates(bitrate, framerate);
}

void VideoEncoderImpl::Close() {
  std::deque<FrameRequest> frame_requests;
  std::deque<BufferRequest> buffer_requests;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == State::kClosed) return;
    const bool was_open = state_ == State::kInitializing || state_ == State::kReady;
    state_ = State::kClosed;
    engine_.Close();
    frame_requests.swap(frame_requests_);
    buffer_requests.swap(buffer_requests_);
    if (was_open) Record([](VideoEncoderRecord& record) { --record.open_encoders; });
  }
  // Waiting requests learn of the close on their own loops.
  for (const FrameRequest& request : frame_requests) {
    request.loop->PostWork(request.callback, 0, PP_ERROR_ABORTED);
  }
  for (const BufferRequest& request : buffer_requests) {
    request.loop->PostWork(request.callback, 0, PP_ERROR_ABORTED);
  }
}

}  // namespace platform

namespace {
std::shared_ptr<platform::VideoEncoderImpl> Impl(const Resource& resource) {
  return resource.object_as<platform::VideoEncoderImpl>();
}
}  // namespace

VideoEncoder::VideoEncoder() = default;

VideoEncoder::VideoEncoder(const InstanceHandle& instance)
    : Resource(instance.pp_instance() ? std::make_shared<platform::VideoEncoderImpl>()
                                      : nullptr) {}

VideoEncoder::VideoEncoder(const VideoEncoder& other) = default;
VideoEncoder::~VideoEncoder() = default;
VideoEncoder& VideoEncoder::operator=(const VideoEncoder& other) = default;

int32_t VideoEncoder::GetSupportedProfiles(
    const CompletionCallbackWithOutput<std::vector<PP_VideoProfileDescription>>&
        callback) {
  auto impl = Impl(*this);
  return impl ? impl->GetSupportedProfiles(callback) : PP_ERROR_BADRESOURCE;
}

int32_t VideoEncoder::Initialize(const PP_VideoFrame_Format& input_format,
                                 const Size& input_visible_size,
                                 const PP_VideoProfile& output_profile,
                                 const uint32_t initial_bitrate,
                                 PP_HardwareAcceleration acceleration,
                                 const CompletionCallback& callback) {
  auto impl = Impl(*this);
  if (!impl) return PP_ERROR_BADRESOURCE;
  return impl->Initialize(input_format, input_visible_size.pp_size(), output_profile,
                          initial_bitrate, acceleration, callback);
}

int32_t VideoEncoder::GetFramesRequired() {
  auto impl = Impl(*this);
  return impl ? impl->GetFramesRequired() : PP_ERROR_BADRESOURCE;
}

int32_t VideoEncoder::GetFrameCodedSize(Size* coded_size) {
  auto impl = Impl(*this);
  return impl ? impl->GetFrameCodedSize(&coded_size->pp_size()) : PP_ERROR_BADRESOURCE;
}

int32_t VideoEncoder::GetVideoFrame(const CompletionCallbackWithOutput<VideoFrame>& callback) {
  auto impl = Impl(*this);
  return impl ? impl->GetVideoFrame(callback) : PP_ERROR_BADRESOURCE;
}

int32_t VideoEncoder::Encode(const VideoFrame& video_frame, bool force_keyframe,
                             const CompletionCallback& callback) {
  auto impl = Impl(*this);
  return impl ? impl->Encode(video_frame, force_keyframe, callback)
              : PP_ERROR_BADRESOURCE;
}

int32_t VideoEncoder::GetBitstreamBuffer(
    const CompletionCallbackWithOutput<PP_BitstreamBuffer>& callback) {
  auto impl = Impl(*this);
  return impl ? impl->GetBitstreamBuffer(callback) : PP_ERROR_BADRESOURCE;
}

void VideoEncoder::RecycleBitstreamBuffer(const PP_BitstreamBuffer& bitstream_buffer) {
  if (auto impl = Impl(*this)) impl->RecycleBitstreamBuffer(bitstream_buffer);
}

void VideoEncoder::RequestEncodingParametersChange(uint32_t bitrate, uint32_t framerate) {
  if (auto impl = Impl(*this)) impl->RequestEncodingParametersChange(bitrate, framerate);
}

void VideoEncoder::Close() {
  if (auto impl = Impl(*this)) impl->Close();
}

}  // namespace pp
