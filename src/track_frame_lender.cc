#include "track_frame_lender.h"

namespace kelmora {

SharedPicture TrackFrameLender::Lend(const pp::VideoFrame& frame) {
  pp::VideoFrame held(frame);
  const uint8_t* data = static_cast<const uint8_t*>(held.GetDataBuffer());
  std::weak_ptr<TrackFrameLender> lender = weak_from_this();
  return SharedPicture(data, [held, lender](const uint8_t*) mutable {
    if (std::shared_ptr<TrackFrameLender> alive = lender.lock()) {
      alive->track_.RecycleFrame(held);
    }
  });
}

}  // namespace kelmora
