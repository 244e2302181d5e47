#include "pattern_video_source.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

namespace pphost {

namespace {

// Digits 0-9 in a 3 x 5 cell font, one row per 3 bits.
const uint8_t kDigits[10][5] = {
    {7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7}, {5, 5, 7, 1, 1},
    {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1}, {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7},
};

}  // namespace

PatternVideoSource::PatternVideoSource(int width, int height, double fps, int flash_frames,
                                       int64_t start_delay_ms, std::vector<SourceChange> changes)
    : MediaSource(flash_frames > 0 ? "vsrc:sync" : "vsrc:pattern", start_delay_ms,
                  std::move(changes)),
      fps_(fps),
      flash_frames_(flash_frames),
      width_(width),
      height_(height) {
  Resize(width, height);
}

PatternVideoSource::~PatternVideoSource() { Stop(); }

PP_TimeTicks PatternVideoSource::FrameTime(int64_t index) const {
  // Grid frame n is taken at n / fps exactly: a whole second is a frame time.
  if (grid_ >= 0) return static_cast<double>(grid_ + index - base_index_) / fps_;
  return base_time_ + (index - base_index_) / fps_;
}

void PatternVideoSource::Restart(PP_TimeTicks now) {
  base_index_ = index_;
  if (flash_frames_ > 0) {
    // The flashes start on the second itself, where the beeps of the sync
    // sound do: a frame at most a frame interval after it would place the
    // flash up to that much behind its beep.
    grid_ = static_cast<int64_t>(std::ceil(now * fps_));
    base_time_ = FrameTime(index_);
  } else {
    base_time_ = now;
  }
}

void PatternVideoSource::Resize(int width, int height) {
  width_ = width;
  height_ = height;
  size_t luma = static_cast<size_t>(width) * height;
  size_t chroma = static_cast<size_t>((width + 1) / 2) * ((height + 1) / 2);
  picture_.assign(luma + 2 * chroma, 128);
}

PP_TimeTicks PatternVideoSource::Produce(PP_TimeTicks now, bool silent) {
  // A source that fell behind (a busy machine) skips frames, as a camera
  // does, rather than delivering a burst of late ones.
  int64_t latest = base_index_ + static_cast<int64_t>(std::floor((now - base_time_) * fps_));
  if (latest > index_) index_ = latest;
  if (FrameTime(index_) <= now) {
    PP_TimeTicks time = FrameTime(index_);
    if (!silent) {
      // A frame on the second counts as its first, whatever the rounding
      // of the frame before the flash's end.
      const double e = 1e-9;
      bool white = flash_frames_ > 0 &&
                   std::floor(time + e) != std::floor(time - flash_frames_ / fps_ + e);
      // Which frame of its flash: each is darker than the one before.
      const int into = static_cast<int>(std::floor((time - std::floor(time + e)) * fps_ + e));
      Render(index_, white ? FlashLevel(into) : 0);
      const int chroma_width = (width_ + 1) / 2;
      const size_t luma = static_cast<size_t>(width_) * height_;
      const size_t chroma = static_cast<size_t>(chroma_width) * ((height_ + 1) / 2);
      pp::platform::I420Picture picture = {
          {picture_.data(), picture_.data() + luma, picture_.data() + luma + chroma},
          {width_, chroma_width, chroma_width},
          {width_, height_}};
      video_tracks().ForEach([&](pp::platform::MediaStreamVideoTrackImpl& track) {
        track.DeliverFrame(picture, time);
      });
    }
    ++index_;
  }
  return FrameTime(index_);
}

uint8_t PatternVideoSource::FlashLevel(int frame) {
  return static_cast<uint8_t>(kMarker - kFlashStep * std::min(std::max(frame, 0), 3));
}

void PatternVideoSource::Render(int64_t index, uint8_t flash) {
  const bool white = flash != 0;
  const size_t luma = static_cast<size_t>(width_) * height_;
  std::fill(picture_.begin(), picture_.begin() + luma, white ? flash : kBackground);
  std::fill(picture_.begin() + luma, picture_.end(), 128);
  if (white) return;
  auto fill = [&](int x0, int y0, int w, int h) {
    for (int y = std::max(0, y0); y < std::min(height_, y0 + h); ++y) {
      for (int x = std::max(0, x0); x < std::min(width_, x0 + w); ++x) {
        picture_[static_cast<size_t>(y) * width_ + x] = kMarker;
      }
    }
  };
  // The marker crosses the picture in about two seconds at 30 fps.
  const int side = std::max(2, height_ / 8);
  const int travel = std::max(1, width_ - side);
  const int step = std::max(1, travel / 60);
  const int x = static_cast<int>((index * step) % travel);
  fill(x, (height_ - side) / 2, side, side);
  // The frame number, in cells of a fortieth of the height.
  const int cell = std::max(1, height_ / 40);
  std::string digits = std::to_string(index);
  for (size_t d = 0; d < digits.size(); ++d) {
    const uint8_t* glyph = kDigits[digits[d] - '0'];
    for (int row = 0; row < 5; ++row) {
      for (int column = 0; column < 3; ++column) {
        if (glyph[row] & (4 >> column)) {
          fill(cell * (1 + static_cast<int>(d) * 4 + column), cell * (1 + row), cell, cell);
        }
      }
    }
  }
}

}  // namespace pphost
