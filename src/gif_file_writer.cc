#include "gif_file_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <gif_lib.h>

namespace kelmora {

namespace {

const int kColorResolution = 8;
const int kMaxDimension = 65535;

// Colour tables hold a power of two of at least two entries.
int TableSize(size_t colors) {
  int size = 2;
  while (static_cast<size_t>(size) < colors) size *= 2;
  return size;
}

struct ColorMapDeleter {
  void operator()(ColorMapObject* map) const { GifFreeMapObject(map); }
};

}  // namespace

GifFileWriter::~GifFileWriter() {
  Abandon();
}

std::string GifFileWriter::TemporaryName(const std::string& filename) {
  return filename + ".part";
}

int GifFileWriter::Fail(const std::string& what, int gif_error) {
  const char* reason = GifErrorString(gif_error);
  failed_ = true;
  error_ = what + ": " + (reason ? reason : "unknown error");
  return -1;
}

int GifFileWriter::Open(const std::string& filename, int width, int height,
                        bool looping) {
  if (width < 1 || height < 1 || width > kMaxDimension || height > kMaxDimension) {
    error_ = "cannot write a GIF of " + std::to_string(width) + "x" +
             std::to_string(height) + " pixels";
    failed_ = true;
    return -1;
  }
  Abandon();
  failed_ = false;
  error_.clear();
  filename_ = filename;
  temporary_ = TemporaryName(filename);
  const int fd = open(temporary_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    error_ = "cannot open " + temporary_ + ": " + strerror(errno);
    failed_ = true;
    return -1;
  }
  int gif_error = 0;
  gif_ = EGifOpenFileHandle(fd, &gif_error);
  if (!gif_) {
    close(fd);
    unlink(temporary_.c_str());
    return Fail("cannot start " + temporary_, gif_error);
  }
  EGifSetGifVersion(gif_, true);
  if (EGifPutScreenDesc(gif_, width, height, kColorResolution, 0, nullptr) ==
      GIF_ERROR) {
    return Fail("cannot write the header of " + temporary_, gif_->Error);
  }
  if (looping && WriteLoopBlock() < 0) {
    return -1;
  }
  return 0;
}

// The application block that makes a player repeat the animation forever.
int GifFileWriter::WriteLoopBlock() {
  static const char kApplication[] = "NETSCAPE2.0";
  static const unsigned char kForever[3] = {1, 0, 0};
  if (EGifPutExtensionLeader(gif_, APPLICATION_EXT_FUNC_CODE) == GIF_ERROR ||
      EGifPutExtensionBlock(gif_, 11, kApplication) == GIF_ERROR ||
      EGifPutExtensionBlock(gif_, sizeof(kForever), kForever) == GIF_ERROR ||
      EGifPutExtensionTrailer(gif_) == GIF_ERROR) {
    return Fail("cannot write the loop block of " + temporary_, gif_->Error);
  }
  return 0;
}

int GifFileWriter::WriteFrame(GifPaletteFrame* frame) {
  if (!gif_ || failed_) {
    if (error_.empty()) error_ = "no GIF is open";
    return -1;
  }
  if (frame->palette.empty() || frame->palette.size() > 256 ||
      frame->pixels.size() !=
          static_cast<size_t>(frame->width) * static_cast<size_t>(frame->height)) {
    error_ = "malformed frame for " + temporary_;
    failed_ = true;
    return -1;
  }
  GraphicsControlBlock control;
  control.DisposalMode = frame->disposal;
  control.UserInputFlag = false;
  control.DelayTime = frame->delay;
  control.TransparentColor =
      frame->transparent_index >= 0 ? frame->transparent_index : NO_TRANSPARENT_COLOR;
  GifByteType control_bytes[4];
  EGifGCBToExtension(&control, control_bytes);
  if (EGifPutExtension(gif_, GRAPHICS_EXT_FUNC_CODE, sizeof(control_bytes),
                       control_bytes) == GIF_ERROR) {
    return Fail("cannot write to " + temporary_, gif_->Error);
  }

  std::vector<GifColorType> colors(TableSize(frame->palette.size()),
                                   GifColorType{0, 0, 0});
  for (size_t i = 0; i < frame->palette.size(); ++i) {
    colors[i] = GifColorType{frame->palette[i].red, frame->palette[i].green,
                             frame->palette[i].blue};
  }
  std::unique_ptr<ColorMapObject, ColorMapDeleter> map(
      GifMakeMapObject(static_cast<int>(colors.size()), colors.data()));
  if (!map) {
    error_ = "out of memory for a colour table";
    failed_ = true;
    return -1;
  }
  if (EGifPutImageDesc(gif_, frame->left, frame->top, frame->width, frame->height,
                       false, map.get()) == GIF_ERROR ||
      EGifPutLine(gif_, frame->pixels.data(),
                  static_cast<int>(frame->pixels.size())) == GIF_ERROR) {
    return Fail("cannot write to " + temporary_, gif_->Error);
  }
  return 0;
}

int GifFileWriter::Close() {
  if (!gif_ || failed_) {
    if (error_.empty()) error_ = "no GIF is open";
    Abandon();
    return -1;
  }
  int gif_error = 0;
  const int closed = EGifCloseFile(gif_, &gif_error);
  gif_ = nullptr;  // freed by the close, whatever its result
  if (closed == GIF_ERROR) {
    Fail("cannot finish " + temporary_, gif_error);
    unlink(temporary_.c_str());
    return -1;
  }
  if (rename(temporary_.c_str(), filename_.c_str()) != 0) {
    error_ = "cannot rename " + temporary_ + " to " + filename_ + ": " +
             strerror(errno);
    failed_ = true;
    unlink(temporary_.c_str());
    return -1;
  }
  return 0;
}

void GifFileWriter::Abandon() {
  if (!gif_) return;
  int gif_error = 0;
  EGifCloseFile(gif_, &gif_error);
  gif_ = nullptr;
  unlink(temporary_.c_str());
}

}  // namespace kelmora
