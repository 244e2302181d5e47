// The frame loops of the main and camera tracks, the recorder set-up on the
// first usable main frame, and the status tick that keeps the picture going
// when the main track falls silent. Worker thread.

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "frame_timeline.h"
#include "ppapi/c/pp_errors.h"
#include "utils.h"
#include "video_encoder_instance.h"

namespace kelmora {

namespace {

int64_t CaptureTime(const pp::VideoFrame& frame) {
  return static_cast<int64_t>(frame.GetTimestamp() * 1000.0);
}

}  // namespace

// ---------------------------------------------------------------------------
// Requests.

void VideoEncoderInstance::RequestFrame() {
  int32_t result = main_loop_.Request(callback_factory_.NewCallbackWithOutput(
      &VideoEncoderInstance::OnFrame, cut_.video_generation(), main_loop_.track().pp_resource()));
  if (result != PP_OK_COMPLETIONPENDING) LogPepperError("GetFrame failed instantly", result);
}

void VideoEncoderInstance::RecycleAndRequestFrame(const pp::VideoFrame& frame) {
  main_loop_.Recycle(frame);
  RequestFrame();
}

void VideoEncoderInstance::RequestCamFrame() {
  int32_t result =
      cam_loop_.Request(callback_factory_.NewCallbackWithOutput(&VideoEncoderInstance::OnCamFrame));
  if (result != PP_OK_COMPLETIONPENDING) LogPepperError("GetCamFrame failed instantly", result);
}

// ---------------------------------------------------------------------------
// Main track.

void VideoEncoderInstance::OnFrame(int32_t result, const pp::VideoFrame& delivered,
                                   int32_t generation, PP_Resource track) {
  pp::VideoFrame frame(delivered);
  if (track != main_loop_.track().pp_resource()) {
    // Asked of a main track that has been replaced since: back to it.
    if (result == PP_OK) {
      printf("discarding frame\n");
      if (track == retired_video_track_.pp_resource()) retired_video_track_.RecycleFrame(frame);
    }
    return;
  }
  main_loop_.set_pending(false);
  if (result == PP_ERROR_ABORTED) return;
  if (result != PP_OK) {
    LogPepperError("GetFrame failed", result);
    return;
  }

  if (recording_size_.width == 0 || recording_size_.height == 0) {
    if (!SetMainSizeFromFrame(frame)) {
      LogError("invalid_crop");
      return;
    }
    ReconfigureCam(0);
  }

  // After the stop the recorder is gone: nothing may reach it.
  const bool stale = cut_.IsStaleVideo(generation);
  if (state_ == kIdle || state_ == kPaused || state_ == kClosed || !recorder_ || stale ||
      destroying_) {
    printf("discarding frame\n");
    main_loop_.Recycle(frame);
    // The request of a loop that a forced cut ended: when the recording
    // runs again, nothing else would ask for the next frame.
    if (stale && state_ == kRecording && !video_configuring_) RequestFrame();
    return;
  }

  cam_trigger_mode_ = false;
  if (!InitRecorder(frame)) {
    if (recorder_initialized_.load() && !recorder_ready_) {
      // The set-up failed: the recorder is never fed, and the loop ends.
      main_loop_.Recycle(frame);
      return;
    }
    RecycleAndRequestFrame(frame);
    return;
  }

  const int64_t capture = CaptureTime(frame);
  TimestampMapper& timeline = main_loop_.timeline();
  if (!timeline.HasStart()) {
    timeline.SetStart(capture);
    if (cut_.after_cut()) {
      // At the recording time of its capture: it may have waited in the
      // track since before the cut.
      const int64_t offset = recording_timer_->ElapsedAtCapture(capture);
      printf("first frame of replaced track, offsetting with %" PRId64 "\n", offset);
      timeline.set_offset(offset);
    }
  }
  last_frame_timer_->Restart();
  const int64_t t = timeline.Map(capture);

  if (cut_.Precedes(t)) {
    printf("ignoring frame at %" PRId64 " before stop time %" PRId64 "\n", t,
           cut_.last_cut());
    RecycleAndRequestFrame(frame);
    return;
  }
  if (t > 0 && t <= last_frame_time_) {
    printf("timestamp %" PRId64 " smaller than last %" PRId64 ", ignoring frame\n", t,
           last_frame_time_);
    RecycleAndRequestFrame(frame);
    return;
  }

  // A frame at the scheduled cut ends the loop.
  if (ReachedStopTime(t)) {
    main_loop_.Recycle(frame);
    return;
  }

  FrameTimeline::Get().BeginFrame(capture, t);
  // The encoding stage is behind by a full queue: this picture could only
  // be dropped there, after its work.
  if (recorder_->DropPictureIfEncoderFull()) {
    FrameTimeline::Get().EndFrame("dropped, encoder busy");
    RecycleAndRequestFrame(frame);
    return;
  }
  // The picture is copied out and the frame goes back at once: the track
  // has two buffers, and one kept for the repeat or held by the overlay
  // would leave it one, so that any frame whose work takes longer than a
  // frame interval would cost the next.
  // A destroyed recording adds only this picture, and nobody waits for
  // the track to get its frame back: not copied then.
  SharedPicture picture = destroying_ ? main_loop_.SharePicture(frame, main_size_)
                                      : main_loop_.TakePicture(frame, main_size_);
  const bool ok = AddFrame(picture, t);
  last_picture_ = std::move(picture);
  FrameTimeline::Get().EndFrame(ok ? "added" : "ends the loop");
  if (ok) {
    if (!cam_loop_.is_null() && !cam_loop_.pending()) RequestCamFrame();
    RequestFrame();
  }
}

bool VideoEncoderInstance::SetMainSizeFromFrame(const pp::VideoFrame& frame) {
  main_size_ = TrackFrameLender::FrameSize(frame);
  if (recorder_ && recorder_->crop_) {
    const Rect& crop = *recorder_->crop_;
    // The crop is given in the picture the graph crops: the original size
    // when the page names one, else the track's own.
    Size bounds = main_size_;
    if (recorder_->original_main_size_) bounds = *recorder_->original_main_size_;
    if (crop.width <= 0 || crop.height <= 0 || crop.top < 0 || crop.left < 0) return false;
    if (static_cast<int64_t>(crop.left) + crop.width > bounds.width ||
        static_cast<int64_t>(crop.top) + crop.height > bounds.height) {
      return false;
    }
    recording_size_.width = crop.width;
    recording_size_.height = crop.height;
  } else {
    recording_size_ = main_size_;
  }
  return true;
}

bool VideoEncoderInstance::InitRecorder(const pp::VideoFrame& frame) {
  if (!first_frame_seen_) {
    first_frame_seen_ = true;
    return false;
  }
  if (recorder_initialized_.load()) return recorder_ready_;
  if (!cam_loop_.is_null() && (cam_size_.width == 0 || cam_size_.height == 0)) {
    printf("ignoring frame while waiting for cam\n");
    return false;
  }
  if (recorder_->audio_enabled_ && recorder_->sample_rate_ <= 0) {
    printf("ignoring frame while waiting for audio\n");
    return false;
  }
  if (recorder_->audio2_enabled_ && recorder_->sample_rate2_ <= 0) {
    printf("ignoring frame while waiting for audio2\n");
    return false;
  }
  // The recording time runs from the capture of this first frame: the
  // audio that the pumps queue from now on is placed on that clock, also
  // while the set-up below takes its time.
  recording_timer_->RestartAtCapture(CaptureTime(frame));
  audio_pump_->EnableOutput(true);
  audio2_pump_->EnableOutput(true);
  recorder_->main_size_ = main_size_;
  recorder_->cam_size_ = cam_size_;
  recorder_initialized_.exchange(true);
  // The page may leave the file name out; the recorder needs one.
  if (recorder_->filename_.empty()) {
    fprintf(stderr, "no output file name\n");
    FailRecorderSetUp();
    return false;
  }
  // The encoding stage's thread waits for the main thread in the
  // browser-backed encoder: the join must end those waits too.
  recorder_->encoder_thread_start_ = [this] { WatchJoinOnThisThread(); };
  bool ready;
  {
    FrameTimeline::Step step("recorder set-up");
    ready = recorder_->Init();
  }
  if (!ready) {
    // The header may not have fitted on the disk.
    if (recorder_->write_error() != 0) OnOutOfDiskSpace();
    FailRecorderSetUp();
    return false;
  }
  recorder_ready_ = true;
  SetRunningRecorder(recorder_.get());
  // A destruction that came during the set-up found no running recorder
  // to tell: the first picture, the one the file needs, is all that is
  // encoded from here.
  if (destroying_) recorder_->DiscardQueuedPictures();
  printf("recorder initialized\n");
  PostTypedMessage("start", pp::Var(false));
  SetState(kRecording);
  return true;
}

void VideoEncoderInstance::FailRecorderSetUp() {
  recording_timer_->Reset();
  // Nothing will drain the pumps.
  audio_pump_->Release();
  audio2_pump_->Release();
  audio_track_ = pp::MediaStreamAudioTrack();
  audio2_track_ = pp::MediaStreamAudioTrack();
  LogError("recorder_setup_error");
}

bool VideoEncoderInstance::AddFrame(const SharedPicture& picture, int64_t time) {
  // A destruction lets only the first picture through (the one that
  // started a set-up that the destruction waited for): without a picture
  // the file would not decode.
  if (!recorder_ || !recorder_ready_ || (destroying_ && picture_added_)) return false;
  if (ReachedStopTime(time)) return false;
  UpdateFps(time);
  if (cam_picture_held_) {
    FrameTimeline::Step step("camera push");
    if (!cam_picture_ || recorder_->LendCamFrame(cam_picture_, time) != 0) {
      LogError("add_frame_failed");
      return false;
    }
  }
  {
    FrameTimeline::Step step("graph push");
    if (!picture || recorder_->LendFrame(picture, time) != 0) {
      LogError("add_frame_failed");
      return false;
    }
  }
  picture_added_ = true;
  last_frame_time_ = time;
  {
    FrameTimeline::Step step("audio drain");
    if (cut_.first_pump_cut_off()) audio_pump_->FillSilence(time);
    if (audio_pump_->DrainToRecorder() != 0 || audio2_pump_->DrainToRecorder() != 0) {
      LogError("add_audio_failed");
      return false;
    }
  }
  FrameTimeline::Step step("graph pull");
  if (recorder_->FilterAvailable() < 0) {
    OnOutOfDiskSpace();
    return false;
  }
  return true;
}

bool VideoEncoderInstance::ReachedStopTime(int64_t time) {
  if (!cut_.Reaches(time)) return false;
  worker_loop().PostWork(callback_factory_.NewCallback(&VideoEncoderInstance::OnScheduledVideo),
                         0);
  return true;
}

void VideoEncoderInstance::ReleaseHeldPictures() {
  if (cam_picture_held_) {
    printf("recycling cam frame\n");
    cam_picture_.reset();
    cam_picture_held_ = false;
  }
  if (last_picture_) {
    printf("recycling last frame\n");
    last_picture_.reset();
  }
}

void VideoEncoderInstance::UpdateFps(int64_t time) {
  const int32_t dt = static_cast<int32_t>(time - last_frame_time_);
  if (dt < 1 || dt > 999) return;
  const float inst = static_cast<float>(1000.0 / dt);
  if (fps_ > 0) {
    const float a = static_cast<float>(std::pow(static_cast<double>(0.4f), dt / 1000.0));
    fps_ = fps_ * a + inst * (1 - a);
  } else {
    fps_ = inst;
  }
}

// ---------------------------------------------------------------------------
// Camera track.

void VideoEncoderInstance::ReconfigureCam(int32_t) {
  if (cam_source_size_.width == 0 || cam_source_size_.height == 0 ||
      recording_size_.width == 0 || recording_size_.height == 0) {
    return;
  }
  // Called after the first main frame and after the first camera frame; the
  // camera is configured once, by whichever comes second.
  if (!cam_size_.IsEmpty()) return;
  const float s =
      std::min(static_cast<float>(recording_size_.height) / cam_source_size_.height,
               static_cast<float>(recording_size_.width) / cam_source_size_.width) *
      0.3f;
  int32_t w = static_cast<int32_t>(cam_source_size_.width * s);
  int32_t h = static_cast<int32_t>(cam_source_size_.height * s);
  w -= w % 4;
  h -= h % 4;
  printf("re-configureing cam to %dx%d\n", w, h);
  cam_size_.width = w;
  cam_size_.height = h;
  ConfigureCamTrack(w, h);
}

void VideoEncoderInstance::OnCamFrame(int32_t result, const pp::VideoFrame& delivered) {
  pp::VideoFrame frame(delivered);
  cam_loop_.set_pending(false);
  if (result == PP_ERROR_ABORTED) return;
  if (result != PP_OK) {
    LogPepperError("GetCamFrame failed", result);
    return;
  }
  if (cam_source_size_.width == 0 || cam_source_size_.height == 0) {
    cam_source_size_ = TrackFrameLender::FrameSize(frame);
    // No camera request until the track has its new size.
    cam_loop_.set_pending(true);
    cam_loop_.Recycle(frame);
    worker_loop().PostWork(callback_factory_.NewCallback(&VideoEncoderInstance::ReconfigureCam),
                           0);
    return;
  }
  if (!recorder_initialized_.load()) {
    printf("ignoring cam frame while waiting for recorder\n");
    cam_loop_.Recycle(frame);
    RequestCamFrame();
    return;
  }
  if (!recorder_ || !recorder_ready_) {
    // A failed set-up, or a stop that has completed: the loop ends.
    cam_loop_.Recycle(frame);
    return;
  }

  last_frame_timer_->Restart();
  const int64_t capture = CaptureTime(frame);
  TimestampMapper& timeline = cam_loop_.timeline();
  if (!timeline.HasStart()) {
    timeline.SetStart(capture);
    timeline.set_offset(recording_timer_->ElapsedAtCapture(capture));
  }
  const int64_t t = timeline.Map(capture);
  bool go_on = cam_trigger_mode_;
  // Copied out, so that the camera track has both of its buffers for the
  // frames to come while this picture waits for the next main frame.
  SharedPicture picture = cam_loop_.TakePicture(frame, cam_size_);
  if (cam_picture_held_) {
    // A paused recording adds nothing, whatever frame was still on its way.
    if (cam_trigger_mode_ && state_ != kPaused && last_picture_ && t >= 0 &&
        t > last_frame_time_) {
      go_on = AddFrame(last_picture_, t);
    }
  }
  cam_picture_ = std::move(picture);
  cam_picture_held_ = true;
  if (go_on && state_ == kRecording) RequestCamFrame();
}

// ---------------------------------------------------------------------------
// Status tick.

void VideoEncoderInstance::OnStatusTimer(int32_t) {
  if (state_ != kRecording) {
    status_timer_running_ = false;
    return;
  }
  const int64_t elapsed = recording_timer_->Elapsed();
  if (!cam_loop_.is_null()) {
    if (!cam_trigger_mode_ && static_cast<int32_t>(elapsed - last_frame_time_) > 1000) {
      printf("enabling cam trigger mode\n");
      cam_trigger_mode_ = true;
      if (!cam_loop_.pending()) RequestCamFrame();
    }
  } else if (last_frame_timer_->Elapsed() > 2000) {
    RepeatLastFrame();
  }
  SendState();
  // Every 10 s: a long recording must not keep the pages its pictures
  // once used.
  if (++status_ticks_ % 20 == 0) ReleaseFreeHeap();
  worker_loop().PostWork(callback_factory_.NewCallback(&VideoEncoderInstance::OnStatusTimer),
                         500);
}

void VideoEncoderInstance::RepeatLastFrame() {
  if (!last_picture_) return;
  const int64_t t = recording_timer_->Elapsed() - 500;
  if (t <= last_frame_time_) return;
  last_frame_timer_->Restart();
  AddFrame(last_picture_, t);
}

}  // namespace kelmora
