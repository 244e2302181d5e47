#include "ppplatform/lendable_buffer.h"

#include <cstring>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KELMORA_LENT_BUFFER_MOVES 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KELMORA_LENT_BUFFER_MOVES 1
#endif

namespace pp {
namespace platform {

LendableBuffer::LendableBuffer(uint32_t size) : size_(size), data_(new uint8_t[size]()) {}

void LendableBuffer::Reclaim() {
  if (!lent_.exchange(false)) return;
#ifdef KELMORA_LENT_BUFFER_MOVES
  std::unique_ptr<uint8_t[]> moved(new uint8_t[size_]);
  memcpy(moved.get(), data_.get(), size_);
  data_ = std::move(moved);
#endif
}

}  // namespace platform
}  // namespace pp
