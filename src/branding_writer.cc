#include "branding_writer.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <Magick++.h>

#include "utils.h"

namespace kelmora {

namespace {

// Smallest side of the branding box, whatever the main picture.
constexpr int kMinBoxSide = 20;
constexpr double kBoxShare = 0.2;

bool StartsWith(const std::string& bytes, size_t at, const char* magic,
                size_t length) {
  return bytes.size() >= at + length &&
         memcmp(bytes.data() + at, magic, length) == 0;
}

// The image library's name of the raster format the bytes are in, known
// from their first bytes; null for anything else. The page names the file:
// neither its name nor its extension may pick a coder (the library's own
// filename syntax reads "text:", "xc:" and "[WxH]", and hands video files
// to external programs).
const char* RasterFormat(const std::string& bytes) {
  if (StartsWith(bytes, 0, "\x89PNG\r\n\x1a\n", 8)) return "PNG";
  if (StartsWith(bytes, 0, "\xff\xd8\xff", 3)) return "JPEG";
  if (StartsWith(bytes, 0, "GIF87a", 6) || StartsWith(bytes, 0, "GIF89a", 6)) {
    return "GIF";
  }
  if (StartsWith(bytes, 0, "BM", 2)) return "BMP";
  if (StartsWith(bytes, 0, "RIFF", 4) && StartsWith(bytes, 8, "WEBP", 4)) {
    return "WEBP";
  }
  return nullptr;
}

// The whole file; false with the reason in |error| when it cannot be read.
bool ReadFileBytes(const std::string& path, std::string* bytes,
                   std::string* error) {
  FILE* file = fopen(path.c_str(), "rb");
  if (!file) {
    *error = path + ": " + strerror(errno);
    return false;
  }
  char buffer[65536];
  size_t count;
  while ((count = fread(buffer, 1, sizeof(buffer), file)) > 0) {
    bytes->append(buffer, count);
  }
  const bool failed = ferror(file);
  if (failed) *error = path + ": " + strerror(errno);
  fclose(file);
  return !failed;
}

}  // namespace

BrandingWriter::BrandingWriter(VideoWriter* writer) : writer_(writer) {
  InitializeMagickOnce();
}

BrandingWriter::~BrandingWriter() = default;

Size BrandingWriter::MaxSizeFor(const Size& main_size) {
  Size box;
  box.width = std::max(kMinBoxSide, static_cast<int>(main_size.width * kBoxShare));
  box.height =
      std::max(kMinBoxSide, static_cast<int>(main_size.height * kBoxShare));
  return box;
}

int BrandingWriter::Open(const std::string& filename, int max_width,
                         int max_height) {
  std::string bytes;
  std::string error;
  if (!ReadFileBytes(filename, &bytes, &error)) {
    fprintf(stderr, "failed to read image %s", error.c_str());
    return -1;
  }
  const char* format = RasterFormat(bytes);
  if (!format) {
    fprintf(stderr, "failed to read image %s: not a PNG, JPEG, GIF, BMP or WebP image",
            filename.c_str());
    return -1;
  }

  Magick::Image image;
  // Warnings (a dubious colour profile, say) must not cost the logo.
  image.quiet(true);
  try {
    image.magick(format);
    image.read(Magick::Blob(bytes.data(), bytes.size()));
    // The pixels are exported as RGB: a CMYK picture would come out in
    // the wrong colours (red as cyan).
    const MagickCore::ColorspaceType space = image.colorSpace();
    if (space != MagickCore::sRGBColorspace && space != MagickCore::RGBColorspace &&
        space != MagickCore::GRAYColorspace) {
      image.colorSpace(MagickCore::sRGBColorspace);
    }
  } catch (const Magick::Exception& e) {
    fprintf(stderr, "failed to read image %s", e.what());
    return -1;
  }

  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgba;
  try {
    // No flags: the largest size with the image's aspect ratio that fits
    // the box, enlarging as well as reducing.
    image.resize(Magick::Geometry(max_width, max_height, 0, 0));
    width = static_cast<int>(image.columns());
    height = static_cast<int>(image.rows());
    rgba.resize(static_cast<size_t>(width) * height * 4);
    // Eight bits a channel whatever the library's own quantum depth.
    image.write(0, 0, width, height, "RGBA", Magick::CharPixel, rgba.data());
  } catch (const Magick::Exception& e) {
    fprintf(stderr, "failed to fit image %s\n", e.what());
    return -1;
  }

  frame_.reset(av_frame_alloc());
  if (!frame_) {
    fprintf(stderr, "Could not allocate video frame\n");
    return -1;
  }
  frame_->pts = 0;
  frame_->width = width;
  frame_->height = height;
  frame_->format = AV_PIX_FMT_RGBA;
  if (av_frame_get_buffer(frame_.get(), 1) < 0) {
    return -1;
  }
  const size_t row_bytes = static_cast<size_t>(width) * 4;
  for (int y = 0; y < height; ++y) {
    memcpy(frame_->data[0] + static_cast<ptrdiff_t>(y) * frame_->linesize[0],
           rgba.data() + y * row_bytes, row_bytes);
  }

  assert(writer_->pixel_format() == frame_->format);
  writer_->SetVideoSize(width, height);
  return writer_->Open() < 0 ? -1 : 0;
}

int BrandingWriter::WriteAndClose() {
  assert(frame_ != nullptr);
  if (writer_->WriteVideoFrame(frame_.get()) < 0) {
    return -1;
  }
  if (writer_->Close() < 0) {
    return -1;
  }
  frame_.reset();
  return 0;
}

}  // namespace kelmora
