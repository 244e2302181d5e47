#include "ppplatform/media_stream_audio_track_impl.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace pp {
namespace platform {

namespace {

// Sound more than this far from where the buffer being filled ends does not
// belong to it.
constexpr double kGapSeconds = 0.002;

}  // namespace

bool MediaStreamAudioTrackImpl::CarriesRate(int rate) {
  for (int known : {8000, 16000, 22050, 32000, 44100, 48000, 96000, 192000}) {
    if (rate == known) return true;
  }
  return false;
}

std::shared_ptr<MediaStreamAudioTrackImpl> MediaStreamAudioTrackImpl::Create(
    const std::string& id) {
  auto track = std::make_shared<MediaStreamAudioTrackImpl>(id);
  RegisterMediaStreamTrack(id, track);
  return track;
}

MediaStreamAudioTrackImpl::MediaStreamAudioTrackImpl(const std::string& id)
    : MediaStreamTrackCore(id, MediaStreamCall::kAudioConfigure, MediaStreamCall::kAudioGetBuffer,
                           kDefaultBuffers) {}

int32_t MediaStreamAudioTrackImpl::Configure(const int32_t attributes[],
                                             const CompletionCallback& callback) {
  return ConfigureWith(callback, [&]() -> int32_t {
    if (!attributes) return PP_ERROR_BADARGUMENT;
    int32_t buffers = kDefaultBuffers;
    int32_t duration = kDefaultDurationMs;
    for (const int32_t* at = attributes; *at != PP_MEDIASTREAMAUDIOTRACK_ATTRIB_NONE; at += 2) {
      int32_t value = at[1];
      switch (at[0]) {
        case PP_MEDIASTREAMAUDIOTRACK_ATTRIB_BUFFERS:
          if (value < 1) return PP_ERROR_BADARGUMENT;
          buffers = std::min(value, kMaxBuffers);
          break;
        case PP_MEDIASTREAMAUDIOTRACK_ATTRIB_DURATION:
          if (value < kMinDurationMs || value > kMaxDurationMs) return PP_ERROR_BADARGUMENT;
          duration = value;
          break;
        case PP_MEDIASTREAMAUDIOTRACK_ATTRIB_SAMPLE_RATE:
        case PP_MEDIASTREAMAUDIOTRACK_ATTRIB_SAMPLE_SIZE:
        case PP_MEDIASTREAMAUDIOTRACK_ATTRIB_CHANNELS:
          // The source decides these.
          return PP_ERROR_NOTSUPPORTED;
        default:
          return PP_ERROR_BADARGUMENT;
      }
    }
    set_capacity_locked(buffers);
    duration_ms_ = duration;
    return PP_OK;
  });
}

int32_t MediaStreamAudioTrackImpl::GetAttrib(PP_MediaStreamAudioTrack_Attrib attrib,
                                             int32_t* value) {
  if (!value) return PP_ERROR_BADARGUMENT;
  std::lock_guard<std::mutex> lock(mutex());
  switch (attrib) {
    case PP_MEDIASTREAMAUDIOTRACK_ATTRIB_BUFFERS:
      *value = static_cast<int32_t>(capacity_locked());
      return PP_OK;
    case PP_MEDIASTREAMAUDIOTRACK_ATTRIB_SAMPLE_RATE:
      *value = source_rate_;
      return PP_OK;
    case PP_MEDIASTREAMAUDIOTRACK_ATTRIB_SAMPLE_SIZE:
      *value = PP_AUDIOBUFFER_SAMPLESIZE_16_BITS;
      return PP_OK;
    case PP_MEDIASTREAMAUDIOTRACK_ATTRIB_CHANNELS:
      *value = static_cast<int32_t>(source_channels_);
      return PP_OK;
    case PP_MEDIASTREAMAUDIOTRACK_ATTRIB_DURATION:
      *value = duration_ms_;
      return PP_OK;
    default:
      return PP_ERROR_BADARGUMENT;
  }
}

void MediaStreamAudioTrackImpl::DeliverSamples(const int16_t* samples, uint32_t frames,
                                               PP_AudioBuffer_SampleRate rate, uint32_t channels,
                                               PP_TimeTicks timestamp) {
  if (!samples || !CarriesRate(rate) || channels == 0) return;
  std::lock_guard<std::mutex> assembly(assembly_mutex_);
  int32_t duration_ms;
  uint64_t generation;
  {
    std::lock_guard<std::mutex> lock(mutex());
    if (ended_locked()) return;
    source_rate_ = rate;
    source_channels_ = channels;
    duration_ms = duration_ms_;
    generation = generation_locked();
  }
  if (partial_frames_ > 0) {
    double expected = partial_start_ + static_cast<double>(partial_frames_) / partial_rate_;
    if (generation != partial_generation_ || rate != partial_rate_ ||
        channels != partial_channels_ || std::fabs(timestamp - expected) > kGapSeconds) {
      partial_frames_ = 0;
    }
  }
  uint32_t used = 0;
  while (used < frames) {
    if (partial_frames_ == 0) {
      partial_start_ = timestamp + static_cast<double>(used) / rate;
      partial_rate_ = rate;
      partial_channels_ = channels;
      partial_generation_ = generation;
      buffer_frames_ = static_cast<uint32_t>(static_cast<int64_t>(rate) * duration_ms / 1000);
      partial_.assign(static_cast<size_t>(buffer_frames_) * channels, 0);
    }
    uint32_t take = std::min(frames - used, buffer_frames_ - partial_frames_);
    memcpy(partial_.data() + static_cast<size_t>(partial_frames_) * channels,
           samples + static_cast<size_t>(used) * channels,
           static_cast<size_t>(take) * channels * sizeof(int16_t));
    partial_frames_ += take;
    used += take;
    if (partial_frames_ < buffer_frames_) break;
    partial_frames_ = 0;
    uint64_t reserved_generation;
    if (!Reserve(&reserved_generation)) continue;  // dropped: every buffer is in use
    auto buffer = std::make_shared<AudioBufferImpl>(rate, channels, buffer_frames_);
    buffer->set_timestamp(partial_start_);
    memcpy(buffer->data(), partial_.data(), partial_.size() * sizeof(int16_t));
    // A Configure since the buffer was begun makes it stale: Offer drops it.
    Offer(reserved_generation == partial_generation_ ? buffer : nullptr, reserved_generation);
  }
}

}  // namespace platform
}  // namespace pp
