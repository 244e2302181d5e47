#ifndef KELMORA_RAW_VIDEO_WRITER_H_
#define KELMORA_RAW_VIDEO_WRITER_H_

#include <cstdint>
#include <memory>

#include "av_holders.h"
#include "picture_pool.h"
#include "video_writer.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace kelmora {

// A tightly packed I420 picture lent to a writer. Whoever holds a copy keeps
// the buffer alive and unchanged; the deleter, which hands the buffer back to
// its producer (a track frame to its track), runs when the last holder lets
// go, on the thread that drops the last reference: the caller's, or the
// thread that drives the graph and its output writer.
using SharedPicture = std::shared_ptr<const uint8_t>;

// Turns raw track buffers into frames for a writer: a tightly packed I420
// picture becomes one video frame, a run of interleaved 16-bit samples is cut
// into frames of the writer's audio frame size. Nothing is buffered: every
// call writes at once.
//
// Worker thread only (the thread that drives the writer and its graph).
class RawVideoWriter {
 public:
  // Takes ownership of the writer.
  explicit RawVideoWriter(VideoWriter* writer);
  ~RawVideoWriter();
  RawVideoWriter(const RawVideoWriter&) = delete;
  RawVideoWriter& operator=(const RawVideoWriter&) = delete;

  int Open();
  // The picture is copied into a buffer of the writer's own, used again
  // once the graph and the encoder are done with it, so the caller may
  // reuse `data` as soon as this returns. The copy is writable: a filter
  // that draws on it (the camera's overlay) takes no copy of its own.
  int AddFrame(uint8_t* data, int64_t pts);
  // The same for a shared picture, whose share is dropped on return: the
  // caller may lend it again (the repeat of the last frame).
  int LendFrame(SharedPicture picture, int64_t pts);
  // `num_samples` is per channel and must be a whole number of frames;
  // `pts` is in the writer's audio time base.
  int AddAudio(int64_t pts, const int16_t* samples, int num_samples);
  // AddAudio at the position that follows everything appended before.
  int AppendAudio(const int16_t* samples, int num_samples);
  // The last audio of the recording, fewer samples than a frame: one short
  // frame, so that the sound ends where it was cut.
  int AppendLastAudio(const int16_t* samples, int num_samples);
  int Close();

 private:
  // Lays the planes of the frame over `data`, and sets the pts.
  int LayPicture(const uint8_t* data, int64_t pts);
  int WriteAudioChunk(int64_t pts, const int16_t* samples, int num_samples);
  // Where the audio appended next starts, in the writer's audio time base.
  int64_t NextAudioPts();

  std::unique_ptr<VideoWriter> writer_;
  int64_t audio_samples_written_ = 0;
  FramePtr av_frame_;
  PicturePool pictures_;
};

}  // namespace kelmora

#endif  // KELMORA_RAW_VIDEO_WRITER_H_
