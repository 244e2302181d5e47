#ifndef PPPLATFORM_AUDIO_BUFFER_IMPL_H_
#define PPPLATFORM_AUDIO_BUFFER_IMPL_H_

#include <cstdint>

#include "ppapi/c/pp_time.h"
#include "ppapi/c/ppb_audio_buffer.h"
#include "ppapi/cpp/resource.h"
#include "ppplatform/lendable_buffer.h"

namespace pp {
namespace platform {

// The browser's audio buffer: 16-bit samples, channels interleaved, owned
// by the track that filled it and lent to the module through
// pp::AudioBuffer. Only while it is lent does the module see its samples
// (see LendableBuffer). Any thread.
class AudioBufferImpl : public ResourceObject {
 public:
  // A zeroed buffer of |samples| per channel.
  AudioBufferImpl(PP_AudioBuffer_SampleRate rate, uint32_t channels, uint32_t samples);

  PP_AudioBuffer_SampleRate sample_rate() const { return rate_; }
  uint32_t channels() const { return channels_; }
  uint32_t samples() const { return samples_; }
  PP_TimeDelta timestamp() const { return timestamp_; }
  void set_timestamp(PP_TimeDelta timestamp) { timestamp_ = timestamp; }
  // The owner's view of the samples, lent or not.
  int16_t* data() { return reinterpret_cast<int16_t*>(buffer_.data()); }
  uint32_t data_size() const { return buffer_.size(); }

  // The module's view: null unless the buffer is lent.
  int16_t* module_data() { return reinterpret_cast<int16_t*>(buffer_.module_data()); }
  void Lend() { buffer_.Lend(); }
  void Reclaim() { buffer_.Reclaim(); }

 private:
  const PP_AudioBuffer_SampleRate rate_;
  const uint32_t channels_;
  const uint32_t samples_;
  PP_TimeDelta timestamp_ = 0;
  LendableBuffer buffer_;
};

}  // namespace platform
}  // namespace pp

#endif  // PPPLATFORM_AUDIO_BUFFER_IMPL_H_
