#include "tone_audio_source.h"

#include <cmath>

namespace pphost {

namespace {

// Sound more than this late is skipped rather than delivered in a burst.
constexpr double kMaxLateSeconds = 0.2;

}  // namespace

ToneAudioSource::ToneAudioSource(double frequency, int rate, int channels, bool beeps,
                                 int64_t start_delay_ms, std::vector<SourceChange> changes)
    : MediaSource(beeps ? "asrc:sync" : "asrc:tone", start_delay_ms, std::move(changes)),
      frequency_(frequency),
      beeps_(beeps),
      rate_(rate),
      channels_(channels) {}

ToneAudioSource::~ToneAudioSource() { Stop(); }

PP_TimeTicks ToneAudioSource::SampleTime(int64_t position) const {
  return base_time_ + static_cast<double>(position - base_position_) / rate_;
}

void ToneAudioSource::Restart(PP_TimeTicks now) {
  base_time_ = now;
  base_position_ = position_;
}

void ToneAudioSource::Reformat(int rate, int channels) {
  // The new format goes on from where the sound is.
  base_time_ = SampleTime(position_);
  if (rate > 0) rate_ = rate;
  if (channels > 0) channels_ = channels;
  position_ = base_position_ = 0;
}

PP_TimeTicks ToneAudioSource::Produce(PP_TimeTicks now, bool silent) {
  const int64_t chunk = ChunkSamples();
  if (now - SampleTime(position_) > kMaxLateSeconds) {
    position_ = base_position_ + static_cast<int64_t>((now - base_time_) * rate_) - chunk;
  }
  while (SampleTime(position_ + chunk) <= now) {
    PP_TimeTicks start = SampleTime(position_);
    if (!silent) {
      chunk_.resize(static_cast<size_t>(chunk) * channels_);
      for (int64_t i = 0; i < chunk; ++i) {
        double value = 0;
        if (beeps_) {
          double time = SampleTime(position_ + i);
          double into_second = time - std::floor(time);
          if (into_second < kBeepMs / 1000.0)
            value = std::sin(2 * M_PI * kBeepFrequency * into_second);
        } else {
          value = std::sin(2 * M_PI * frequency_ * static_cast<double>(position_ + i) / rate_);
        }
        int16_t sample = static_cast<int16_t>(std::lround(value * kAmplitude));
        for (int c = 0; c < channels_; ++c) chunk_[static_cast<size_t>(i) * channels_ + c] = sample;
      }
      audio_tracks().ForEach([&](pp::platform::MediaStreamAudioTrackImpl& track) {
        track.DeliverSamples(chunk_.data(), static_cast<uint32_t>(chunk),
                             static_cast<PP_AudioBuffer_SampleRate>(rate_),
                             static_cast<uint32_t>(channels_), start);
      });
    }
    position_ += chunk;
  }
  return SampleTime(position_ + chunk);
}

}  // namespace pphost
