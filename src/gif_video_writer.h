#ifndef KELMORA_GIF_VIDEO_WRITER_H_
#define KELMORA_GIF_VIDEO_WRITER_H_

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "gif_animation_optimizer.h"
#include "gif_file_writer.h"
#include "gif_palette_frame.h"
#include "video_writer.h"

namespace kelmora {

// Turns the video frames of a graph into an animated GIF. Frames are thinned
// to at most fps_ per second; each kept frame stays on screen until the next
// one is due (the last one as long as the one before it). The optimised
// frames go to the file batch by batch, so memory is bounded by a batch and
// not by the length of the animation; the file gets its name at Close. No
// audio. Worker thread only.
class GifVideoWriter : public VideoWriter {
 public:
  explicit GifVideoWriter(const std::string& filename);

  int Init() override;
  int Open() override;
  // 0, also for a dropped frame; 1 when the frame is lost (the image
  // library failed on it, it has no timestamp, it is too large for the
  // image library, or the file can no longer be written) but the edit goes
  // on.
  int WriteVideoFrame(AVFrame* frame) override;
  // Finishes the GIF file. Negative when the image library or the file
  // failed, or when no frame was ever kept; no file is left under the
  // output name then.
  int Close() override;
  void SetThreadFactor(float factor) override {}
  AVPixelFormat pixel_format() override { return AV_PIX_FMT_RGB24; }
  int64_t VideoPosition() override { return last_pts_; }

 private:
  void KeepImageLibraryFilesBesideOutput();

  // Frame intake.
  bool FitsImageLibrary(const AVFrame* frame);
  int TakeDelay(int64_t elapsed, int64_t* shown);
  Magick::Image HeldPicture(int delay);

  // File output.
  int WriteFrames(std::list<GifPaletteFrame>* frames, bool looping);

  std::string filename_;
  GifAnimationOptimizer optimizer_;
  // Pts of the last kept frame in milliseconds; 0 also while none is kept.
  int64_t last_pts_ = 0;
  int fps_ = 8;

  // The last kept picture, packed RGB24: it goes to the optimiser once the
  // next kept frame tells how long it stays on screen.
  std::vector<uint8_t> held_;
  int held_width_ = 0;
  int held_height_ = 0;
  bool holding_ = false;
  // The buffer the next frame is packed into.
  std::vector<uint8_t> spare_;
  int64_t first_pts_ = 0;
  // Hundredths of a second given to the frames so far; rounding each delay
  // against the running total keeps the animation's length true.
  int64_t shown_ = 0;
  int last_delay_ = 0;

  GifFileWriter file_;
  bool file_failed_ = false;
};

}  // namespace kelmora

#endif  // KELMORA_GIF_VIDEO_WRITER_H_
