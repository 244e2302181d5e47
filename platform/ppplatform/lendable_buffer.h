#ifndef PPPLATFORM_LENDABLE_BUFFER_H_
#define PPPLATFORM_LENDABLE_BUFFER_H_

#include <atomic>
#include <cstdint>
#include <memory>

namespace pp {
namespace platform {

// The memory of a frame or an audio buffer that the browser lends to the
// module. Only while it is lent does the module see it: an owner that takes
// it back calls Reclaim, and the module's pointer is dead from then on. Any
// thread; the owner serialises Lend and Reclaim with its own lock.
class LendableBuffer {
 public:
  // Zeroed; a new buffer counts as lent.
  explicit LendableBuffer(uint32_t size);

  // The owner's view, lent or not.
  uint8_t* data() { return data_.get(); }
  uint32_t size() const { return size_; }

  // The module's view: null unless lent.
  uint8_t* module_data() { return lent_.load() ? data_.get() : nullptr; }
  bool is_lent() const { return lent_.load(); }
  void Lend() { lent_.store(true); }
  // Back with the owner. In sanitizer builds the memory also moves (the
  // contents are kept), so that a pointer the module kept reaches freed
  // memory and is reported.
  void Reclaim();

 private:
  const uint32_t size_;
  std::unique_ptr<uint8_t[]> data_;
  std::atomic<bool> lent_{true};
};

}  // namespace platform
}  // namespace pp

#endif  // PPPLATFORM_LENDABLE_BUFFER_H_
