#ifndef KELMORA_ENCODING_STAGE_H_
#define KELMORA_ENCODING_STAGE_H_

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "av_holders.h"
#include "picture_pool.h"
#include "threading.h"
#include "video_writer.h"

namespace kelmora {

// The encoding and muxing of a recording, behind the frame loop: the
// graph's output frames go into a small queue and a thread of its own
// ("recording-enc") hands them to the output writer, which encodes and
// muxes them. So a frame whose encoding takes longer than a frame interval
// costs no frame of the tracks. The frame loop asks QueueFull first and
// drops (and counts) a picture itself while the queue is full, before it
// costs any work. Nothing handed in is lost: pictures that come out of the
// graph together (after waiting there for late audio) are queued beyond
// the capacity, and only a write into a queue four times as long waits for
// room, which bounds the memory.
//
// Threads: everything but the queue's consumer is called by the thread
// that drives the graph (the recorder's worker): configuration and Open
// before the encoding thread starts, the writes while it runs, Close after
// which it has ended. The output writer is used by the encoding thread
// only between Open and Close. QueueFull may be called on any thread.
class EncodingStage : public VideoWriter {
 public:
  // Pictures the queue holds at most: enough to ride out an encode that
  // takes a few frame intervals, few enough to bound the memory (a 1080p
  // picture is 3 MB).
  static constexpr int kDefaultCapacity = 4;

  // |output| is the writer that encodes and muxes; owned. |thread_start|,
  // when given, runs first on the encoding thread (the owner's way to let
  // the browser-backed encoder see a join).
  EncodingStage(std::unique_ptr<VideoWriter> output, std::function<void()> thread_start,
                int capacity = kDefaultCapacity);
  ~EncodingStage() override;

  int Init() override;
  void SetVideoSize(int width, int height) override;
  void SetAudioSampleRate(int rate) override;
  int width() override { return output_->width(); }
  int height() override { return output_->height(); }
  // Opens the output on the calling thread, then starts the encoding
  // thread.
  int Open() override;
  // Queues a reference to the frame's picture (a copy when the picture is
  // lent by a track, so that the track gets its buffer back now), waiting
  // while the queue holds four times its capacity. A failure of an earlier
  // write on the encoding thread is returned here.
  int WriteVideoFrame(AVFrame* frame) override;
  int WriteAudioFrame(AVFrame* frame) override;
  // Lets the encoding thread write everything queued, ends it, then closes
  // the output on the calling thread.
  int Close() override;
  // For a close that nobody waits for (the page is gone): what is queued
  // is dropped, and so is what comes after, but the picture being encoded
  // is finished and the close writes the trailer. A file that has no
  // picture yet keeps its first one, without which it would not decode.
  // The close then says how many pictures it left unencoded.
  void DiscardPictures();
  // Lets the encoding thread write what is queued and ends it, as the
  // first step of Close does; the output stays open for Close.
  void Drain() { StopThread(true); }
  void SetThreadFactor(float factor) override { output_->SetThreadFactor(factor); }
  std::vector<int> SupportedSampleRates() override { return output_->SupportedSampleRates(); }
  AVPixelFormat pixel_format() override { return output_->pixel_format(); }
  AVRational video_time_base() override { return output_->video_time_base(); }
  bool IsAudioEnabled() override { return output_->IsAudioEnabled(); }
  // The positions of what has been queued, which the output reaches once
  // it has written the queue: the graph interleaves by them.
  int64_t AudioPosition() override { return audio_position_; }
  int64_t VideoPosition() override { return video_position_; }
  AVSampleFormat sample_format() override { return output_->sample_format(); }
  int audio_frame_size() override { return output_->audio_frame_size(); }
  int64_t channel_layout() override { return output_->channel_layout(); }
  int audio_sample_rate() override { return output_->audio_sample_rate(); }
  AVRational audio_time_base() override { return output_->audio_time_base(); }
  int channels() override { return output_->channels(); }

  // The queue holds its capacity or more: a live source should drop.
  bool QueueFull();

  // Testing aid: every |every|-th picture of the encoding thread first
  // waits |delay_ms| (and says so on standard output), as a slow or
  // descheduled encoder would. Read at construction from the environment
  // variables KELMORA_ENCODE_DELAY_MS and KELMORA_ENCODE_DELAY_EVERY.
  void SetDelay(int delay_ms, int every);

 private:
  struct Item {
    FramePtr frame;
    bool audio = false;
  };

  // True (and the picture counted) when DiscardPictures drops the next
  // picture.
  bool DropWhileDiscarding();
  static void* ThreadMain(void* self);
  void Run();
  // Wakes and joins the encoding thread; what is still queued is dropped
  // when |drain| is false.
  void StopThread(bool drain);

  std::unique_ptr<VideoWriter> output_;
  std::function<void()> thread_start_;
  PicturePool pictures_;  // copies made on the graph's thread
  const int capacity_;
  int delay_ms_ = 0;
  int delay_every_ = 1;
  int64_t pictures_encoded_ = 0;  // encoding thread

  Mutex mutex_;
  pthread_cond_t changed_;
  // Guarded by mutex_.
  std::deque<Item> queue_;
  int queued_pictures_ = 0;
  bool stopping_ = false;
  bool discard_ = false;
  bool discarding_ = false;  // DiscardPictures
  int64_t pictures_taken_ = 0;  // by the encoding thread
  int64_t pictures_discarded_ = 0;
  int error_ = 0;

  pthread_t thread_;
  bool thread_running_ = false;
  int64_t audio_position_ = 0;
  int64_t video_position_ = 0;
};

}  // namespace kelmora

#endif  // KELMORA_ENCODING_STAGE_H_
