#ifndef PPHOST_MEDIA_SOURCE_H_
#define PPHOST_MEDIA_SOURCE_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ppapi/c/pp_time.h"
#include "ppplatform/media_stream_audio_track_impl.h"
#include "ppplatform/media_stream_video_track_impl.h"
#include "track_set.h"

namespace pphost {

// A change to a running source: from a source's "changes" list (at_ms
// after the source was made) or from a $track directive (at once).
struct SourceChange {
  int64_t at_ms = 0;
  bool silent = false;  // stop delivering; the track stays open
  bool resume = false;  // deliver again
  bool end = false;     // end the track
  int width = 0;        // new frame size (video), 0: unchanged
  int height = 0;
  int rate = 0;      // new sample rate (audio), 0: unchanged
  int channels = 0;  // new channel count (audio), 0: unchanged
};

// A page-side media source feeding one track in real time on its own
// thread, timed by the platform's time ticks so that every source of the
// page shares one clock. It feeds every resource made for the page's
// track. Subclasses produce the media; this class runs the
// thread, the start delay and the changes.
//
// Start, Apply and Stop are called from the page's (main) thread;
// everything else runs on the source's thread.
class MediaSource {
 public:
  virtual ~MediaSource();
  MediaSource(const MediaSource&) = delete;
  MediaSource& operator=(const MediaSource&) = delete;

  // Starts the thread; the source delivers from |start_delay_ms| on.
  void Start();
  // Applies |change| as soon as the source's thread sees it.
  void Apply(const SourceChange& change);
  // Ends the thread (the tracks stay as they are).
  void Stop();

  // Another resource for the page's track, fed from now on (a video
  // source feeds video tracks, an audio source audio tracks).
  void AddTrack(std::shared_ptr<pp::platform::MediaStreamVideoTrackImpl> track) {
    video_tracks_.Add(std::move(track));
  }
  void AddTrack(std::shared_ptr<pp::platform::MediaStreamAudioTrackImpl> track) {
    audio_tracks_.Add(std::move(track));
  }

  // The platform's time ticks, in seconds.
  static PP_TimeTicks Now();

 protected:
  MediaSource(std::string thread_name, int64_t start_delay_ms, std::vector<SourceChange> changes);

  // Delivers what is due at |now| (nothing while |silent|, but time goes
  // on) and returns when the next item is due.
  virtual PP_TimeTicks Produce(PP_TimeTicks now, bool silent) = 0;
  // The start of delivery, and a resume after silence: timing restarts at
  // |now|. Also called before the first Produce.
  virtual void Restart(PP_TimeTicks now) = 0;
  virtual void Resize(int width, int height) {}
  virtual void Reformat(int rate, int channels) {}
  // Ends the tracks.
  void EndTracks();

  TrackSet<pp::platform::MediaStreamVideoTrackImpl>& video_tracks() { return video_tracks_; }
  TrackSet<pp::platform::MediaStreamAudioTrackImpl>& audio_tracks() { return audio_tracks_; }

 private:
  void Run();
  // True when the source must end.
  bool ApplyOnThread(const SourceChange& change, PP_TimeTicks now, bool* silent);

  TrackSet<pp::platform::MediaStreamVideoTrackImpl> video_tracks_;
  TrackSet<pp::platform::MediaStreamAudioTrackImpl> audio_tracks_;

  const std::string thread_name_;
  const int64_t start_delay_ms_;
  std::vector<SourceChange> changes_;  // sorted by time
  PP_TimeTicks origin_ = 0;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<SourceChange> applied_;  // from Apply, not yet seen
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace pphost

#endif  // PPHOST_MEDIA_SOURCE_H_
