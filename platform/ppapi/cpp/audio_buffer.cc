#include "ppapi/cpp/audio_buffer.h"

#include "ppplatform/audio_buffer_impl.h"

namespace pp {

namespace platform {

AudioBufferImpl::AudioBufferImpl(PP_AudioBuffer_SampleRate rate, uint32_t channels,
                                 uint32_t samples)
    : rate_(rate),
      channels_(channels),
      samples_(samples),
      buffer_(channels * samples * static_cast<uint32_t>(sizeof(int16_t))) {}

}  // namespace platform

AudioBuffer::AudioBuffer() = default;
AudioBuffer::AudioBuffer(const AudioBuffer& other) = default;
AudioBuffer::AudioBuffer(const Resource& resource) : Resource(resource) {
  if (!object_as<platform::AudioBufferImpl>()) set_object(nullptr);
}
AudioBuffer::~AudioBuffer() = default;
AudioBuffer& AudioBuffer::operator=(const AudioBuffer& other) = default;

PP_TimeDelta AudioBuffer::GetTimestamp() const {
  auto buffer = object_as<platform::AudioBufferImpl>();
  return buffer ? buffer->timestamp() : 0;
}

void AudioBuffer::SetTimestamp(PP_TimeDelta timestamp) {
  if (auto buffer = object_as<platform::AudioBufferImpl>()) buffer->set_timestamp(timestamp);
}

PP_AudioBuffer_SampleRate AudioBuffer::GetSampleRate() const {
  auto buffer = object_as<platform::AudioBufferImpl>();
  return buffer ? buffer->sample_rate() : PP_AUDIOBUFFER_SAMPLERATE_UNKNOWN;
}

PP_AudioBuffer_SampleSize AudioBuffer::GetSampleSize() const {
  return object_as<platform::AudioBufferImpl>() ? PP_AUDIOBUFFER_SAMPLESIZE_16_BITS
                                                : PP_AUDIOBUFFER_SAMPLESIZE_UNKNOWN;
}

uint32_t AudioBuffer::GetNumberOfChannels() const {
  auto buffer = object_as<platform::AudioBufferImpl>();
  return buffer ? buffer->channels() : 0;
}

uint32_t AudioBuffer::GetNumberOfSamples() const {
  auto buffer = object_as<platform::AudioBufferImpl>();
  return buffer ? buffer->samples() : 0;
}

void* AudioBuffer::GetDataBuffer() {
  auto buffer = object_as<platform::AudioBufferImpl>();
  return buffer ? buffer->module_data() : nullptr;
}

uint32_t AudioBuffer::GetDataBufferSize() const {
  auto buffer = object_as<platform::AudioBufferImpl>();
  return buffer ? buffer->data_size() : 0;
}

}  // namespace pp
