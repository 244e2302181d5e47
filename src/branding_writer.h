#ifndef KELMORA_BRANDING_WRITER_H_
#define KELMORA_BRANDING_WRITER_H_

#include <memory>
#include <string>

extern "C" {
#include <libavutil/frame.h>
}

#include "av_holders.h"
#include "geometry.h"
#include "video_writer.h"

namespace kelmora {

// Turns a branding image file into exactly one RGBA picture at pts 0,
// written into its sink followed by the end of the sink's stream. In the
// recorder the sink is the "brand" graph input; the overlay keeps showing
// the one picture for the whole recording. Worker thread only.
class BrandingWriter {
 public:
  // Takes ownership of `writer`, whose pixel format must be RGBA.
  explicit BrandingWriter(VideoWriter* writer);
  BrandingWriter(const BrandingWriter&) = delete;
  BrandingWriter& operator=(const BrandingWriter&) = delete;
  ~BrandingWriter();

  // The box a branding picture is fitted into: a fifth of each side of the
  // main picture, at least 20 pixels.
  static Size MaxSizeFor(const Size& main_size);

  // Reads the image, fits it into max_width x max_height keeping its aspect
  // ratio (enlarging a smaller one), builds the frame, then sizes and opens
  // the sink. 0 on success, -1 on failure.
  int Open(const std::string& filename, int max_width, int max_height);

  // Writes the frame, ends the sink's stream and frees the frame.
  // 0 on success, -1 on failure.
  int WriteAndClose();

 private:

  std::unique_ptr<VideoWriter> writer_;
  FramePtr frame_;
};

}  // namespace kelmora

#endif  // KELMORA_BRANDING_WRITER_H_
