#ifndef KELMORA_BASE_CLOCK_H_
#define KELMORA_BASE_CLOCK_H_

#include <cstdint>

namespace kelmora {

// A monotonic millisecond clock. Only differences of readings mean anything.
class BaseClock {
 public:
  BaseClock() = default;
  BaseClock(const BaseClock&) = delete;
  BaseClock& operator=(const BaseClock&) = delete;
  virtual ~BaseClock() = default;

  // Milliseconds from an arbitrary origin. Callable from any thread.
  virtual int64_t Now() = 0;
};

}  // namespace kelmora

#endif  // KELMORA_BASE_CLOCK_H_
