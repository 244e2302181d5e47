// Cuts: "pause", "resume", "stop" and "replaceTracks". A cut ends the video
// and the audio pumps at one instant of the recording timeline, so that
// both end together in the file. Worker thread.

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "ppapi/c/pp_errors.h"
#include "ppapi/c/ppb_media_stream_video_track.h"
#include "ppapi/c/ppb_video_frame.h"
#include "video_encoder_instance.h"

namespace kelmora {

namespace {

const int32_t kReplacementTrackAttributes[] = {
    PP_MEDIASTREAMVIDEOTRACK_ATTRIB_FORMAT, PP_VIDEOFRAME_FORMAT_I420,
    PP_MEDIASTREAMVIDEOTRACK_ATTRIB_BUFFERED_FRAMES, 2,
    PP_MEDIASTREAMVIDEOTRACK_ATTRIB_NONE};

}  // namespace

// ---------------------------------------------------------------------------
// Commands.

void VideoEncoderInstance::Stop(int32_t, const pp::VarDictionary&) {
  if (state_ == kRecording) {
    SetState(kStopping);
    ScheduleStopDefault(true);
  } else if (state_ == kPaused) {
    // The pause cut already ended every stream.
    state_ = kStopping;
    SendState();
    cut_.ScheduleAtOnce(RecordingCut::Kind::kStop);
    CheckPauseComplete(0);
  } else {
    PostTypedMessage("stop", "cannot stop in this state");
  }
}

void VideoEncoderInstance::Pause(int32_t, const pp::VarDictionary&) {
  if (state_ != kRecording) {
    PostTypedMessage("pause", "cannot pause, not recording");
    return;
  }
  pause_start_ = GetTime();
  pause_elapsed_ = recording_timer_->Elapsed();
  printf("pause at %" PRId64 "\n", pause_start_);
  state_ = kPausing;
  SendState();
  ScheduleStop(true, 500);
}

void VideoEncoderInstance::ReplaceTracks(int32_t, const pp::VarDictionary& data) {
  pp::Var video_track = data.Get("videoTrack");
  pp::Var audio_track = data.Get("audioTrack");
  if (state_ != kRecording && state_ != kPaused) {
    PostTypedMessage("replaceTracks",
                     "replaceTracks only possible in paused or recording state");
    return;
  }
  if (!video_track.is_resource()) {
    PostTypedMessage("replaceTracks", "videoTrack parameter missing");
    return;
  }
  // A track of the other kind cannot be configured at the switch: refused
  // before the cut, which would otherwise end the recording's video.
  if (!pp::MediaStreamVideoTrack::IsMediaStreamVideoTrack(video_track.AsResource())) {
    PostTypedMessage("replaceTracks", "configure replacement video failed");
    return;
  }
  if (audio_track.is_resource() &&
      !pp::MediaStreamAudioTrack::IsMediaStreamAudioTrack(audio_track.AsResource())) {
    PostTypedMessage("replaceTracks", "configure replacement audio track failed");
    return;
  }
  replacement_video_track_ = pp::MediaStreamVideoTrack(video_track.AsResource());
  if (audio_track.is_resource()) {
    replacement_audio_track_ = pp::MediaStreamAudioTrack(audio_track.AsResource());
  }
  if (state_ == kRecording) {
    // The video and the first audio track are switched; the second runs on.
    ScheduleStop(false, 500);
  } else {
    PostTypedMessage("replaceTracks", pp::Var(false));
  }
}

void VideoEncoderInstance::Resume(int32_t, const pp::VarDictionary&) {
  if (state_ != kPaused) {
    Log("cannot resume, not paused");
    return;
  }
  const int64_t pause = GetTime() - pause_start_;
  printf("resuming after a pause of %" PRId64 "\n", pause);
  main_loop_.timeline().SkipPause(pause);
  cam_loop_.timeline().SkipPause(pause);

  const bool audio_replaced = !replacement_audio_track_.is_null();
  const bool applied = ApplyReplacementTracks();
  // A first track cut off by a switch of the video alone stays cut off.
  if ((!applied || audio_replaced) && !cut_.first_pump_cut_off()) audio_pump_->Resume(pause);
  audio2_pump_->Resume(pause);
  // The tracks that go on skip the time between the commands, so the
  // recording time goes on from the "pause" command too: a replaced track,
  // placed by the recording time, then lands where they do. (What comes
  // before the cut is dropped for both alike.)
  recording_timer_->Stop(pause_elapsed_);
  recording_timer_->Start();

  state_ = kRecording;
  SendState();
  if (!status_timer_running_) {
    status_timer_running_ = true;
    worker_loop().PostWork(callback_factory_.NewCallback(&VideoEncoderInstance::OnStatusTimer),
                           500);
  }
  if (!main_loop_.pending()) RequestFrame();
  if (cam_trigger_mode_ && !cam_loop_.pending()) RequestCamFrame();
  PostTypedMessage("resume", pp::Var(false));
}

// ---------------------------------------------------------------------------
// The cut protocol.

void VideoEncoderInstance::ScheduleStop(bool both_pumps, int32_t force_delay_ms) {
  const int64_t written2 = audio2_pump_->written_until();
  const int64_t written = audio_pump_->written_until();
  int64_t t = std::max(written, written2);
  if (t <= 0) t = 1;
  t = std::max(t, last_frame_time_);
  if (!audio_track_.is_null()) t = RoundToAudioFrame(t);
  // What the completion does follows the state the command left.
  const RecordingCut::Kind kind = state_ == kStopping  ? RecordingCut::Kind::kStop
                                  : state_ == kPausing ? RecordingCut::Kind::kPause
                                                       : RecordingCut::Kind::kReplacement;
  const int32_t generation = cut_.Schedule(kind, t, both_pumps);
  if (cut_.first_pump_cut_off()) {
    // Its track is no longer recorded: silence up to the cut, at once.
    audio_pump_->FillSilence(t);
    if (audio_pump_->DrainToRecorder() != 0) LogError("add_audio_failed");
  } else {
    audio_pump_->ScheduleStop(
        t, callback_factory_.NewCallback(&VideoEncoderInstance::OnScheduledAudio));
  }
  if (both_pumps) {
    audio2_pump_->ScheduleStop(
        t, callback_factory_.NewCallback(&VideoEncoderInstance::OnScheduledAudio));
  }
  printf("scheduled stop at %" PRId64 "\n", t);
  worker_loop().PostWork(
      callback_factory_.NewCallback(&VideoEncoderInstance::ForceStop, both_pumps, generation),
      force_delay_ms);
}

int64_t VideoEncoderInstance::RoundToAudioFrame(int64_t time) {
  const int64_t k = recorder_->sample_rate_ / 1000;
  if (k <= 0) return time;
  const int64_t n = time * k;
  const int64_t f = recorder_->audio_frame_size();
  return (n + f - 1) / f * f / k;
}

void VideoEncoderInstance::OnScheduledVideo(int32_t) {
  if (!cut_.VideoReached()) return;
  printf("got scheduled video\n");
  printf("CheckPauseComplete\n");
  if (CutComplete()) CheckPauseComplete(cut_.last_cut());
}

void VideoEncoderInstance::OnScheduledAudio(int32_t) {
  printf("CheckPauseComplete\n");
  if (cut_.video_pending()) return;
  if (CutComplete()) CheckPauseComplete(cut_.last_cut());
}

bool VideoEncoderInstance::CutComplete() {
  return cut_.Complete(recorder_ && recorder_->audio_enabled_,
                       recorder_ && recorder_->audio2_enabled_);
}

void VideoEncoderInstance::ForceStop(int32_t, bool both_pumps, int32_t generation) {
  if (!cut_.IsCurrent(generation)) return;
  printf("force stopping\n");
  if (!audio_pump_->is_paused()) audio_pump_->ForceScheduledAudio();
  if (both_pumps && !audio2_pump_->is_paused()) audio2_pump_->ForceScheduledAudio();
  if (cut_.video_pending()) {
    // A main-frame request still out is discarded when it completes.
    cut_.NewVideoLoop();
    OnScheduledVideo(0);
  }
  OnScheduledAudio(0);
}

void VideoEncoderInstance::CheckPauseComplete(int64_t cut_time) {
  printf("stop completed\n");
  // A cut can come here more than once (the pumps' callbacks, the forced
  // completion's own calls): only the first acts.
  switch (cut_.Finish()) {
    case RecordingCut::Kind::kStop:
      ReleaseHeldPictures();
      CloseEncoder();
      break;
    case RecordingCut::Kind::kPause:
      printf("paused at: %" PRId64 "\n", cut_time);
      recording_timer_->Stop(cut_time);
      SetState(kPaused);
      PostTypedMessage("pause", pp::Var(false));
      break;
    case RecordingCut::Kind::kReplacement:
      if (ApplyReplacementTracks()) PostTypedMessage("replaceTracks", pp::Var(false));
      break;
    case RecordingCut::Kind::kNone:
      break;
  }
}

void VideoEncoderInstance::CloseEncoder() {
  printf("closing encoder\n");
  // The sound ends at the cut, not at the last whole frame before it.
  if (audio_pump_->DrainLastToRecorder() != 0 || audio2_pump_->DrainLastToRecorder() != 0) {
    LogError("add_audio_failed");
  }
  // The pumps refer to the recorder; they hand it nothing more.
  audio_pump_->ForgetRecorder();
  audio2_pump_->ForgetRecorder();
  SetRunningRecorder(nullptr);
  // The trailer, or a cluster that the muxer held until now, may not fit.
  if (recorder_->Close() < 0 && recorder_->write_error() != 0) OnOutOfDiskSpace();
  // The page's clock keeps counting from the delay to the end.
  closed_start_delay_ = recorder_->start_delay_;
  recorder_.reset();
  PostTypedMessage("stop", pp::Var(false));
  if (state_ != kClosed) {
    state_ = kClosed;
    SendState();
  }
}

bool VideoEncoderInstance::ApplyReplacementTracks() {
  bool result = false;
  if (!replacement_video_track_.is_null()) {
    printf("setting video track to replacement\n");
    cam_trigger_mode_ = false;
    retired_video_track_ = main_loop_.track();
    main_loop_.SetTrack(replacement_video_track_);
    replacement_video_track_ = pp::MediaStreamVideoTrack();
    cut_.NewVideoLoop();
    main_loop_.set_pending(true);
    video_configuring_ = true;
    int32_t configured = main_loop_.track().Configure(
        kReplacementTrackAttributes,
        callback_factory_.NewCallback(&VideoEncoderInstance::OnVideoConfigured));
    if (configured != PP_OK_COMPLETIONPENDING) {
      video_configuring_ = false;
      LogPepperError("configure replacement video failed", configured);
      return false;
    }
    result = true;
  }
  if (replacement_audio_track_.is_null()) {
    // The main video switched alone: the first audio track, which belongs
    // with it, is not recorded any more.
    if (result) cut_.CutOffFirstPump();
  } else {
    if (!recorder_ || !recorder_->audio_enabled_) {
      // The file has no first audio track to continue: its samples would
      // only pile up in the pump.
      printf("ignoring replacement audio track without a first audio track\n");
      replacement_audio_track_ = pp::MediaStreamAudioTrack();
      return result;
    }
    printf("setting audio track to replacement\n");
    if (!audio_pump_->SetTrack(replacement_audio_track_)) {
      LogError("configure replacement audio track failed");
      return false;
    }
    replacement_audio_track_ = pp::MediaStreamAudioTrack();
    cut_.RestoreFirstPump();
    return true;
  }
  return result;
}

}  // namespace kelmora
