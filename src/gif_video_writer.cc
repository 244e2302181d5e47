#include "gif_video_writer.h"

#include <cassert>
#include <cstdio>
#include <list>
#include <memory>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
}

#include "utils.h"

namespace kelmora {

namespace {

const int kRowAlign = 1;

struct AvFreeDeleter {
  void operator()(uint8_t* p) const { av_free(p); }
};
using AvBuffer = std::unique_ptr<uint8_t, AvFreeDeleter>;

// Packs the frame's RGB24 rows back to back and builds an image from them.
// An empty image when the picture cannot be packed.
Magick::Image PictureFromFrame(const AVFrame* frame) {
  const int size = av_image_get_buffer_size(
      static_cast<AVPixelFormat>(frame->format), frame->width, frame->height,
      kRowAlign);
  if (size < 0) {
    fprintf(stderr, "gifwriter: failed to determine buffer size\n");
    return Magick::Image();
  }
  AvBuffer buffer(static_cast<uint8_t*>(av_malloc(size)));
  if (!buffer) {
    fprintf(stderr, "gifwriter: failed to copy frame\n");
    return Magick::Image();
  }
  const int copied = av_image_copy_to_buffer(
      buffer.get(), size, frame->data, frame->linesize,
      static_cast<AVPixelFormat>(frame->format), frame->width, frame->height,
      kRowAlign);
  if (copied < 0) {
    fprintf(stderr, "gifwriter: failed to copy frame\n");
    return Magick::Image();
  }
  return Magick::Image(frame->width, frame->height, "RGB", Magick::CharPixel,
                       buffer.get());
}

}  // namespace

GifVideoWriter::GifVideoWriter(const std::string& filename)
    : filename_(filename) {}

int GifVideoWriter::Init() {
  fps_ = 8;
  InitializeMagickOnce();
  return 0;
}

int GifVideoWriter::Open() {
  return 0;
}

int GifVideoWriter::WriteVideoFrame(AVFrame* frame) {
  assert(frame->format == pixel_format());
  const int64_t gap = frame->pts - last_pts_;
  if (last_pts_ != 0 && gap < 1000 / fps_) {
    return 0;
  }
  try {
    Magick::Image picture = PictureFromFrame(frame);
    if (!picture.isValid()) {
      return 1;  // lost; the message is written already
    }
    // Hundredths of a second since the previous kept picture; a timestamp
    // that went backwards must not become a huge unsigned delay.
    picture.animationDelay(gap > 0 ? static_cast<size_t>(gap / 10) : 0);
    optimizer_.AddFrame(picture);
  } catch (const Magick::Exception& e) {
    fprintf(stderr, "GifVideoWriter.write: %s", e.what());
    return 1;
  }
  last_pts_ = frame->pts;
  return 0;
}

int GifVideoWriter::Close() {
  try {
    std::list<Magick::Image> frames;
    optimizer_.GetOptimized(&frames);
    if (frames.empty()) {
      fprintf(stderr, "GifVideoWriter.close: no frame to write\n");
      return -1;
    }
    Magick::writeImages(frames.begin(), frames.end(), filename_, true);
  } catch (const Magick::Exception& e) {
    fprintf(stderr, "GifVideoWriter.close: %s", e.what());
    return -1;
  }
  return 0;
}

}  // namespace kelmora
