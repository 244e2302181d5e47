#ifndef PPHOST_TONE_AUDIO_SOURCE_H_
#define PPHOST_TONE_AUDIO_SOURCE_H_

#include <cstdint>
#include <vector>

#include "media_source.h"

namespace pphost {

// A synthetic microphone delivering 10 ms of sound at a time: a steady
// sine of |frequency| Hz, or (with |beeps|) silence with a 1 kHz beep of
// 50 ms starting on every whole second of capture time, on the clock that
// times the video sources' flashes.
class ToneAudioSource : public MediaSource {
 public:
  static constexpr int kBeepFrequency = 1000;
  static constexpr int kBeepMs = 50;
  static constexpr int16_t kAmplitude = 16384;

  ToneAudioSource(double frequency, int rate, int channels, bool beeps, int64_t start_delay_ms,
                  std::vector<SourceChange> changes);
  ~ToneAudioSource() override;

 private:
  PP_TimeTicks Produce(PP_TimeTicks now, bool silent) override;
  void Restart(PP_TimeTicks now) override;
  void Reformat(int rate, int channels) override;

  PP_TimeTicks SampleTime(int64_t position) const;
  int64_t ChunkSamples() const { return rate_ / 100; }

  const double frequency_;
  const bool beeps_;
  int rate_;
  int channels_;
  int64_t position_ = 0;  // samples per channel made since the clock's base
  int64_t base_position_ = 0;
  PP_TimeTicks base_time_ = 0;
  std::vector<int16_t> chunk_;
};

}  // namespace pphost

#endif  // PPHOST_TONE_AUDIO_SOURCE_H_
