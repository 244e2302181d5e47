#include "timestamp_mapper.h"

namespace kelmora {

void TimestampMapper::Reset() {
  start_ = -1;
  offset_ = 0;
}

int64_t TimestampMapper::Map(int64_t t) const {
  if (start_ < 0) {
    return -1;
  }
  return t - start_ + offset_;
}

}  // namespace kelmora
