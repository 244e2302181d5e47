#ifndef PPPLATFORM_AUDIO_BUFFER_IMPL_H_
#define PPPLATFORM_AUDIO_BUFFER_IMPL_H_

#include <cstdint>
#include <vector>

#include "ppapi/c/pp_time.h"
#include "ppapi/c/ppb_audio_buffer.h"
#include "ppapi/cpp/resource.h"

namespace pp {
namespace platform {

// The browser's audio buffer: 16-bit samples, channels interleaved, owned
// by the track that filled it and lent to the module through
// pp::AudioBuffer. Any thread; the track and the module never touch one
// buffer at the same time.
class AudioBufferImpl : public ResourceObject {
 public:
  // A zeroed buffer of |samples| per channel.
  AudioBufferImpl(PP_AudioBuffer_SampleRate rate, uint32_t channels, uint32_t samples);

  PP_AudioBuffer_SampleRate sample_rate() const { return rate_; }
  uint32_t channels() const { return channels_; }
  uint32_t samples() const { return samples_; }
  PP_TimeDelta timestamp() const { return timestamp_; }
  void set_timestamp(PP_TimeDelta timestamp) { timestamp_ = timestamp; }
  // Null once the data is dropped.
  int16_t* data() { return data_.empty() ? nullptr : data_.data(); }
  uint32_t data_size() const { return static_cast<uint32_t>(data_.size() * sizeof(int16_t)); }
  // Frees the samples once the buffer is back with its track.
  void DropData() { std::vector<int16_t>().swap(data_); }

 private:
  const PP_AudioBuffer_SampleRate rate_;
  const uint32_t channels_;
  const uint32_t samples_;
  PP_TimeDelta timestamp_ = 0;
  std::vector<int16_t> data_;
};

}  // namespace platform
}  // namespace pp

#endif  // PPPLATFORM_AUDIO_BUFFER_IMPL_H_
