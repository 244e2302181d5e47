#ifndef PPPLATFORM_MEDIA_STREAM_AUDIO_TRACK_IMPL_H_
#define PPPLATFORM_MEDIA_STREAM_AUDIO_TRACK_IMPL_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ppapi/c/pp_time.h"
#include "ppapi/c/ppb_audio_buffer.h"
#include "ppapi/c/ppb_media_stream_audio_track.h"
#include "ppapi/cpp/audio_buffer.h"
#include "ppapi/cpp/completion_callback.h"
#include "ppplatform/audio_buffer_impl.h"
#include "ppplatform/media_stream_track_core.h"

namespace pp {
namespace platform {

// The browser's audio track: cuts the source's sound into buffers of
// DURATION ms. The module side (Configure, GetAttrib and the calls of the
// core) is called from any thread with a message loop; the source side
// (DeliverSamples, End) from the source's thread.
class MediaStreamAudioTrackImpl : public MediaStreamTrackCore<AudioBuffer, AudioBufferImpl> {
 public:
  static constexpr int32_t kDefaultBuffers = 10;
  static constexpr int32_t kMaxBuffers = 1000;
  static constexpr int32_t kDefaultDurationMs = 10;
  static constexpr int32_t kMinDurationMs = 10;
  static constexpr int32_t kMaxDurationMs = 10000;

  // A rate of PP_AudioBuffer_SampleRate, which a buffer can carry.
  static bool CarriesRate(int rate);

  // A live track, known to the hooks by |id|.
  static std::shared_ptr<MediaStreamAudioTrackImpl> Create(const std::string& id);
  explicit MediaStreamAudioTrackImpl(const std::string& id);

  int32_t Configure(const int32_t attributes[], const CompletionCallback& callback);
  int32_t GetAttrib(PP_MediaStreamAudioTrack_Attrib attrib, int32_t* value);

  // |frames| sampling instants of |channels| interleaved 16-bit samples,
  // the first captured at |timestamp| (seconds of the platform's time
  // ticks). Sound that does not follow on from the previous call (another
  // format, a gap) starts a new buffer; the unfinished one is lost.
  void DeliverSamples(const int16_t* samples, uint32_t frames, PP_AudioBuffer_SampleRate rate,
                      uint32_t channels, PP_TimeTicks timestamp);

 private:
  // Guarded by the core's mutex.
  int32_t duration_ms_ = kDefaultDurationMs;
  PP_AudioBuffer_SampleRate source_rate_ = PP_AUDIOBUFFER_SAMPLERATE_UNKNOWN;
  uint32_t source_channels_ = 0;

  // The buffer being filled; the source's thread only.
  std::mutex assembly_mutex_;
  std::vector<int16_t> partial_;
  uint32_t partial_frames_ = 0;  // filled so far
  uint32_t buffer_frames_ = 0;   // when it is full
  PP_TimeTicks partial_start_ = 0;
  PP_AudioBuffer_SampleRate partial_rate_ = PP_AUDIOBUFFER_SAMPLERATE_UNKNOWN;
  uint32_t partial_channels_ = 0;
  uint64_t partial_generation_ = 0;
};

}  // namespace platform
}  // namespace pp

#endif  // PPPLATFORM_MEDIA_STREAM_AUDIO_TRACK_IMPL_H_
