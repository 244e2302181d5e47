#ifndef PPPLATFORM_VPX_ENCODER_ENGINE_H_
#define PPPLATFORM_VPX_ENCODER_ENGINE_H_

// The software encoder behind the browser's video encoder: libvpx, VP8 or
// VP9, fed tightly packed I420 pictures, one compressed frame out per
// picture.

#include <cstdint>
#include <memory>
#include <vector>

namespace pp {
namespace platform {

class VpxEncoderEngine {
 public:
  enum class Codec { kVp8, kVp9 };

  struct Output {
    std::vector<uint8_t> data;
    bool keyframe = false;
  };

  VpxEncoderEngine();
  ~VpxEncoderEngine();
  VpxEncoderEngine(const VpxEncoderEngine&) = delete;
  VpxEncoderEngine& operator=(const VpxEncoderEngine&) = delete;

  // |bitrate| in bits per second; 0 takes the engine's default for the
  // picture size. False when libvpx refuses the configuration.
  bool Initialize(Codec codec, int width, int height, uint32_t bitrate,
                  uint32_t framerate);
  // Compresses one picture of the initialised size. The first picture and
  // those asked for are keyframes; libvpx places no others. False on a
  // libvpx failure.
  bool Encode(const uint8_t* i420, bool force_keyframe,
              std::vector<Output>* outputs);
  // Changes bit rate (bits per second) and frame rate for what follows.
  bool SetRates(uint32_t bitrate, uint32_t framerate);
  void Close();

  bool is_initialized() const;
  int width() const { return width_; }
  int height() const { return height_; }

 private:
  struct Context;
  std::unique_ptr<Context> context_;
  int width_ = 0;
  int height_ = 0;
  int64_t next_pts_ = 0;
};

}  // namespace platform
}  // namespace pp

#endif  // PPPLATFORM_VPX_ENCODER_ENGINE_H_
