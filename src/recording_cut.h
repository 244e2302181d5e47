#ifndef KELMORA_RECORDING_CUT_H_
#define KELMORA_RECORDING_CUT_H_

#include <cstdint>

namespace kelmora {

class AudioTrackPump;

// The cut of a recording: one instant of the recording timeline at which
// the video and the audio pumps taking part all end, for a "pause", a
// "stop" or a switch of tracks. It keeps the scheduled cut, which sides it
// still waits for, the generation that makes a stale forced completion do
// nothing, the time of the last cut (the frame loop drops what lies before
// it) and the generation of the main-track frame loop, which a forced cut
// ends. What a completed cut does is the recording instance's: this class
// only tells it when.
//
// Worker thread only; the pumps' paused flags are read through their own
// locked accessors.
class RecordingCut {
 public:
  enum class Kind { kNone, kPause, kStop, kReplacement };

  // A new recording with these pumps: no cut, none before.
  void Reset(AudioTrackPump* first, AudioTrackPump* second);

  // Schedules a cut of |kind| at |time| (never 0), of the video and the
  // first pump, and of the second when |both_pumps|; it takes the place of
  // an open one. Returns its generation, for its forced completion.
  int32_t Schedule(Kind kind, int64_t time, bool both_pumps);
  // The video has reached the cut, or is cut by force: false when the
  // video had no cut to reach.
  bool VideoReached();
  // Every side of the scheduled cut is at it: the video, and each pump of
  // the cut whose audio the recorder takes (|audio|, |audio2|).
  bool Complete(bool audio, bool audio2) const;
  // The cut's completion is acted on: a forced completion scheduled before
  // does nothing any more.
  void Finish();
  // A forced completion of |generation| still has something to do.
  bool IsCurrent(int32_t generation) const { return generation == generation_; }

  // A cut is scheduled and has not completed.
  bool active() const { return kind_ != Kind::kNone; }
  // The open cut is a stop: the recording ends at it.
  bool stopping() const { return kind_ == Kind::kStop; }
  // The open cut is a pause.
  bool pausing() const { return kind_ == Kind::kPause; }
  // The video is not yet at the scheduled cut.
  bool video_pending() const { return time_ != 0; }
  bool both_pumps() const { return both_pumps_; }
  // The scheduled cut time; 0 once the video reached it.
  int64_t time() const { return time_; }
  // The time of the last cut that the video reached; 0 before any.
  int64_t last_cut() const { return last_cut_; }
  // A main frame at |t| ends the video at the scheduled cut.
  bool Reaches(int64_t t) const { return time_ != 0 && t >= time_; }
  // A main frame at |t| lies at or before the last cut: it is dropped.
  bool Precedes(int64_t t) const { return last_cut_ != 0 && t <= last_cut_; }

  // The first pump's track was cut by a switch of the main video alone:
  // its audio is not recorded any more, until a replacement audio track.
  void CutOffFirstPump() { first_pump_cut_off_ = true; }
  void RestoreFirstPump() { first_pump_cut_off_ = false; }
  bool first_pump_cut_off() const { return first_pump_cut_off_; }

  // The main-track frame loop: a frame request carries the generation it
  // was made in; a new track or a forced cut starts a new one.
  int32_t video_generation() const { return video_generation_; }
  void NewVideoLoop() { ++video_generation_; }
  bool IsStaleVideo(int32_t generation) const { return generation != video_generation_; }

 private:
  AudioTrackPump* first_ = nullptr;
  AudioTrackPump* second_ = nullptr;
  Kind kind_ = Kind::kNone;
  int64_t time_ = 0;      // 0: the video is not waited for
  int64_t last_cut_ = 0;  // 0: no cut yet
  int32_t generation_ = 0;
  bool both_pumps_ = false;
  bool first_pump_cut_off_ = false;
  int32_t video_generation_ = 0;
};

}  // namespace kelmora

#endif  // KELMORA_RECORDING_CUT_H_
