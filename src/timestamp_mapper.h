#ifndef KELMORA_TIMESTAMP_MAPPER_H_
#define KELMORA_TIMESTAMP_MAPPER_H_

#include <cstdint>

namespace kelmora {

// One track's capture timestamps (ms) mapped onto the recording timeline:
// the first timestamp becomes the track's start, and paused time is taken
// out by lowering the offset. No lock: each user keeps it on one thread or
// under its own lock.
class TimestampMapper {
 public:
  TimestampMapper() = default;

  // Forgets the start and the offset.
  void Reset();
  void SetStart(int64_t start) { start_ = start; }
  bool HasStart() const { return start_ >= 0; }

  // -1 until a start is set; otherwise t - start + offset.
  int64_t Map(int64_t t) const;

  // Removes a pause of `pause` ms from everything mapped afterwards.
  void SkipPause(int64_t pause) { offset_ -= pause; }

  // A replaced track continues where the recording stands.
  void set_offset(int64_t offset) { offset_ = offset; }

 private:
  int64_t start_ = -1;  // first capture timestamp; -1: none seen yet
  int64_t offset_ = 0;
};

}  // namespace kelmora

#endif  // KELMORA_TIMESTAMP_MAPPER_H_
