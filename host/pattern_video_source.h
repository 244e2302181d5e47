#ifndef PPHOST_PATTERN_VIDEO_SOURCE_H_
#define PPHOST_PATTERN_VIDEO_SOURCE_H_

#include <cstdint>
#include <vector>

#include "media_source.h"

namespace pphost {

// A synthetic camera: a dark picture with a white marker that moves one
// step per frame and the frame's number written in its top-left corner.
// With |flash_frames| > 0, frames are taken at whole multiples of the frame
// interval of capture time, so that each whole second is a frame time, and
// the first that many frames of every whole second are all white (a picture
// to line the sound's beeps up with; more than one survives a dropped
// frame).
class PatternVideoSource : public MediaSource {
 public:
  PatternVideoSource(int width, int height, double fps, int flash_frames,
                     int64_t start_delay_ms, std::vector<SourceChange> changes);
  ~PatternVideoSource() override;

  // Luma of the background, the marker and a flash's first frame.
  static constexpr uint8_t kBackground = 40;
  static constexpr uint8_t kMarker = 235;
  // Each next frame of a flash is this much darker, down to the fourth:
  // a picture tells which frame of its flash it is, also when the frames
  // before it were dropped.
  static constexpr uint8_t kFlashStep = 20;
  // Luma of frame |frame| (from 0) of a flash.
  static uint8_t FlashLevel(int frame);

 private:
  PP_TimeTicks Produce(PP_TimeTicks now, bool silent) override;
  void Restart(PP_TimeTicks now) override;
  void Resize(int width, int height) override;

  PP_TimeTicks FrameTime(int64_t index) const;
  // |flash|: the luma of an all-white flash picture; 0 for the pattern.
  void Render(int64_t index, uint8_t flash);

  const double fps_;
  const int flash_frames_;
  int width_;
  int height_;
  std::vector<uint8_t> picture_;  // I420, packed
  int64_t index_ = 0;
  int64_t base_index_ = 0;
  PP_TimeTicks base_time_ = 0;
  // With flashes: the frame at |base_index_| is frame |grid_| of the grid
  // of n / fps seconds of capture time; -1 for a grid that starts at the
  // start of delivery.
  int64_t grid_ = -1;
};

}  // namespace pphost

#endif  // PPHOST_PATTERN_VIDEO_SOURCE_H_
