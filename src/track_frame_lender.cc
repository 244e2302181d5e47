#include "track_frame_lender.h"

#include <cstring>

#include "frame_timeline.h"

namespace kelmora {

Size TrackFrameLender::FrameSize(const pp::VideoFrame& frame) {
  pp::Size size;
  if (!frame.GetSize(&size)) return Size();
  Size result;
  result.width = size.width();
  result.height = size.height();
  return result;
}

SharedPicture TrackFrameLender::Lend(const pp::VideoFrame& frame) {
  pp::VideoFrame held(frame);
  const uint8_t* data = static_cast<const uint8_t*>(held.GetDataBuffer());
  std::weak_ptr<TrackFrameLender> lender = weak_from_this();
  const double lent_at = FrameTimeline::Get().NowMs();
  return SharedPicture(data, [held, lender, lent_at](const uint8_t*) mutable {
    if (std::shared_ptr<TrackFrameLender> alive = lender.lock()) {
      alive->track_.RecycleFrame(held);
      FrameTimeline::Get().BufferReturned(lent_at);
    }
  });
}

SharedPicture TrackFrameLender::Copy(const pp::VideoFrame& frame, FrameScaler* scaler,
                                     const Size& target) {
  pp::VideoFrame source(frame);
  if (source.GetFormat() != PP_VIDEOFRAME_FORMAT_I420) return SharedPicture();
  const uint8_t* data = scaler->Fit(static_cast<uint8_t*>(source.GetDataBuffer()),
                                    source.GetDataBufferSize(), FrameSize(source), target);
  if (!data) return SharedPicture();
  const size_t size = FrameScaler::I420Size(target);
  std::unique_ptr<std::vector<uint8_t>> buffer;
  {
    ScopedLock lock(pool_->mutex);
    if (!pool_->spare.empty()) {
      buffer = std::move(pool_->spare.back());
      pool_->spare.pop_back();
    }
  }
  if (!buffer) buffer.reset(new std::vector<uint8_t>());
  buffer->resize(size);
  memcpy(buffer->data(), data, size);
  std::weak_ptr<Pool> pool = pool_;
  std::vector<uint8_t>* raw = buffer.release();
  return SharedPicture(raw->data(), [raw, pool](const uint8_t*) {
    std::unique_ptr<std::vector<uint8_t>> back(raw);
    if (std::shared_ptr<Pool> alive = pool.lock()) {
      ScopedLock lock(alive->mutex);
      if (alive->spare.size() < kSpareBuffers) alive->spare.push_back(std::move(back));
    }
  });
}

}  // namespace kelmora
