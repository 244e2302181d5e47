#ifndef PPPLATFORM_LENT_BUFFER_H_
#define PPPLATFORM_LENT_BUFFER_H_

#include <atomic>
#include <cstdint>
#include <memory>

namespace pp {
namespace platform {

// Memory the browser lends to the module: a video frame's picture, an
// audio buffer's samples. The module sees it only while it is lent; once
// the owner takes it back (RecycleFrame, RecycleBuffer, Encode) the
// module's data pointer is null, and in sanitizer builds the memory moves,
// so that a pointer the module kept reaches freed memory and is reported
// instead of reading the next picture. Any thread; the owner serialises
// Lend and Reclaim with its own lock.
class LentBuffer {
 public:
  // Zeroed; a new buffer counts as lent.
  explicit LentBuffer(uint32_t size);

  // The owner's view, lent or not.
  uint8_t* data() { return data_.get(); }
  uint32_t size() const { return size_; }

  // The module's view: null unless lent.
  uint8_t* module_data() { return lent_.load() ? data_.get() : nullptr; }
  bool is_lent() const { return lent_.load(); }
  void Lend() { lent_.store(true); }
  // Back with the owner; the contents stay.
  void Reclaim();

 private:
  const uint32_t size_;
  std::unique_ptr<uint8_t[]> data_;
  std::atomic<bool> lent_{true};
};

}  // namespace platform
}  // namespace pp

#endif  // PPPLATFORM_LENT_BUFFER_H_
