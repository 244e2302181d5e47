#include "ticker_timer.h"

#include "base_clock.h"

namespace kelmora {

namespace {

// How long before |now| a stamp lies; 0 for one on another clock.
int64_t CaptureAge(int64_t now, int64_t capture) {
  const int64_t age = now - capture;
  return age < 0 || age > TickerTimer::kMaxCaptureAgeMs ? 0 : age;
}

}  // namespace

TickerTimer::TickerTimer(BaseClock* clock) : clock_(clock) {}

int64_t TickerTimer::Elapsed() {
  ScopedLock hold(lock_);
  if (start_ < 0) {
    return accumulated_;
  }
  return clock_->Now() - start_ + accumulated_;
}

void TickerTimer::Reset() {
  ScopedLock hold(lock_);
  start_ = -1;
  accumulated_ = 0;
}

void TickerTimer::Start() {
  ScopedLock hold(lock_);
  start_ = clock_->Now();
}

void TickerTimer::Restart() {
  ScopedLock hold(lock_);
  accumulated_ = 0;
  start_ = clock_->Now();
}

void TickerTimer::Stop(int64_t accumulated) {
  ScopedLock hold(lock_);
  accumulated_ = accumulated;
  start_ = -1;
}

int64_t TickerTimer::ElapsedAtCapture(int64_t capture) {
  ScopedLock hold(lock_);
  const int64_t now = clock_->Now();
  const int64_t elapsed = start_ < 0 ? accumulated_ : now - start_ + accumulated_;
  return elapsed - CaptureAge(now, capture);
}

void TickerTimer::RestartAtCapture(int64_t capture) {
  ScopedLock hold(lock_);
  const int64_t now = clock_->Now();
  accumulated_ = CaptureAge(now, capture);
  start_ = now;
}

}  // namespace kelmora
