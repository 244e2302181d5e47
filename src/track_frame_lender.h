#ifndef KELMORA_TRACK_FRAME_LENDER_H_
#define KELMORA_TRACK_FRAME_LENDER_H_

#include <memory>

#include "ppapi/cpp/media_stream_video_track.h"
#include "ppapi/cpp/video_frame.h"
#include "raw_video_writer.h"

namespace kelmora {

// Hands the frames of one video track on as SharedPictures, so that the
// recorder's graph reads the track's own buffer instead of a copy. A frame
// goes back to its track when its last holder (the frame loop, the graph)
// lets go.
//
// The pictures refer to their lender weakly: once the instance has let go
// of the lender, and with it of the track (at destruction the tracks go
// before the recorder), a picture that is released later leaves the track
// alone; the track has taken its buffers back itself by then. So the
// instance holds each lender exactly as long as the track it lends from.
//
// Worker thread; a picture may also be released on the thread that
// destroys the recorder after the worker has ended.
class TrackFrameLender : public std::enable_shared_from_this<TrackFrameLender> {
 public:
  explicit TrackFrameLender(const pp::MediaStreamVideoTrack& track) : track_(track) {}
  TrackFrameLender(const TrackFrameLender&) = delete;
  TrackFrameLender& operator=(const TrackFrameLender&) = delete;

  const pp::MediaStreamVideoTrack& track() const { return track_; }

  // The frame's data buffer, shared. Never empty, even when the frame
  // holds no picture (the pointer is then null): dropping it is what
  // recycles the frame.
  SharedPicture Lend(const pp::VideoFrame& frame);

 private:
  pp::MediaStreamVideoTrack track_;
};

}  // namespace kelmora

#endif  // KELMORA_TRACK_FRAME_LENDER_H_
