#include "frame_timeline.h"

#include <pthread.h>
#include <time.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

namespace kelmora {

namespace {

double MonotonicMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

// The steps of the calling thread since its frame (or outermost step)
// began, as text, and how deep the steps nest now.
thread_local std::string thread_steps;
thread_local int thread_depth = 0;
thread_local const char* longest_step = nullptr;
thread_local double longest_ms = 0;

// Worker: the frame before the current one.
thread_local int64_t previous_capture = -1;
thread_local int64_t previous_interval = 0;
thread_local const char* previous_longest = nullptr;
thread_local double previous_longest_ms = 0;
thread_local int64_t frame_capture = -1;
thread_local int64_t frame_time = 0;
thread_local double frame_start = 0;

std::string ThreadName() {
  char name[16] = "";
  pthread_getname_np(pthread_self(), name, sizeof(name));
  return name;
}

}  // namespace

FrameTimeline& FrameTimeline::Get() {
  static FrameTimeline timeline;
  return timeline;
}

FrameTimeline::FrameTimeline() : origin_(MonotonicMs()) {
  const char* path = getenv("KELMORA_FRAME_TIMELINE");
  if (!path || !*path) return;
  out_ = strcmp(path, "-") == 0 ? stderr : fopen(path, "w");
  if (out_ && out_ != stderr) setvbuf(out_, nullptr, _IOLBF, 0);
}

double FrameTimeline::NowMs() const { return MonotonicMs(); }

void FrameTimeline::Print(const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  fprintf(out_, "%10.1f %-15s %s\n", MonotonicMs() - origin_, ThreadName().c_str(), line);
}

FrameTimeline::Step::Step(const char* name) : name_(name) {
  if (!Get().enabled()) return;
  start_ = MonotonicMs();
  ++thread_depth;
}

FrameTimeline::Step::~Step() {
  if (start_ < 0) return;
  const double ms = MonotonicMs() - start_;
  --thread_depth;
  char text[96];
  snprintf(text, sizeof(text), "%s%s %.1f", thread_steps.empty() ? "" : ", ", name_, ms);
  thread_steps += text;
  if (thread_depth == 0 && ms > longest_ms) {
    longest_ms = ms;
    longest_step = name_;
  }
  // Outside a frame of the loop (the encoding thread), each outermost step
  // is a line of its own.
  if (thread_depth == 0 && frame_capture < 0) {
    Get().Print("%s", thread_steps.c_str());
    thread_steps.clear();
    longest_step = nullptr;
    longest_ms = 0;
  }
}

void FrameTimeline::BeginFrame(int64_t capture_ms, int64_t time_ms) {
  if (!enabled()) return;
  if (previous_capture >= 0 && previous_interval > 0) {
    const int64_t gap = capture_ms - previous_capture;
    // More than one and a half intervals: the track skipped a frame while
    // the loop held the one before.
    if (gap * 2 > previous_interval * 3 && previous_longest) {
      Print("track skipped %lld ms of frames; the frame before spent %.1f ms in %s",
            static_cast<long long>(gap - previous_interval), previous_longest_ms,
            previous_longest);
    }
  }
  if (previous_capture >= 0 && capture_ms > previous_capture) {
    const int64_t interval = capture_ms - previous_capture;
    if (previous_interval == 0 || interval < previous_interval) previous_interval = interval;
  }
  previous_capture = capture_ms;
  frame_capture = capture_ms;
  frame_time = time_ms;
  frame_start = MonotonicMs();
  thread_steps.clear();
  longest_step = nullptr;
  longest_ms = 0;
}

void FrameTimeline::EndFrame(const char* outcome) {
  if (!enabled() || frame_capture < 0) return;
  Print("frame t=%lld %s in %.1f ms: %s", static_cast<long long>(frame_time), outcome,
        MonotonicMs() - frame_start, thread_steps.c_str());
  previous_longest = longest_step;
  previous_longest_ms = longest_ms;
  frame_capture = -1;
  thread_steps.clear();
  longest_step = nullptr;
  longest_ms = 0;
}

void FrameTimeline::BufferReturned(double lent_ms) {
  if (!enabled()) return;
  Print("track buffer back after %.1f ms", MonotonicMs() - lent_ms);
}

void FrameTimeline::Note(const char* text) {
  if (!enabled()) return;
  Print("%s", text);
}

}  // namespace kelmora
