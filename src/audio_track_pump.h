#ifndef KELMORA_AUDIO_TRACK_PUMP_H_
#define KELMORA_AUDIO_TRACK_PUMP_H_

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "ppapi/cpp/audio_buffer.h"
#include "ppapi/cpp/completion_callback.h"
#include "ppapi/cpp/instance_handle.h"
#include "ppapi/cpp/media_stream_audio_track.h"
#include "ppapi/cpp/message_loop.h"
#include "ppapi/utility/completion_callback_factory.h"
#include "ppapi/utility/threading/simple_thread.h"
#include "threading.h"
#include "timestamp_mapper.h"

struct SwrContext;

namespace kelmora {

class TickerTimer;
class VideoRecorder;

// Pulls the buffers of one audio track on a thread of its own, places their
// samples on the recording timeline and queues them until the worker hands
// whole audio frames to one audio input of the recorder. It also carries
// the audio side of a cut: the audio ends exactly at the cut time, padded
// with silence when the cut is forced.
//
// Threads: the constructor, SetTrack, EnableOutput, ScheduleStop,
// ForceScheduledAudio, Resume, FillSilence, Release, DrainToRecorder,
// DrainLastToRecorder, ForgetRecorder and the accessors run on the worker
// thread that constructed the pump (the recorder is only touched there);
// the pump thread only requests buffers and queues their samples. The destructor runs on the worker or on the
// main thread.
class AudioTrackPump {
 public:
  // Failures caused outside the program (the browser refused a request, a
  // track changed its format beyond repair, the disk is full) go to the
  // page through this, by their code; it may be called on either thread.
  typedef std::function<void(const std::string& code)> ErrorReporter;

  AudioTrackPump(const pp::InstanceHandle& instance, VideoRecorder* recorder,
                 int slot, TickerTimer* recording_timer, ErrorReporter report_error);
  // Joins the pump thread first; callbacks still outstanding do nothing.
  ~AudioTrackPump();
  AudioTrackPump(const AudioTrackPump&) = delete;
  AudioTrackPump& operator=(const AudioTrackPump&) = delete;

  // Sets or replaces the track (a replacement only after a completed cut)
  // and configures it. True when the configuration is pending.
  bool SetTrack(const pp::MediaStreamAudioTrack& track);
  void EnableOutput(bool enable);
  // The audio ends at |stop_time| ms; |callback| is posted to the worker
  // once it does; what the pump queued past it already is dropped.
  // Nothing without a track.
  void ScheduleStop(int64_t stop_time, const pp::CompletionCallback& callback);
  // Completes a scheduled cut now, padding the missing audio with silence.
  void ForceScheduledAudio();
  // Goes on after a pause of |pause_ms|.
  void Resume(int64_t pause_ms);
  // A paused pump whose track is no longer recorded: its input of the
  // recorder goes on with silence up to |until| ms (handed over with the
  // next drain).
  void FillSilence(int64_t until);
  // The recording will not take this pump's audio (its set-up failed): it
  // stops queueing, drops what it queued and lets go of its track.
  void Release();
  // Whole audio frames of the queue to the recorder; the recorder's result.
  int DrainToRecorder();
  // The recording ends: all of the queue to the recorder, what is left
  // after the whole frames as one short frame. A pause keeps that rest
  // queued instead, for the audio after the resume to follow on.
  int DrainLastToRecorder();
  // The recorder is about to be deleted: nothing of the pump touches it
  // afterwards.
  void ForgetRecorder() { recorder_ = nullptr; }

  int64_t written_until();
  bool is_paused();
  bool has_track() const { return !track_.is_null(); }

 private:
  // Pump thread.
  void NameThread(int32_t result);
  void GetNextBuffer(int32_t result);
  // |track| is the resource asked: a buffer of a track replaced meanwhile
  // goes back to it unused. (An id, not a reference: a callback must not be
  // what keeps a track alive.)
  void OnGetBuffer(int32_t result, const pp::AudioBuffer& buffer, PP_Resource track);
  // Lock held. Appends the buffer's samples in the pump's own format to
  // |converted|; false when they cannot be brought to it.
  bool ConvertBuffer(pp::AudioBuffer& buffer, std::vector<int16_t>* converted);
  // Lock held. Queues silence from written_until_ up to |until|.
  void PadLocked(int64_t until);
  // Lock held. True: ask for the next buffer.
  bool AddBuffer(std::vector<int16_t> samples, int64_t ts);
  void RecycleAndRequestBuffer(const pp::AudioBuffer& buffer);
  void ReportTrackFailure(const std::string& code);
  // Lock held: issues the one outstanding buffer request.
  void RequestBufferLocked();

  // Worker thread.
  void OnConfigured(int32_t result);
  void OnRetryConfigured(int32_t result);
  void UpdateRecorderFormat(int32_t result);
  void OnScheduledAudio(int32_t result);
  void CompleteCut();
  void Flush(int64_t cut);
  // Whole frames of the queue to the recorder and, when |last|, the rest
  // as one short frame.
  int Drain(bool last);
  void StartPulling();

  // Constructed first and destroyed last; the destructor joins it before
  // anything else goes.
  pp::SimpleThread thread_;
  int64_t written_until_ = 0;
  int64_t stop_time_ = 0;           // 0: no cut scheduled
  int64_t previous_stop_time_ = 0;  // 0: no cut yet
  TimestampMapper timeline_;
  std::deque<int16_t> samples_;
  Mutex lock_;
  int32_t channels_ = 0;
  int32_t rate_ = 0;
  bool output_enabled_ = false;
  bool is_paused_ = false;
  // A GetBuffer is outstanding: the track takes one at a time.
  bool buffer_pending_ = false;
  // Configure is outstanding: its completion starts the pulling.
  bool configuring_ = false;
  // The next buffer starts a timeline (a new track, a resume): it is
  // placed exactly, with silence before it or its overlap dropped.
  bool align_next_ = true;
  // Pulling ended for good on this track after a failure the page was told.
  bool track_failed_ = false;
  VideoRecorder* recorder_;
  pp::CompletionCallbackFactory<AudioTrackPump, pp::ThreadSafeThreadTraits>
      callback_factory_;
  pp::MediaStreamAudioTrack track_;
  // The track before the last replacement, for its buffer still on its way.
  pp::MediaStreamAudioTrack retired_track_;
  pp::CompletionCallback stop_callback_;
  pp::MessageLoop owner_loop_;
  const int32_t slot_;
  TickerTimer* recording_timer_;
  ErrorReporter report_error_;
  // Brings the buffers of a track whose format differs from the first
  // buffer's to that format; null while they agree.
  SwrContext* resampler_ = nullptr;
  int32_t resampler_channels_ = 0;
  int32_t resampler_rate_ = 0;
};

}  // namespace kelmora

#endif  // KELMORA_AUDIO_TRACK_PUMP_H_
