#include "track_frame_loop.h"

#include "frame_timeline.h"

namespace kelmora {

void TrackFrameLoop::SetTrack(const pp::MediaStreamVideoTrack& track) {
  track_ = track;
  timeline_.Reset();
  lender_.reset();
}

void TrackFrameLoop::Reset() {
  SetTrack(pp::MediaStreamVideoTrack());
  pending_ = false;
}

int32_t TrackFrameLoop::Request(const pp::CompletionCallbackWithOutput<pp::VideoFrame>& callback) {
  pending_ = true;
  return track_.GetFrame(callback);
}

SharedPicture TrackFrameLoop::TakePicture(const pp::VideoFrame& frame, const Size& size) {
  if (!lender_ || lender_->track() != track_) lender_ = std::make_shared<TrackFrameLender>(track_);
  SharedPicture picture;
  {
    FrameTimeline::Step step("copy picture");
    picture = lender_->Copy(frame, &scaler_, size);
  }
  track_.RecycleFrame(frame);
  return picture;
}

}  // namespace kelmora
