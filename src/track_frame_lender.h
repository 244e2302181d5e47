#ifndef KELMORA_TRACK_FRAME_LENDER_H_
#define KELMORA_TRACK_FRAME_LENDER_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "frame_scaler.h"
#include "geometry.h"
#include "ppapi/cpp/media_stream_video_track.h"
#include "ppapi/cpp/video_frame.h"
#include "raw_video_writer.h"
#include "threading.h"

namespace kelmora {

// Hands the pictures of one video track on as SharedPictures.
//
// Lend shares the track's own buffer: the frame goes back to its track
// when its last holder (the frame loop, the graph) lets go. Copy takes the
// picture out into a buffer of the lender's own and leaves the frame free
// to go back at once: a track has only two buffers, and one held by the
// graph or kept for a repeat leaves the track a single one, so that a
// frame whose work takes longer than a frame interval costs the next.
// Copies are made into a few recycled buffers, so that a recording does
// not allocate a picture per frame.
//
// The pictures refer to their lender weakly: once the instance has let go
// of the lender, and with it of the track (at destruction the tracks go
// before the recorder), a picture that is released later leaves the track
// alone; the track has taken its buffers back itself by then. So the
// instance holds each lender exactly as long as the track it lends from.
//
// Worker thread; a picture may also be released on the encoding thread or
// on the thread that destroys the recorder after the worker has ended.
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

  // The frame's I420 picture at |target| (scaled by |scaler| when the
  // frame has another size), in a buffer of the lender's; empty when the
  // frame holds no picture that can be read. The frame is not recycled.
  SharedPicture Copy(const pp::VideoFrame& frame, FrameScaler* scaler, const Size& target);

  // The frame's size; empty when it has none.
  static Size FrameSize(const pp::VideoFrame& frame);

  // Buffers kept for reuse at most.
  static constexpr size_t kSpareBuffers = 4;

 private:
  struct Pool {
    Mutex mutex;
    std::vector<std::unique_ptr<std::vector<uint8_t>>> spare;  // guarded by mutex
  };

  pp::MediaStreamVideoTrack track_;
  std::shared_ptr<Pool> pool_ = std::make_shared<Pool>();
};

}  // namespace kelmora

#endif  // KELMORA_TRACK_FRAME_LENDER_H_
