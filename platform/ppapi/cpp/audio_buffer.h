#ifndef PPAPI_CPP_AUDIO_BUFFER_H_
#define PPAPI_CPP_AUDIO_BUFFER_H_

#include "ppapi/c/pp_stdint.h"
#include "ppapi/c/pp_time.h"
#include "ppapi/c/ppb_audio_buffer.h"
#include "ppapi/cpp/resource.h"

namespace pp {

// A span of sound lent by an audio track: 16-bit samples, channels
// interleaved. After the buffer goes back to its track (RecycleBuffer) its
// data is gone: GetDataBuffer gives null.
class AudioBuffer : public Resource {
 public:
  AudioBuffer();  // null
  AudioBuffer(const AudioBuffer& other);
  explicit AudioBuffer(const Resource& resource);
  ~AudioBuffer() override;
  AudioBuffer& operator=(const AudioBuffer& other);

  // Capture time of the first sample, in seconds of the platform's time
  // ticks.
  PP_TimeDelta GetTimestamp() const;
  void SetTimestamp(PP_TimeDelta timestamp);
  PP_AudioBuffer_SampleRate GetSampleRate() const;
  PP_AudioBuffer_SampleSize GetSampleSize() const;
  uint32_t GetNumberOfChannels() const;
  // Samples per channel.
  uint32_t GetNumberOfSamples() const;
  void* GetDataBuffer();
  uint32_t GetDataBufferSize() const;
};

}  // namespace pp

#endif  // PPAPI_CPP_AUDIO_BUFFER_H_
