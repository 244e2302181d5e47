#include "gif_video_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <list>
#include <memory>
#include <vector>

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/imgutils.h>
}

#include "utils.h"

namespace kelmora {

namespace {

const int kRowAlign = 1;
// A GIF delay is a 16-bit count of hundredths of a second.
const int64_t kMaxDelay = 65535;
// Neither side of a GIF may be larger.
const uint64_t kMaxGifSide = 65535;

struct ExceptionInfoDeleter {
  void operator()(MagickCore::ExceptionInfo* info) const {
    MagickCore::DestroyExceptionInfo(info);
  }
};

// Packs the frame's RGB24 rows back to back into *rgb. False, with the
// reason written, when the picture cannot be packed.
bool PackFrame(const AVFrame* frame, std::vector<uint8_t>* rgb) {
  const int size = av_image_get_buffer_size(
      static_cast<AVPixelFormat>(frame->format), frame->width, frame->height,
      kRowAlign);
  if (size < 0) {
    fprintf(stderr, "gifwriter: failed to determine buffer size\n");
    return false;
  }
  rgb->resize(size);
  const int copied = av_image_copy_to_buffer(
      rgb->data(), size, frame->data, frame->linesize,
      static_cast<AVPixelFormat>(frame->format), frame->width, frame->height,
      kRowAlign);
  if (copied < 0) {
    fprintf(stderr, "gifwriter: failed to copy frame\n");
    return false;
  }
  return true;
}

// Built through the library's C call: the C++ constructor stops the process
// when the library refuses the picture.
Magick::Image PictureFromRgb(int width, int height, const std::vector<uint8_t>& rgb) {
  std::unique_ptr<MagickCore::ExceptionInfo, ExceptionInfoDeleter> exception(
      MagickCore::AcquireExceptionInfo());
  MagickCore::Image* image = MagickCore::ConstituteImage(
      width, height, "RGB", MagickCore::CharPixel, rgb.data(), exception.get());
  if (!image) {
    Magick::throwException(exception.get());
    throw Magick::ErrorImage("cannot make an image of the frame");
  }
  return Magick::Image(image);
}

}  // namespace

GifVideoWriter::GifVideoWriter(const std::string& filename)
    : filename_(filename) {}

int GifVideoWriter::Init() {
  fps_ = 8;
  InitializeMagickOnce();
  KeepImageLibraryFilesBesideOutput();
  return 0;
}

// When its memory allowance runs out the image library moves pixels into
// files, by default under /tmp; they belong beside the output instead.
void GifVideoWriter::KeepImageLibraryFilesBesideOutput() {
  const size_t slash = filename_.rfind('/');
  const std::string directory =
      slash == std::string::npos ? "." : filename_.substr(0, slash == 0 ? 1 : slash);
  std::unique_ptr<MagickCore::ExceptionInfo, ExceptionInfoDeleter> exception(
      MagickCore::AcquireExceptionInfo());
  MagickCore::SetImageRegistry(MagickCore::StringRegistryType, "temporary-path",
                               directory.c_str(), exception.get());
}

// Nothing is written before Close, but where the GIF goes is checked now,
// as an MP4 edit's opening checks it: a missing or read-only directory, or
// an existing GIF that may not be written, must not cost a whole edit.
int GifVideoWriter::Open() {
  const int replaceable = CheckReplaceableOutput(filename_);
  if (replaceable < 0) {
    fprintf(stderr, "GifVideoWriter.open: cannot write %s: %s\n", filename_.c_str(),
            strerror(-replaceable));
    return -1;
  }
  const std::string temporary = GifFileWriter::TemporaryName(filename_);
  const int probe = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (probe < 0) {
    fprintf(stderr, "GifVideoWriter.open: cannot write %s: %s\n", temporary.c_str(),
            strerror(errno));
    return -1;
  }
  close(probe);
  unlink(temporary.c_str());
  return 0;
}

// ---------------------------------------------------------------------------
// Frame intake

// The image library stops the process on a picture beyond its size limits,
// so such a picture must never reach it.
bool GifVideoWriter::FitsImageLibrary(const AVFrame* frame) {
  const uint64_t width = frame->width > 0 ? frame->width : 0;
  const uint64_t height = frame->height > 0 ? frame->height : 0;
  if (width <= Magick::ResourceLimits::width() &&
      height <= Magick::ResourceLimits::height() && width <= kMaxGifSide &&
      height <= kMaxGifSide) {
    return true;
  }
  fprintf(stderr, "gifwriter: frame of %dx%d is too large\n", frame->width,
          frame->height);
  return false;
}

// The delay of the held picture when the next one is due `elapsed`
// milliseconds after the first: the time between them in hundredths of a
// second, rounded against the running total *shown so that the errors do
// not add up. The caller commits the advanced total only once the picture
// is taken.
int GifVideoWriter::TakeDelay(int64_t elapsed, int64_t* shown) {
  const int64_t due = elapsed > 0 ? elapsed / 10 + (elapsed % 10 >= 5 ? 1 : 0) : 0;
  const int64_t delay = due > *shown ? due - *shown : 0;
  *shown += delay;
  return static_cast<int>(delay < kMaxDelay ? delay : kMaxDelay);
}

// The held picture as an image of the library, with its delay. Made only
// when handed over, so that the optimiser holds the one reference to it and
// can change it without a copy.
Magick::Image GifVideoWriter::HeldPicture(int delay) {
  Magick::Image picture = PictureFromRgb(held_width_, held_height_, held_);
  picture.animationDelay(delay);
  return picture;
}

int GifVideoWriter::WriteVideoFrame(AVFrame* frame) {
  assert(frame->format == pixel_format());
  if (frame->pts == AV_NOPTS_VALUE) {
    fprintf(stderr, "gifwriter: frame without timestamp skipped\n");
    return 1;
  }
  int64_t gap = 0;
  if (__builtin_sub_overflow(frame->pts, last_pts_, &gap)) {
    fprintf(stderr, "gifwriter: frame timestamp out of range skipped\n");
    return 1;
  }
  if (last_pts_ != 0 && gap < 1000 / fps_) {
    return 0;
  }
  if (file_failed_ || !FitsImageLibrary(frame)) {
    return 1;
  }
  int64_t elapsed = 0;
  if (holding_ && __builtin_sub_overflow(frame->pts, first_pts_, &elapsed)) {
    fprintf(stderr, "gifwriter: frame timestamp out of range skipped\n");
    return 1;
  }
  if (!PackFrame(frame, &spare_)) {
    return 1;  // lost; the message is written already
  }
  try {
    if (holding_) {
      int64_t shown = shown_;
      const int delay = TakeDelay(elapsed, &shown);
      optimizer_.AddFrame(HeldPicture(delay));
      shown_ = shown;
      last_delay_ = delay;
    } else {
      first_pts_ = frame->pts;
    }
  } catch (const Magick::Exception& e) {
    fprintf(stderr, "GifVideoWriter.write: %s", e.what());
    return 1;
  }
  held_.swap(spare_);
  held_width_ = frame->width;
  held_height_ = frame->height;
  holding_ = true;
  last_pts_ = frame->pts;

  std::list<GifPaletteFrame> ready;
  optimizer_.TakeReady(&ready);
  // Frames are ready only while a later one is still held back: the
  // animation has more than one frame.
  if (!ready.empty() && WriteFrames(&ready, true) < 0) {
    file_failed_ = true;
    fprintf(stderr, "GifVideoWriter.write: %s\n", file_.error().c_str());
    return 1;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// File output

int GifVideoWriter::WriteFrames(std::list<GifPaletteFrame>* frames,
                                bool looping) {
  if (!file_.is_open()) {
    // The canvas is the opening frame, a full picture.
    const GifPaletteFrame& opening = frames->front();
    if (file_.Open(filename_, opening.width, opening.height, looping) < 0) {
      return -1;
    }
  }
  for (GifPaletteFrame& frame : *frames) {
    if (file_.WriteFrame(&frame) < 0) {
      return -1;
    }
  }
  frames->clear();
  return 0;
}

int GifVideoWriter::Close() {
  if (file_failed_) {
    fprintf(stderr, "GifVideoWriter.close: %s\n", file_.error().c_str());
    file_.Abandon();
    return -1;
  }
  std::list<GifPaletteFrame> frames;
  try {
    if (holding_) {
      optimizer_.AddFrame(HeldPicture(last_delay_));
      holding_ = false;
      held_.clear();
      held_.shrink_to_fit();
    }
    optimizer_.GetOptimized(&frames);
  } catch (const Magick::Exception& e) {
    fprintf(stderr, "GifVideoWriter.close: %s", e.what());
    file_.Abandon();
    return -1;
  }
  if (frames.empty() && !file_.is_open()) {
    fprintf(stderr, "GifVideoWriter.close: no frame to write\n");
    return -1;
  }
  if ((!frames.empty() && WriteFrames(&frames, frames.size() > 1) < 0) ||
      file_.Close() < 0) {
    fprintf(stderr, "GifVideoWriter.close: %s\n", file_.error().c_str());
    file_.Abandon();
    return -1;
  }
  return 0;
}

}  // namespace kelmora
