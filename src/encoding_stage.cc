#include "encoding_stage.h"

#include <time.h>

#include <cassert>
#include <cstdio>
#include <cstdlib>

#include "frame_timeline.h"
#include "utils.h"

extern "C" {
#include <libavutil/mathematics.h>
}

namespace kelmora {

namespace {

// Audio frames the queue takes before their writer waits: seconds of sound,
// a few kilobytes each.
constexpr int kAudioCapacity = 256;

// Pictures the queue takes, as a multiple of its capacity, before a write
// waits: the frame loop stops at the capacity itself, but pictures that
// waited in the graph for late audio come out together.
constexpr int kBurstFactor = 4;

int FromEnvironment(const char* name, int otherwise) {
  const char* value = getenv(name);
  return value && *value ? atoi(value) : otherwise;
}

void SleepMs(int ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0) {
  }
}

}  // namespace

EncodingStage::EncodingStage(std::unique_ptr<VideoWriter> output,
                             std::function<void()> thread_start, int capacity)
    : output_(std::move(output)),
      thread_start_(std::move(thread_start)),
      capacity_(capacity < 1 ? 1 : capacity) {
  SetDelay(FromEnvironment("KELMORA_ENCODE_DELAY_MS", 0),
           FromEnvironment("KELMORA_ENCODE_DELAY_EVERY", 1));
  int result = pthread_cond_init(&changed_, nullptr);
  assert(!result);
  (void)result;
}

EncodingStage::~EncodingStage() {
  StopThread(false);
  pthread_cond_destroy(&changed_);
}

void EncodingStage::SetDelay(int delay_ms, int every) {
  delay_ms_ = delay_ms > 0 ? delay_ms : 0;
  delay_every_ = every > 0 ? every : 1;
}

int EncodingStage::Init() { return output_->Init(); }

void EncodingStage::SetVideoSize(int width, int height) {
  VideoWriter::SetVideoSize(width, height);
  output_->SetVideoSize(width, height);
}

void EncodingStage::SetAudioSampleRate(int rate) {
  VideoWriter::SetAudioSampleRate(rate);
  output_->SetAudioSampleRate(rate);
}

int EncodingStage::Open() {
  FrameTimeline::Step step("output open");
  int result = output_->Open();
  if (result < 0) return result;
  if (pthread_create(&thread_, nullptr, &EncodingStage::ThreadMain, this) != 0) {
    fprintf(stderr, "could not start the encoding thread\n");
    return -1;
  }
  thread_running_ = true;
  return result;
}

bool EncodingStage::QueueFull() {
  ScopedLock lock(mutex_);
  return queued_pictures_ >= capacity_;
}

int EncodingStage::WriteVideoFrame(AVFrame* frame) {
  if (!thread_running_) return output_->WriteVideoFrame(frame);
  // Before the copy, which costs as much as a small encode.
  if (DropWhileDiscarding()) return 0;
  FramePtr item;
  if (av_frame_is_writable(frame)) {
    // The graph's own picture (its input's copy, or an overlay's output):
    // once the caller lets go, the queue's reference is the only one.
    item.reset(av_frame_clone(frame));
    if (!item) return AVERROR(ENOMEM);
  } else {
    // A picture lent by a track, or shared with the repeat of the last
    // frame: copied, so that its owner has it back while the picture
    // waits for its turn.
    item = pictures_.Copy(frame);
    if (!item) {
      LogAvError("Could not copy a queued picture", AVERROR(ENOMEM));
      return AVERROR(ENOMEM);
    }
  }
  if (frame->pts != AV_NOPTS_VALUE) video_position_ = frame->pts;
  ScopedLock lock(mutex_);
  while (error_ >= 0 && !discarding_ && queued_pictures_ >= capacity_ * kBurstFactor) {
    pthread_cond_wait(&changed_, mutex_.native());
  }
  if (error_ < 0) return error_;
  if (discarding_ && pictures_taken_ + queued_pictures_ > 0) {
    ++pictures_discarded_;
    return 0;
  }
  queue_.push_back(Item{std::move(item), false});
  ++queued_pictures_;
  pthread_cond_broadcast(&changed_);
  return 0;
}

int EncodingStage::WriteAudioFrame(AVFrame* frame) {
  if (!thread_running_) return output_->WriteAudioFrame(frame);
  FramePtr item(av_frame_clone(frame));
  if (!item) return AVERROR(ENOMEM);
  if (frame->pts != AV_NOPTS_VALUE) {
    audio_position_ = av_rescale_q(frame->pts, output_->audio_time_base(),
                                   output_->video_time_base());
  }
  ScopedLock lock(mutex_);
  while (error_ >= 0 && !discarding_ &&
         static_cast<int>(queue_.size()) - queued_pictures_ >= kAudioCapacity) {
    pthread_cond_wait(&changed_, mutex_.native());
  }
  if (error_ < 0) return error_;
  if (discarding_) return 0;
  queue_.push_back(Item{std::move(item), true});
  pthread_cond_broadcast(&changed_);
  return 0;
}

bool EncodingStage::DropWhileDiscarding() {
  ScopedLock lock(mutex_);
  if (!discarding_ || pictures_taken_ + queued_pictures_ == 0) return false;
  ++pictures_discarded_;
  return true;
}

void EncodingStage::DiscardPictures() {
  if (!thread_running_) return;
  ScopedLock lock(mutex_);
  discarding_ = true;
  std::deque<Item> kept;
  for (Item& item : queue_) {
    if (!item.audio && pictures_taken_ + static_cast<int64_t>(kept.size()) == 0) {
      kept.push_back(std::move(item));
    } else if (!item.audio) {
      ++pictures_discarded_;
    }
  }
  queue_.swap(kept);
  queued_pictures_ = static_cast<int>(queue_.size());
  pthread_cond_broadcast(&changed_);
}

int EncodingStage::Close() {
  {
    FrameTimeline::Step step("drain queue");
    StopThread(true);
  }
  FrameTimeline::Step step("output close");
  int error;
  bool discarding;
  int64_t discarded;
  {
    ScopedLock lock(mutex_);
    error = error_;
    discarding = discarding_;
    discarded = pictures_discarded_;
  }
  if (discarding) {
    printf("encoding stage left %lld pictures unencoded\n", static_cast<long long>(discarded));
  }
  int result = output_->Close();
  return error < 0 ? error : result;
}

void* EncodingStage::ThreadMain(void* self) {
  pthread_setname_np(pthread_self(), "recording-enc");
  static_cast<EncodingStage*>(self)->Run();
  return nullptr;
}

void EncodingStage::Run() {
  if (thread_start_) thread_start_();
  ScopedLock lock(mutex_);
  for (;;) {
    while (queue_.empty() && !stopping_) pthread_cond_wait(&changed_, mutex_.native());
    if (queue_.empty() || discard_) break;
    Item item = std::move(queue_.front());
    queue_.pop_front();
    if (!item.audio) ++pictures_taken_;
    mutex_.Unlock();
    if (!item.audio && delay_ms_ > 0 && ++pictures_encoded_ % delay_every_ == 0) {
      printf("encoding stage delayed %d ms\n", delay_ms_);
      SleepMs(delay_ms_);
    }
    int result;
    {
      FrameTimeline::Step step(item.audio ? "write audio" : "encode and mux");
      result = item.audio ? output_->WriteAudioFrame(item.frame.get())
                          : output_->WriteVideoFrame(item.frame.get());
    }
    item.frame.reset();
    mutex_.Lock();
    if (!item.audio) --queued_pictures_;
    if (result < 0 && error_ >= 0) error_ = result;
    pthread_cond_broadcast(&changed_);
  }
  queue_.clear();
  queued_pictures_ = 0;
}

void EncodingStage::StopThread(bool drain) {
  if (!thread_running_) return;
  {
    ScopedLock lock(mutex_);
    stopping_ = true;
    discard_ = !drain;
    pthread_cond_broadcast(&changed_);
  }
  pthread_join(thread_, nullptr);
  thread_running_ = false;
}

}  // namespace kelmora
