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

TrackFrameLender* TrackFrameLoop::Lender() {
  if (!lender_ || lender_->track() != track_) lender_ = std::make_shared<TrackFrameLender>(track_);
  return lender_.get();
}

SharedPicture TrackFrameLoop::TakePicture(const pp::VideoFrame& frame, const Size& size) {
  TrackFrameLender* lender = Lender();
  SharedPicture picture;
  {
    FrameTimeline::Step step("copy picture");
    picture = lender->Copy(frame, &scaler_, size);
  }
  track_.RecycleFrame(frame);
  return picture;
}

SharedPicture TrackFrameLoop::SharePicture(const pp::VideoFrame& frame, const Size& size) {
  pp::VideoFrame source(frame);
  if (source.GetFormat() != PP_VIDEOFRAME_FORMAT_I420 ||
      TrackFrameLender::FrameSize(source) != size ||
      source.GetDataBufferSize() < FrameScaler::I420Size(size)) {
    return TakePicture(frame, size);
  }
  return Lender()->Lend(frame);
}

}  // namespace kelmora
