#ifndef KELMORA_VIDEO_ENCODER_INSTANCE_H_
#define KELMORA_VIDEO_ENCODER_INSTANCE_H_

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include <boost/optional.hpp>

#include "audio_track_pump.h"
#include "base_clock.h"
#include "geometry.h"
#include "ppapi/c/pp_instance.h"
#include "ppapi/cpp/core.h"
#include "ppapi/cpp/media_stream_audio_track.h"
#include "ppapi/cpp/media_stream_video_track.h"
#include "ppapi/cpp/var.h"
#include "ppapi/cpp/var_dictionary.h"
#include "ppapi/cpp/video_frame.h"
#include "ppapi/utility/completion_callback_factory.h"
#include "recording_cut.h"
#include "threading.h"
#include "ticker_timer.h"
#include "track_frame_loop.h"
#include "video_recorder.h"
#include "worker_base_instance.h"

namespace kelmora {

// The plug-in instance of encoder_module: one recording from "start" to
// "stop". The main thread only checks the page's messages and posts them;
// every handler, track completion, timer and the recorder itself run on
// the worker thread ("recorder-worker"), except the encoding and muxing,
// which the recorder's encoding stage runs behind the graph on a thread of
// its own. The audio pumps have threads of their own and reach the
// instance only through work posted to the worker.
//
// The implementation reads by role:
//   video_encoder_instance.cc         life, message dispatch, state reports
//   video_encoder_instance_start.cc   "start", track set-up, start time-out
//   video_encoder_instance_frames.cc  frame loops, recorder set-up, status tick
//                                     (each track's loop state: TrackFrameLoop)
//   video_encoder_instance_cuts.cc    pause, resume, stop, replaceTracks
class VideoEncoderInstance : public WorkerBaseInstance {
 public:
  explicit VideoEncoderInstance(PP_Instance instance);
  ~VideoEncoderInstance() override;

  // Main thread.
  bool Init(uint32_t argc, const char* argn[], const char* argv[]) override;
  void HandleMessage(const pp::Var& message) override;

  // Recording states.
  enum State : int32_t {
    kClosed = 0,
    kIdle = 1,
    kStarting = 2,
    kRecording = 4,
    kStopping = 5,
    kPausing = 6,
    kPaused = 7,
  };

 private:
  // --- Protocol and state (video_encoder_instance.cc) ---
  void SetState(int32_t state);
  void SendState();
  static const char* StateName(int32_t state);
  // Tells the page that a write to the file failed. Any thread: the file
  // may be written on another thread than the worker; it only posts.
  void OnOutOfDiskSpace();
  int64_t GetTime();
  // Reports a pump's failure to the page; any thread.
  void ReportPumpError(const std::string& code);
  // Worker, at destruction: closes a running recording silently so that
  // its file stays readable.
  void CloseOnDestroy(int32_t result);

  // --- Start (video_encoder_instance_start.cc) ---
  void Start(int32_t result, const pp::VarDictionary& data);
  void CreateRecorder();
  static boost::optional<Rect> ParseCrop(const pp::Var& crop);
  static boost::optional<Size> ParseSize(const pp::Var& size);
  int32_t ConfigureVideoTrack();
  int32_t ConfigureCamTrack(int32_t width, int32_t height);
  void OnVideoConfigured(int32_t result);
  void OnCamConfigured(int32_t result);
  void OnStartTimeout(int32_t result);

  // --- Frame loops (video_encoder_instance_frames.cc) ---
  void RequestFrame();
  void RecycleAndRequestFrame(const pp::VideoFrame& frame);
  void RequestCamFrame();
  // |track| is the resource asked: a frame of a main track replaced since
  // goes back to that track. (An id, not a reference: a callback must not
  // be what keeps a track alive.)
  void OnFrame(int32_t result, const pp::VideoFrame& frame, int32_t generation,
               PP_Resource track);
  void OnCamFrame(int32_t result, const pp::VideoFrame& frame);
  bool SetMainSizeFromFrame(const pp::VideoFrame& frame);
  void ReconfigureCam(int32_t result);
  bool InitRecorder(const pp::VideoFrame& frame);
  // The set-up failed: the recording never runs, its audio is let go.
  void FailRecorderSetUp();
  // |picture| is a main picture of the recorder's size, with the held
  // camera picture as its overlay; the work behind the graph (encoding,
  // muxing) runs on the encoding stage's thread.
  bool AddFrame(const SharedPicture& picture, int64_t time);
  // True when |time| is at or past a scheduled cut: the video side of the
  // cut is then complete (posted).
  bool ReachedStopTime(int64_t time);
  // At the stop: the held camera picture and the last main picture go.
  void ReleaseHeldPictures();
  void UpdateFps(int64_t time);
  void RepeatLastFrame();
  void OnStatusTimer(int32_t result);

  // --- Cuts (video_encoder_instance_cuts.cc) ---
  void Stop(int32_t result, const pp::VarDictionary& data);
  void Pause(int32_t result, const pp::VarDictionary& data);
  void Resume(int32_t result, const pp::VarDictionary& data);
  void ReplaceTracks(int32_t result, const pp::VarDictionary& data);
  void ScheduleStop(bool both_pumps, int32_t force_delay_ms);
  void ScheduleStopDefault(bool both_pumps) { ScheduleStop(both_pumps, 1000); }
  int64_t RoundToAudioFrame(int64_t time);
  void OnScheduledAudio(int32_t result);
  void OnScheduledVideo(int32_t result);
  void ForceStop(int32_t result, bool both_pumps, int32_t generation);
  // Every side of the scheduled cut has reached it.
  bool CutComplete();
  void CheckPauseComplete(int64_t cut_time);
  bool ApplyReplacementTracks();
  void CloseEncoder();

  std::atomic<bool> recorder_initialized_{false};
  int32_t state_ = kIdle;
  std::unique_ptr<VideoRecorder> recorder_;
  std::unique_ptr<AudioTrackPump> audio_pump_;
  std::unique_ptr<AudioTrackPump> audio2_pump_;
  // The main video track's loop: track, request, generation, timeline.
  TrackFrameLoop main_loop_;
  pp::MediaStreamAudioTrack audio_track_;
  pp::MediaStreamAudioTrack audio2_track_;
  pp::MediaStreamVideoTrack replacement_video_track_;
  pp::MediaStreamAudioTrack replacement_audio_track_;
  pp::CompletionCallbackFactory<VideoEncoderInstance, pp::ThreadSafeThreadTraits>
      callback_factory_;
  // The camera's loop; its track is null without a camera.
  TrackFrameLoop cam_loop_;
  int64_t last_frame_time_ = 0;
  pp::Core* core_ = nullptr;
  int64_t pause_start_ = 0;
  bool status_timer_running_ = false;
  int status_ticks_ = 0;
  float fps_ = -1;
  bool cam_trigger_mode_ = false;
  bool first_frame_seen_ = true;
  // The scheduled cut and its completion, the last cut, and the
  // generation of the main-track frame loop.
  RecordingCut cut_;
  // The start delay of the recorder closed at the stop, for the last
  // "state".
  int64_t closed_start_delay_ = 0;
  std::unique_ptr<TickerTimer> recording_timer_;
  std::unique_ptr<TickerTimer> last_frame_timer_;
  Size cam_source_size_;
  Size cam_size_;
  Size main_size_;
  Size recording_size_;
  std::unique_ptr<BaseClock> clock_;

  // The recorder's Init succeeded: only then is it fed.
  bool recorder_ready_ = false;
  // Set by the destructor (main thread): frames and repeats still queued
  // on the worker are not encoded any more, so the destruction waits only
  // for the work item running and the close of the file.
  std::atomic<bool> destroying_{false};
  // The recorder has been given a picture.
  bool picture_added_ = false;
  // The recorder from its set-up until its close: the destruction tells
  // it from the main thread at once that its queued pictures go, also
  // while the worker waits for room in the encoder's queue.
  Mutex running_recorder_mutex_;
  VideoRecorder* running_recorder_ = nullptr;  // guarded by the mutex
  void SetRunningRecorder(VideoRecorder* recorder);
  // A configuration of the main track is outstanding; its completion asks
  // for the first frame.
  bool video_configuring_ = false;
  // Recording time at the "pause" command: the resume goes on from there.
  int64_t pause_elapsed_ = 0;
  // The main track before the last replacement, for its frames still on
  // their way.
  pp::MediaStreamVideoTrack retired_video_track_;

  // Copies of the last main picture added (for the repeat) and of the
  // camera picture held as the overlay: the frames themselves went back
  // to their tracks when they were copied. cam_picture_held_ is set from
  // the first camera frame after the set-up on (the picture is empty when
  // that frame could not be read).
  SharedPicture last_picture_;
  SharedPicture cam_picture_;
  bool cam_picture_held_ = false;
};

}  // namespace kelmora

#endif  // KELMORA_VIDEO_ENCODER_INSTANCE_H_
