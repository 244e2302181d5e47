#ifndef PPHOST_FILE_MEDIA_SOURCE_H_
#define PPHOST_FILE_MEDIA_SOURCE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "av_holders.h"
#include "media_source.h"

struct SwrContext;
struct SwsContext;

namespace pphost {

// Plays the first video or audio stream of a media file into a track, at
// the file's own pace (its timestamps), optionally from the start again
// when it ends; otherwise the track ends with the file. Video goes out in
// its own size unless resized; audio as 16-bit samples at the file's rate
// when a track can carry it (else 48000 Hz), with one or two channels.
class FileMediaSource : public MediaSource {
 public:
  // Plays the video (|video|) or the audio stream. Null with *error when
  // the file has no such stream or it cannot be decoded.
  static std::unique_ptr<FileMediaSource> Open(bool video, const std::string& path, bool loop,
                                               int64_t start_delay_ms,
                                               std::vector<SourceChange> changes,
                                               std::string* error);
  ~FileMediaSource() override;

 private:
  FileMediaSource(bool video, bool loop, int64_t start_delay_ms, std::vector<SourceChange> changes);

  bool OpenInput(const std::string& path, std::string* error);
  bool OpenDecoder(std::string* error);

  PP_TimeTicks Produce(PP_TimeTicks now, bool silent) override;
  void Restart(PP_TimeTicks now) override;
  void Resize(int width, int height) override;
  void Reformat(int rate, int channels) override;

  // The next decoded frame into frame_; false at the end of the file
  // (after looping, when asked to).
  bool DecodeNext();
  bool Rewind();
  void DeliverVideo(PP_TimeTicks time);
  void DeliverAudio();

  const bool video_;
  const bool loop_;

  kelmora::InputContextPtr input_;
  kelmora::CodecContextPtr decoder_;
  kelmora::PacketPtr packet_;
  kelmora::FramePtr frame_;
  int stream_ = -1;
  bool have_frame_ = false;  // frame_ holds the next frame to deliver
  bool finished_ = false;
  bool draining_ = false;  // the decoder was told the input ended

  // Media time (seconds) to capture time: capture = base + media + loop
  // offset.
  PP_TimeTicks play_base_ = 0;
  double loop_offset_ = 0;
  double media_end_ = 0;    // end of the latest frame, this pass
  double media_clock_ = 0;  // media time reached, with loop offsets

  // Video.
  int width_ = 0;  // 0: the file's own
  int height_ = 0;
  SwsContext* scaler_ = nullptr;
  std::vector<uint8_t> picture_;

  // Audio.
  int out_rate_ = 0;
  int out_channels_ = 0;
  SwrContext* resampler_ = nullptr;
  PP_TimeTicks audio_time_ = 0;  // capture time of the next sample
  std::vector<int16_t> samples_;
};

}  // namespace pphost

#endif  // PPHOST_FILE_MEDIA_SOURCE_H_
