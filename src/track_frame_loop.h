#ifndef KELMORA_TRACK_FRAME_LOOP_H_
#define KELMORA_TRACK_FRAME_LOOP_H_

#include <cstdint>
#include <memory>

#include "frame_scaler.h"
#include "geometry.h"
#include "ppapi/cpp/completion_callback.h"
#include "ppapi/cpp/media_stream_video_track.h"
#include "ppapi/cpp/video_frame.h"
#include "raw_video_writer.h"
#include "timestamp_mapper.h"
#include "track_frame_lender.h"

namespace kelmora {

// What the recording instance keeps of one video track's frame loop (the
// main track and the camera have one each): the track, whether a frame
// request is outstanding, the track's timeline, and where its pictures are
// copied and scaled to the recorder's size. The frames themselves go back
// to the track as soon as their picture is copied. (The generation that
// main requests carry is the cut's, RecordingCut: a forced cut ends the
// loop.) Worker thread.
class TrackFrameLoop {
 public:
  TrackFrameLoop() = default;
  TrackFrameLoop(const TrackFrameLoop&) = delete;
  TrackFrameLoop& operator=(const TrackFrameLoop&) = delete;

  pp::MediaStreamVideoTrack& track() { return track_; }
  bool is_null() const { return track_.is_null(); }
  // A new track: its timeline starts again, its pictures are copied into
  // buffers of its own.
  void SetTrack(const pp::MediaStreamVideoTrack& track);
  // No track, nothing outstanding.
  void Reset();

  bool pending() const { return pending_; }
  void set_pending(bool pending) { pending_ = pending; }
  TimestampMapper& timeline() { return timeline_; }

  // Asks the track for its next frame (pending from now on); the track's
  // immediate result.
  int32_t Request(const pp::CompletionCallbackWithOutput<pp::VideoFrame>& callback);
  void Recycle(const pp::VideoFrame& frame) { track_.RecycleFrame(frame); }
  // The frame's picture at |size|, copied (empty when the frame holds no
  // readable I420 picture); the frame goes back to the track.
  SharedPicture TakePicture(const pp::VideoFrame& frame, const Size& size);
  // The same without the copy where the frame already holds an I420
  // picture of |size|: the picture shares the frame, which goes back to the
  // track when its last holder lets go. For a picture that nobody waits
  // for the track to get back (the last one of a destroyed recording).
  SharedPicture SharePicture(const pp::VideoFrame& frame, const Size& size);

 private:
  pp::MediaStreamVideoTrack track_;
  bool pending_ = false;
  TimestampMapper timeline_;
  // The lender of the current track, made when first needed.
  TrackFrameLender* Lender();
  std::shared_ptr<TrackFrameLender> lender_;
  FrameScaler scaler_;
};

}  // namespace kelmora

#endif  // KELMORA_TRACK_FRAME_LOOP_H_
