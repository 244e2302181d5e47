// "start": the recorder's settings from the page, and the set-up of the
// tracks. Worker thread.

#include <cfloat>
#include <cstdint>
#include <cstdio>

#include "ppapi/c/pp_errors.h"
#include "ppapi/c/ppb_media_stream_video_track.h"
#include "ppapi/c/ppb_video_frame.h"
#include "page_numbers.h"
#include "video_encoder_instance.h"
#include "video_encoder_rule.h"

namespace kelmora {

namespace {

const int32_t kMainTrackAttributes[] = {
    PP_MEDIASTREAMVIDEOTRACK_ATTRIB_FORMAT, PP_VIDEOFRAME_FORMAT_I420,
    PP_MEDIASTREAMVIDEOTRACK_ATTRIB_BUFFERED_FRAMES, 2,
    PP_MEDIASTREAMVIDEOTRACK_ATTRIB_NONE};

}  // namespace

void VideoEncoderInstance::Start(int32_t, const pp::VarDictionary& data) {
  if (state_ != kIdle) {
    PostTypedMessage("start", "encoder not ready");
    return;
  }
  Log("Starting...");
  CreateRecorder();

  // Numbers that their field cannot hold, or that mean nothing there (a
  // negative delay or gain), count as absent.
  int32_t chrome_version = 0;
  if (ReadPageInt(data.Get("chromeVersion"), INT32_MIN, INT32_MAX, &chrome_version)) {
    SetChromeVersion(chrome_version);
  }

  // A missing or non-string name passes as empty; the set-up refuses it.
  recorder_->filename_ = data.Get("filename").AsString();
  pp::Var codec = data.Get("codec");
  if (codec.is_string()) recorder_->video_codec_ = codec.AsString();
  pp::Var audio_codec = data.Get("audioCodec");
  if (audio_codec.is_string()) recorder_->audio_codec_ = audio_codec.AsString();
  pp::Var format = data.Get("format");
  if (format.is_string()) recorder_->format_ = format.AsString();
  pp::Var cam_position = data.Get("camPosition");
  if (cam_position.is_string()) {
    recorder_->cam_position_ = VideoRecorder::CamPositionFromString(cam_position.AsString());
  }
  pp::Var branding = data.Get("brandingFilename");
  if (branding.is_string()) recorder_->branding_filename_ = branding.AsString();
  ReadScaledPageInt(data.Get("startDelay"), 1000.0, 0, INT32_MAX, &recorder_->start_delay_);

  pp::Var crop = data.Get("crop");
  if (crop.is_dictionary()) {
    boost::optional<Rect> rect = ParseCrop(crop);
    if (!rect) {
      PostTypedMessage("start", "invalid crop supplied");
      return;
    }
    recorder_->crop_ = rect;
  }
  pp::Var original_size = data.Get("originalMainSize");
  if (original_size.is_dictionary()) {
    boost::optional<Size> size = ParseSize(original_size);
    if (size) recorder_->original_main_size_ = size;
  }

  pp::Var video_track = data.Get("videoTrack");
  if (!video_track.is_resource()) {
    PostTypedMessage("start", "invalid videoTrack supplied");
    return;
  }
  pp::Var is_cam = data.Get("videoTrackIsCam");
  if (is_cam.is_bool() && is_cam.AsBool()) first_frame_seen_ = false;

  // A track of the other kind cannot be configured as this one; refused
  // here, the recorder would wait for a track that is not there.
  if (!pp::MediaStreamVideoTrack::IsMediaStreamVideoTrack(video_track.AsResource())) {
    PostTypedMessage("start", "configure video failed");
    return;
  }
  main_loop_.SetTrack(pp::MediaStreamVideoTrack(video_track.AsResource()));
  if (ConfigureVideoTrack() != PP_OK_COMPLETIONPENDING) {
    PostTypedMessage("start", "configure video failed");
    return;
  }

  pp::Var audio_track = data.Get("audioTrack");
  if (audio_track.is_resource()) {
    Log("HAVE audio");
    if (!pp::MediaStreamAudioTrack::IsMediaStreamAudioTrack(audio_track.AsResource())) {
      PostTypedMessage("start", "configure audio failed");
      return;
    }
    recorder_->audio_enabled_ = true;
    audio_track_ = pp::MediaStreamAudioTrack(audio_track.AsResource());
    if (!audio_pump_->SetTrack(audio_track_)) {
      PostTypedMessage("start", "configure audio failed");
      return;
    }
  }
  pp::Var audio2_track = data.Get("audioTrack2");
  if (audio2_track.is_resource()) {
    Log("HAVE audio2");
    if (!pp::MediaStreamAudioTrack::IsMediaStreamAudioTrack(audio2_track.AsResource())) {
      PostTypedMessage("start", "configure audio2 failed");
      return;
    }
    recorder_->audio2_enabled_ = true;
    audio2_track_ = pp::MediaStreamAudioTrack(audio2_track.AsResource());
    ReadPageFloat(data.Get("micVolume"), 0.0f, FLT_MAX, &recorder_->audio2_gain_);
    if (!audio2_pump_->SetTrack(audio2_track_)) {
      PostTypedMessage("start", "configure audio2 failed");
      return;
    }
  }
  pp::Var cam_track = data.Get("camTrack");
  if (cam_track.is_resource()) {
    Log("HAVE cam");
    if (!pp::MediaStreamVideoTrack::IsMediaStreamVideoTrack(cam_track.AsResource())) {
      PostTypedMessage("start", "configure cam video failed");
      return;
    }
    recorder_->cam_enabled_ = true;
    cam_loop_.SetTrack(pp::MediaStreamVideoTrack(cam_track.AsResource()));
    if (ConfigureCamTrack(0, 0) != PP_OK_COMPLETIONPENDING) {
      PostTypedMessage("start", "configure cam video failed");
      return;
    }
  }
  SetState(kStarting);
}

void VideoEncoderInstance::CreateRecorder() {
  status_timer_running_ = false;
  recording_timer_->Reset();
  last_frame_timer_->Reset();
  main_loop_.Reset();
  cam_loop_.Reset();
  last_frame_time_ = 0;
  picture_added_ = false;
  cam_trigger_mode_ = false;
  fps_ = -1;
  video_configuring_ = false;
  audio_track_ = pp::MediaStreamAudioTrack();
  audio2_track_ = pp::MediaStreamAudioTrack();
  last_picture_.reset();
  cam_picture_.reset();
  cam_picture_held_ = false;
  cam_source_size_ = Size();
  cam_size_ = Size();
  main_size_ = Size();
  recording_size_ = Size();

  // The pumps refer to the recorder: the new ones replace the old before
  // the old recorder goes.
  SetRunningRecorder(nullptr);
  std::unique_ptr<VideoRecorder> old_recorder = std::move(recorder_);
  recorder_.reset(new VideoRecorder());
  recorder_ready_ = false;
  auto report = [this](const std::string& code) { ReportPumpError(code); };
  std::unique_ptr<AudioTrackPump> pump(new AudioTrackPump(
      pp::InstanceHandle(this), recorder_.get(), 0, recording_timer_.get(), report));
  audio_pump_ = std::move(pump);
  pump.reset(new AudioTrackPump(pp::InstanceHandle(this), recorder_.get(), 1,
                                recording_timer_.get(), report));
  audio2_pump_ = std::move(pump);
  old_recorder.reset();
  cut_.Reset(audio_pump_.get(), audio2_pump_.get());

  recorder_initialized_.exchange(false);
  first_frame_seen_ = true;
}

boost::optional<Rect> VideoEncoderInstance::ParseCrop(const pp::Var& var) {
  pp::VarDictionary crop(var);
  // Whether the crop fits the picture is tested on the first frame; here
  // only that each side is a number an int32 holds.
  Rect rect;
  if (!ReadPageInt(crop.Get("top"), INT32_MIN, INT32_MAX, &rect.top) ||
      !ReadPageInt(crop.Get("left"), INT32_MIN, INT32_MAX, &rect.left) ||
      !ReadPageInt(crop.Get("width"), INT32_MIN, INT32_MAX, &rect.width) ||
      !ReadPageInt(crop.Get("height"), INT32_MIN, INT32_MAX, &rect.height)) {
    return boost::none;
  }
  return rect;
}

boost::optional<Size> VideoEncoderInstance::ParseSize(const pp::Var& var) {
  pp::VarDictionary dict(var);
  Size size;
  if (!ReadPageInt(dict.Get("width"), INT32_MIN, INT32_MAX, &size.width) ||
      !ReadPageInt(dict.Get("height"), INT32_MIN, INT32_MAX, &size.height)) {
    return boost::none;
  }
  return size;
}

int32_t VideoEncoderInstance::ConfigureVideoTrack() {
  cut_.NewVideoLoop();
  main_loop_.set_pending(true);
  video_configuring_ = true;
  return main_loop_.track().Configure(
      kMainTrackAttributes,
      callback_factory_.NewCallback(&VideoEncoderInstance::OnVideoConfigured));
}

int32_t VideoEncoderInstance::ConfigureCamTrack(int32_t width, int32_t height) {
  const int32_t attributes[] = {PP_MEDIASTREAMVIDEOTRACK_ATTRIB_FORMAT,
                                PP_VIDEOFRAME_FORMAT_I420,
                                PP_MEDIASTREAMVIDEOTRACK_ATTRIB_WIDTH,
                                width,
                                PP_MEDIASTREAMVIDEOTRACK_ATTRIB_HEIGHT,
                                height,
                                PP_MEDIASTREAMVIDEOTRACK_ATTRIB_BUFFERED_FRAMES,
                                2,
                                PP_MEDIASTREAMVIDEOTRACK_ATTRIB_NONE};
  return cam_loop_.track().Configure(
      attributes, callback_factory_.NewCallback(&VideoEncoderInstance::OnCamConfigured));
}

void VideoEncoderInstance::OnVideoConfigured(int32_t result) {
  video_configuring_ = false;
  if (result != PP_OK) {
    LogPepperError("video configure failed:", result);
    return;
  }
  RequestFrame();
}

void VideoEncoderInstance::OnCamConfigured(int32_t result) {
  if (result != PP_OK) {
    LogPepperError("cam video configure failed:", result);
    return;
  }
  RequestCamFrame();
}

void VideoEncoderInstance::OnStartTimeout(int32_t) {
  if (recorder_initialized_.load()) return;
  if (!recorder_) {
    LogError("start_timeout");
  } else if (!audio_track_.is_null() && recorder_->sample_rate_ <= 0) {
    LogError("start_timeout:no_audio");
  } else if (!cam_loop_.is_null() && (cam_size_.width == 0 || cam_size_.height == 0)) {
    LogError("start_timeout:no_cam");
  } else {
    LogError("start_timeout");
  }
}

}  // namespace kelmora
