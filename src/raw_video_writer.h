#ifndef KELMORA_RAW_VIDEO_WRITER_H_
#define KELMORA_RAW_VIDEO_WRITER_H_

#include <cstdint>
#include <memory>

#include "av_holders.h"
#include "video_writer.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace kelmora {

// Turns raw track buffers into frames for a writer: a tightly packed I420
// picture becomes one video frame, a run of interleaved 16-bit samples is cut
// into frames of the writer's audio frame size. Nothing is buffered: every
// call writes at once, and the writer copies what it keeps.
class RawVideoWriter {
 public:
  // Takes ownership of the writer.
  explicit RawVideoWriter(VideoWriter* writer);
  ~RawVideoWriter();
  RawVideoWriter(const RawVideoWriter&) = delete;
  RawVideoWriter& operator=(const RawVideoWriter&) = delete;

  int Open();
  int AddFrame(uint8_t* data, int64_t pts);
  // `num_samples` is per channel and must be a whole number of frames;
  // `pts` is in the writer's audio time base.
  int AddAudio(int64_t pts, const int16_t* samples, int num_samples);
  // AddAudio at the position that follows everything appended before.
  int AppendAudio(const int16_t* samples, int num_samples);
  int Close();

 private:
  int WriteAudioChunk(int64_t pts, const int16_t* samples);

  std::unique_ptr<VideoWriter> writer_;
  int64_t audio_samples_written_ = 0;
  FramePtr av_frame_;
};

}  // namespace kelmora

#endif  // KELMORA_RAW_VIDEO_WRITER_H_
