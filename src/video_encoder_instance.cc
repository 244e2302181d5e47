#include "video_encoder_instance.h"

#include <pthread.h>

#include <cstdio>

#include "core_clock.h"
#include "frame_timeline.h"
#include "ppapi/cpp/module.h"
#include "video_encoder_rule.h"

namespace kelmora {

namespace {

// The worker runs the recording: its frame loops, the graph, the cuts.
void NameWorker(void*, int32_t) { pthread_setname_np(pthread_self(), "recorder-worker"); }

}  // namespace

VideoEncoderInstance::VideoEncoderInstance(PP_Instance instance)
    : WorkerBaseInstance(instance, "ruzevUroviRodarav:"), callback_factory_(this) {}

VideoEncoderInstance::~VideoEncoderInstance() {
  // The worker closes a running recording before it ends; the join fails
  // any wait of the browser-backed encoder for this thread first.
  FrameTimeline::Step step("destroy");
  destroying_ = true;
  {
    ScopedLock lock(running_recorder_mutex_);
    if (running_recorder_) running_recorder_->DiscardQueuedPictures();
  }
  worker_loop().PostWork(callback_factory_.NewCallback(&VideoEncoderInstance::CloseOnDestroy),
                         0);
  {
    FrameTimeline::Step join("join worker");
    JoinWorker();
  }
  UnregisterPPEncoders(this);
  FrameTimeline::Step teardown("pumps and recorder");
  // The pump threads read the recording stopwatch: they end before it goes,
  // and before the recorder that they refer to.
  audio2_pump_.reset();
  audio_pump_.reset();
  recorder_.reset();
}

bool VideoEncoderInstance::Init(uint32_t argc, const char* argn[], const char* argv[]) {
  WorkerBaseInstance::Init(argc, argn, argv);
  worker_loop().PostWork(pp::CompletionCallback(&NameWorker, nullptr), 0);
  Log("initializing encoder module\n");
  core_ = pp::Module::Get()->core();
  clock_.reset(new CoreClock<pp::Core>(core_));
  recording_timer_.reset(new TickerTimer(clock_.get()));
  last_frame_timer_.reset(new TickerTimer(clock_.get()));
  RegisterPPEncoders(this);
  return true;
}

void VideoEncoderInstance::HandleMessage(const pp::Var& message) {
  std::string type;
  pp::VarDictionary data;
  if (!CheckMessage(message, &type, &data)) return;
  void (VideoEncoderInstance::*handler)(int32_t, const pp::VarDictionary&) = nullptr;
  if (type == "start") {
    handler = &VideoEncoderInstance::Start;
  } else if (type == "stop") {
    handler = &VideoEncoderInstance::Stop;
  } else if (type == "pause") {
    handler = &VideoEncoderInstance::Pause;
  } else if (type == "resume") {
    handler = &VideoEncoderInstance::Resume;
  } else if (type == "replaceTracks") {
    handler = &VideoEncoderInstance::ReplaceTracks;
  } else {
    LogUnknownMessageType();
    return;
  }
  worker_loop().PostWork(callback_factory_.NewCallback(handler, data), 0);
  if (handler == &VideoEncoderInstance::Start) {
    worker_loop().PostWork(callback_factory_.NewCallback(&VideoEncoderInstance::OnStartTimeout),
                           7000);
  }
}

const char* VideoEncoderInstance::StateName(int32_t state) {
  switch (state) {
    case kClosed:
      return "closed";
    case kIdle:
    case kStarting:
      return "inactive";
    case 3:
    case kPaused:
      return "paused";
    case kRecording:
    case kStopping:
    case kPausing:
      return "recording";
    default:
      return "closed";
  }
}

void VideoEncoderInstance::SetState(int32_t state) {
  if (state_ == state) return;
  state_ = state;
  SendState();
  if (state == kRecording && !status_timer_running_) {
    status_timer_running_ = true;
    worker_loop().PostWork(callback_factory_.NewCallback(&VideoEncoderInstance::OnStatusTimer),
                           500);
  }
}

void VideoEncoderInstance::SendState() {
  pp::VarDictionary state;
  state.Set("state", StateName(state_));
  const int64_t delay = recorder_ ? recorder_->start_delay_ : closed_start_delay_;
  state.Set("time", static_cast<double>(recording_timer_->Elapsed() - delay) / 1000.0);
  state.Set("droppedAudioTime", 0);
  state.Set("fps", static_cast<double>(fps_));
  if (recording_size_.width != 0 && recording_size_.height != 0) {
    pp::VarDictionary resolution;
    resolution.Set("width", recording_size_.width);
    resolution.Set("height", recording_size_.height);
    state.Set("recordingResolution", resolution);
  }
  PostTypedMessage("state", state);
}

void VideoEncoderInstance::OnOutOfDiskSpace() {
  printf("looks like we ran out of disk space...\n");
  LogError("out_of_disk_space");
}

void VideoEncoderInstance::ReportPumpError(const std::string& code) {
  if (code == "out_of_disk_space") {
    OnOutOfDiskSpace();
  } else {
    LogError(code);
  }
}

int64_t VideoEncoderInstance::GetTime() { return clock_->Now(); }

void VideoEncoderInstance::SetRunningRecorder(VideoRecorder* recorder) {
  ScopedLock lock(running_recorder_mutex_);
  running_recorder_ = recorder;
}

void VideoEncoderInstance::CloseOnDestroy(int32_t) {
  // No reply and no state: the page is gone. The file gets its trailer so
  // that it reads and decodes up to the last picture written.
  if (state_ == kClosed || !recorder_ || !recorder_ready_) return;
  if (audio_pump_) audio_pump_->ForgetRecorder();
  if (audio2_pump_) audio2_pump_->ForgetRecorder();
  printf("closing encoder\n");
  FrameTimeline::Step step("close on destroy");
  // Nobody waits for the pictures still queued: encoding them could take
  // seconds at a large size, while the browser's main thread is held here.
  // (Already told when the recorder was running at the destruction.)
  SetRunningRecorder(nullptr);
  recorder_->DiscardQueuedPictures();
  recorder_->Close();
  recorder_.reset();
}

}  // namespace kelmora
