#include "vpx_encoder_engine.h"

#include <algorithm>
#include <cstdio>

#include <vpx/vp8cx.h>
#include <vpx/vpx_encoder.h>

namespace pp {
namespace platform {

struct VpxEncoderEngine::Context {
  vpx_codec_ctx_t codec{};
  vpx_codec_enc_cfg_t config{};
  bool open = false;
  ~Context() {
    if (open) vpx_codec_destroy(&codec);
  }
};

namespace {

// What a browser gives a software encoder when the page names no rate.
uint32_t DefaultBitrate(int width, int height) {
  return static_cast<uint32_t>(std::max(300000LL, static_cast<long long>(width) * height * 3));
}

}  // namespace

VpxEncoderEngine::VpxEncoderEngine() = default;
VpxEncoderEngine::~VpxEncoderEngine() = default;

bool VpxEncoderEngine::is_initialized() const {
  return context_ && context_->open;
}

bool VpxEncoderEngine::Initialize(Codec codec, int width, int height,
                                  uint32_t bitrate, uint32_t framerate) {
  if (width <= 0 || height <= 0 || (width & 1) || (height & 1)) return false;
  if (!framerate) framerate = 30;
  std::unique_ptr<Context> context(new Context);
  vpx_codec_iface_t* iface =
      codec == Codec::kVp8 ? vpx_codec_vp8_cx() : vpx_codec_vp9_cx();
  if (vpx_codec_enc_config_default(iface, &context->config, 0) != VPX_CODEC_OK) {
    return false;
  }
  vpx_codec_enc_cfg_t& config = context->config;
  config.g_w = width;
  config.g_h = height;
  config.g_timebase.num = 1;
  config.g_timebase.den = static_cast<int>(framerate);
  // One thread: libvpx waits for every thread at each frame, so on a busy
  // machine, where some are always descheduled, more threads encode fewer
  // frames (four kept 6 of 30 fps at 1080p beside 16 busy loops, one kept
  // them all); one encodes a 1080p frame in under 10 ms.
  config.g_threads = 1;
  config.g_lag_in_frames = 0;
  config.g_pass = VPX_RC_ONE_PASS;
  config.g_error_resilient = 0;
  config.rc_end_usage = VPX_CBR;
  config.rc_dropframe_thresh = 0;  // one output per picture
  config.rc_target_bitrate = (bitrate ? bitrate : DefaultBitrate(width, height)) / 1000;
  if (!config.rc_target_bitrate) config.rc_target_bitrate = 1;
  config.rc_min_quantizer = 2;
  config.rc_max_quantizer = 52;
  config.kf_mode = VPX_KF_DISABLED;  // keyframes when the client asks
  if (vpx_codec_enc_init(&context->codec, iface, &config, 0) != VPX_CODEC_OK) {
    return false;
  }
  context->open = true;
  vpx_codec_control(&context->codec, VP8E_SET_CPUUSED, codec == Codec::kVp8 ? -6 : 8);
  if (codec == Codec::kVp9) vpx_codec_control(&context->codec, VP9E_SET_ROW_MT, 1u);
  context_ = std::move(context);
  width_ = width;
  height_ = height;
  next_pts_ = 0;
  return true;
}

bool VpxEncoderEngine::Encode(const uint8_t* i420, bool force_keyframe,
                              std::vector<Output>* outputs) {
  if (!is_initialized()) return false;
  vpx_image_t image;
  if (!vpx_img_wrap(&image, VPX_IMG_FMT_I420, width_, height_, 1,
                    const_cast<uint8_t*>(i420))) {
    return false;
  }
  vpx_enc_frame_flags_t flags = force_keyframe ? VPX_EFLAG_FORCE_KF : 0;
  if (vpx_codec_encode(&context_->codec, &image, next_pts_++, 1, flags,
                       VPX_DL_REALTIME) != VPX_CODEC_OK) {
    return false;
  }
  vpx_codec_iter_t iter = nullptr;
  while (const vpx_codec_cx_pkt_t* packet =
             vpx_codec_get_cx_data(&context_->codec, &iter)) {
    if (packet->kind != VPX_CODEC_CX_FRAME_PKT) continue;
    Output output;
    const uint8_t* data = static_cast<const uint8_t*>(packet->data.frame.buf);
    output.data.assign(data, data + packet->data.frame.sz);
    output.keyframe = (packet->data.frame.flags & VPX_FRAME_IS_KEY) != 0;
    outputs->push_back(std::move(output));
  }
  return true;
}

bool VpxEncoderEngine::SetRates(uint32_t bitrate, uint32_t framerate) {
  if (!is_initialized()) return false;
  vpx_codec_enc_cfg_t& config = context_->config;
  if (bitrate) config.rc_target_bitrate = std::max(1u, bitrate / 1000);
  if (framerate) config.g_timebase.den = static_cast<int>(framerate);
  return vpx_codec_enc_config_set(&context_->codec, &config) == VPX_CODEC_OK;
}

void VpxEncoderEngine::Close() { context_.reset(); }

}  // namespace platform
}  // namespace pp
