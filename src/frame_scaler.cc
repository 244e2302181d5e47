#include "frame_scaler.h"

#include <cstdio>

extern "C" {
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "utils.h"

namespace kelmora {

FrameScaler::~FrameScaler() { sws_freeContext(context_); }

uint32_t FrameScaler::I420Size(const Size& size) {
  if (size.width <= 0 || size.height <= 0) return 0;
  int bytes = av_image_get_buffer_size(AV_PIX_FMT_YUV420P, size.width, size.height, 1);
  return bytes < 0 ? 0 : static_cast<uint32_t>(bytes);
}

uint8_t* FrameScaler::Fit(uint8_t* data, uint32_t data_size, const Size& size,
                          const Size& target) {
  const uint32_t needed = I420Size(size);
  if (!data || needed == 0 || data_size < needed) return nullptr;
  if (size == target) return data;

  context_ = sws_getCachedContext(context_, size.width, size.height, AV_PIX_FMT_YUV420P,
                                  target.width, target.height, AV_PIX_FMT_YUV420P,
                                  SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (!context_) {
    fprintf(stderr, "Could not create scaler from %dx%d to %dx%d\n", size.width,
            size.height, target.width, target.height);
    return nullptr;
  }
  scaled_.resize(I420Size(target));
  uint8_t* src[4];
  int src_linesize[4];
  uint8_t* dst[4];
  int dst_linesize[4];
  int result = av_image_fill_arrays(src, src_linesize, data, AV_PIX_FMT_YUV420P,
                                    size.width, size.height, 1);
  if (result >= 0) {
    result = av_image_fill_arrays(dst, dst_linesize, scaled_.data(), AV_PIX_FMT_YUV420P,
                                  target.width, target.height, 1);
  }
  if (result < 0) {
    LogAvError("Error filling scaled frame", result);
    return nullptr;
  }
  sws_scale(context_, src, src_linesize, 0, size.height, dst, dst_linesize);
  return scaled_.data();
}

}  // namespace kelmora
