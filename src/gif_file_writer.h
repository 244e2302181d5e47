#ifndef KELMORA_GIF_FILE_WRITER_H_
#define KELMORA_GIF_FILE_WRITER_H_

#include <string>

#include "gif_palette_frame.h"

struct GifFileType;

namespace kelmora {

// Writes an animated GIF frame by frame: the header at Open, each frame's
// blocks as they come, the trailer at Close. The file is written under a
// temporary name beside the final one and renamed only by a successful
// Close, so a failed or abandoned GIF never lies under the final name.
//
// Every operation returns 0 or a negative result; after a failure error()
// says what failed and the writer only waits to be abandoned. Worker thread
// only.
class GifFileWriter {
 public:
  GifFileWriter() = default;
  GifFileWriter(const GifFileWriter&) = delete;
  GifFileWriter& operator=(const GifFileWriter&) = delete;
  // Removes the temporary file of a GIF that was not closed.
  ~GifFileWriter();

  // Starts the file with its header for a canvas of the given size; a
  // looping animation carries the block that makes players repeat it.
  int Open(const std::string& filename, int width, int height, bool looping);
  int WriteFrame(GifPaletteFrame* frame);
  // Writes the trailer and gives the file its final name.
  int Close();
  // Drops the file written so far.
  void Abandon();

  bool is_open() const { return gif_ != nullptr; }
  const std::string& error() const { return error_; }

  static std::string TemporaryName(const std::string& filename);

 private:
  int WriteLoopBlock();
  int Fail(const std::string& what, int gif_error);

  std::string filename_;
  std::string temporary_;
  GifFileType* gif_ = nullptr;
  bool failed_ = false;
  std::string error_;
};

}  // namespace kelmora

#endif  // KELMORA_GIF_FILE_WRITER_H_
