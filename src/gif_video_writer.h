#ifndef KELMORA_GIF_VIDEO_WRITER_H_
#define KELMORA_GIF_VIDEO_WRITER_H_

#include <cstdint>
#include <string>

#include "gif_animation_optimizer.h"
#include "video_writer.h"

namespace kelmora {

// Turns the video frames of a graph into an animated GIF. Frames are thinned
// to at most fps_ per second; each kept frame's delay is the time since the
// frame kept before it. The whole animation is held in memory and written in
// one go at Close. No audio. Worker thread only.
class GifVideoWriter : public VideoWriter {
 public:
  explicit GifVideoWriter(const std::string& filename);

  int Init() override;
  int Open() override;
  // 0, also for a dropped frame; 1 when the image library failed on the
  // frame, which is then lost but the edit goes on.
  int WriteVideoFrame(AVFrame* frame) override;
  // Writes the GIF file. Negative when the image library failed or when no
  // frame was ever kept (no file is written then).
  int Close() override;
  void SetThreadFactor(float factor) override {}
  AVPixelFormat pixel_format() override { return AV_PIX_FMT_RGB24; }
  int64_t VideoPosition() override { return last_pts_; }

 private:
  std::string filename_;
  GifAnimationOptimizer optimizer_;
  // Pts of the last kept frame in milliseconds; 0 also while none is kept.
  int64_t last_pts_ = 0;
  int fps_ = 8;
};

}  // namespace kelmora

#endif  // KELMORA_GIF_VIDEO_WRITER_H_
