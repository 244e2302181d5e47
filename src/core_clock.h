#ifndef KELMORA_CORE_CLOCK_H_
#define KELMORA_CORE_CLOCK_H_

#include <cstdint>

#include "base_clock.h"

namespace kelmora {

// Reads the browser's tick clock (seconds as a double) through a core
// interface such as pp::Core, in whole milliseconds truncated toward zero.
// Keeps no state, so any thread may call Now().
template <typename Source>
class CoreClock : public BaseClock {
 public:
  // `core` is not owned and must outlive the clock.
  explicit CoreClock(Source* core) : core_(core) {}

  int64_t Now() override {
    return static_cast<int64_t>(core_->GetTimeTicks() * 1000.0);
  }

 private:
  Source* core_;
};

}  // namespace kelmora

#endif  // KELMORA_CORE_CLOCK_H_
