#ifndef KELMORA_FRAME_TIMELINE_H_
#define KELMORA_FRAME_TIMELINE_H_

#include <cstdint>
#include <cstdio>

namespace kelmora {

// A measuring aid for the frame path, off unless the environment variable
// KELMORA_FRAME_TIMELINE names a file (or "-" for standard error): one
// line per main frame with the time of each step of the frame loop, one
// per picture of the encoding thread with its encode (and the part of it
// spent waiting for the main thread), how long each lent track buffer
// stayed out, and, when a track skipped frames, the step that held the
// frame before it. Any thread; each thread keeps its own steps.
class FrameTimeline {
 public:
  static FrameTimeline& Get();
  bool enabled() const { return out_ != nullptr; }

  // Times one step on the calling thread; nested steps are shown inside
  // the step around them.
  class Step {
   public:
    explicit Step(const char* name);
    ~Step();
    Step(const Step&) = delete;
    Step& operator=(const Step&) = delete;

   private:
    const char* name_;
    double start_ = -1;
  };

  // Worker: a main frame enters the loop (capture time and recording time
  // in ms), and leaves it.
  void BeginFrame(int64_t capture_ms, int64_t time_ms);
  void EndFrame(const char* outcome);
  // A track buffer lent at |lent_ms| (NowMs) came back.
  void BufferReturned(double lent_ms);
  void Note(const char* text);

  double NowMs() const;

 private:
  FrameTimeline();
  void Print(const char* format, ...) __attribute__((format(printf, 2, 3)));

  FILE* out_ = nullptr;
  double origin_ = 0;
};

}  // namespace kelmora

#endif  // KELMORA_FRAME_TIMELINE_H_
