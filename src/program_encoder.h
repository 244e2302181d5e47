#ifndef KELMORA_PROGRAM_ENCODER_H_
#define KELMORA_PROGRAM_ENCODER_H_

#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace kelmora {

// An encoder of the program's own. The media library has no public way to
// add encoders, so the writers look these up by name before the library's
// and drive them through EncoderContext with the library's steps. The
// callbacks mirror the library's own encoder callbacks.
struct ProgramEncoder {
  const char* name;
  const char* long_name;
  AVMediaType type;
  AVCodecID id;
  // Accepted formats, ended by the NONE value; null accepts any.
  const AVPixelFormat* pix_fmts;
  const AVSampleFormat* sample_fmts;
  int capabilities;  // AV_CODEC_CAP_*
  // Bytes of zeroed private data put in the context before init, freed
  // with the context (also when init fails).
  int priv_data_size;
  int (*init)(AVCodecContext* context);
  // Gives at most one packet per frame. A null frame (end of stream) is
  // only passed with AV_CODEC_CAP_DELAY. A negative result is an error; a
  // non-negative one without a packet drops the frame.
  int (*encode)(AVCodecContext* context, AVPacket* packet,
                const AVFrame* frame, int* got_packet);
  int (*close)(AVCodecContext* context);
};

// Adds an encoder to the table, replacing one of the same name. The record
// must outlive every use. Any thread.
void RegisterProgramEncoder(const ProgramEncoder* encoder);

// The program's encoder of that name, or null.
const ProgramEncoder* FindProgramEncoder(const std::string& name);

// An encoder found for the writers: the program's own or the library's.
class EncoderRef {
 public:
  EncoderRef() = default;
  explicit EncoderRef(const AVCodec* library) : library_(library) {}
  explicit EncoderRef(const ProgramEncoder* program) : program_(program) {}

  // The program's encoder of that name first, else the library's.
  static EncoderRef FindByName(const std::string& name);
  // The library's encoder for a codec id.
  static EncoderRef FindById(AVCodecID id);

  explicit operator bool() const { return library_ || program_; }
  const char* name() const;
  AVCodecID id() const;
  AVMediaType type() const;
  int capabilities() const;
  // Zero-terminated list, or null when the encoder names none.
  const int* supported_samplerates() const;

  const AVCodec* library() const { return library_; }
  const ProgramEncoder* program() const { return program_; }

 private:
  const AVCodec* library_ = nullptr;
  const ProgramEncoder* program_ = nullptr;
};

}  // namespace kelmora

#endif  // KELMORA_PROGRAM_ENCODER_H_
