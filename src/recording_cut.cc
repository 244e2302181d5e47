#include "recording_cut.h"

#include "audio_track_pump.h"

namespace kelmora {

void RecordingCut::Reset(AudioTrackPump* first, AudioTrackPump* second) {
  first_ = first;
  second_ = second;
  kind_ = Kind::kNone;
  time_ = 0;
  last_cut_ = 0;
  both_pumps_ = false;
  first_pump_cut_off_ = false;
  video_generation_ = 0;
}

int32_t RecordingCut::Schedule(Kind kind, int64_t time, bool both_pumps) {
  kind_ = kind;
  time_ = time;
  both_pumps_ = both_pumps;
  return ++generation_;
}

bool RecordingCut::VideoReached() {
  if (time_ == 0) return false;
  last_cut_ = time_;
  time_ = 0;
  return true;
}

bool RecordingCut::Complete(bool audio, bool audio2) const {
  if (time_ != 0) return false;
  if (audio && first_ && !first_->is_paused()) return false;
  if (both_pumps_ && audio2 && second_ && !second_->is_paused()) return false;
  return true;
}

void RecordingCut::Finish() {
  kind_ = Kind::kNone;
  ++generation_;
}

}  // namespace kelmora
