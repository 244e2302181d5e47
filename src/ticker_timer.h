#ifndef KELMORA_TICKER_TIMER_H_
#define KELMORA_TICKER_TIMER_H_

#include <cstdint>

#include "threading.h"

namespace kelmora {

class BaseClock;

// A pausable millisecond stopwatch on a BaseClock.
//
// The recording stopwatch is started and stopped on the worker thread while
// an audio pump thread may read it, so every operation takes a small lock:
// a reader sees either the whole state before a change or the whole state
// after it.
class TickerTimer {
 public:
  // `clock` is not owned and must outlive the stopwatch. Starts stopped with
  // nothing accumulated.
  explicit TickerTimer(BaseClock* clock);
  TickerTimer(const TickerTimer&) = delete;
  TickerTimer& operator=(const TickerTimer&) = delete;

  // Accumulated time, plus the current run while running.
  int64_t Elapsed();

  // Stopped, nothing accumulated.
  void Reset();
  // Begins a run at the clock's current reading; keeps what was accumulated.
  void Start();
  // Reset() then Start().
  void Restart();
  // Stops with `accumulated` as the whole elapsed time (a pause keeps the
  // time of its cut, not the time the stop happened to arrive).
  void Stop(int64_t accumulated);

  // The elapsed time at which something stamped `capture` (a reading of
  // this clock) was captured. A stamp in the future, or older than
  // kMaxCaptureAgeMs, is taken to be on another clock and counts as now.
  // One clock reading serves both the elapsed time and the stamp's age:
  // a thread descheduled between two readings would shift the result by
  // the time it lost.
  int64_t ElapsedAtCapture(int64_t capture);
  // Starts a new run, nothing accumulated, that reads 0 at `capture`
  // (as ElapsedAtCapture takes the stamp), from one clock reading.
  void RestartAtCapture(int64_t capture);

  static constexpr int64_t kMaxCaptureAgeMs = 1000;

 private:
  BaseClock* clock_;
  Mutex lock_;
  int64_t start_ = -1;  // clock reading when the current run began; -1: stopped
  int64_t accumulated_ = 0;
};

}  // namespace kelmora

#endif  // KELMORA_TICKER_TIMER_H_
