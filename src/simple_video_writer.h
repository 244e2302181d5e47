#ifndef KELMORA_SIMPLE_VIDEO_WRITER_H_
#define KELMORA_SIMPLE_VIDEO_WRITER_H_

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "av_holders.h"
#include "encoder_context.h"
#include "program_encoder.h"
#include "video_writer.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace kelmora {

// Encodes video and audio frames and muxes the packets, interleaved, into
// one file. Without a chosen video encoder it takes VP8 from the browser's
// encoder where the default rule allows it, else from "libvpx"; audio is
// Opus unless another encoder is set. Worker thread only: the browser
// encoders block it until the main thread has served them.
class SimpleVideoWriter : public VideoWriter {
 public:
  // Whatever is still open or allocated is freed at destruction; a file
  // written beside its name and not finished is removed.
  explicit SimpleVideoWriter(const std::string& filename);
  ~SimpleVideoWriter() override;

  // Before Init. False, keeping the previous choice, for an unknown name.
  bool SetVideoCodec(const std::string& name);
  bool SetAudioCodec(const std::string& name);

  int Init() override;
  int Open() override;
  int WriteVideoFrame(AVFrame* frame) override;
  int Close() override;
  void SetThreadFactor(float factor) override { thread_factor_ = factor; }
  std::vector<int> SupportedSampleRates() override;
  AVPixelFormat pixel_format() override { return pixel_format_; }
  AVRational video_time_base() override { return video_time_base_; }
  bool IsAudioEnabled() override { return audio_sample_rate_ > 0; }
  int WriteAudioFrame(AVFrame* frame) override;
  int64_t AudioPosition() override;
  int64_t VideoPosition() override;
  // The video encoder has given a packet.
  bool HasVideoPackets() const { return first_video_pts_ != AV_NOPTS_VALUE; }
  AVSampleFormat sample_format() override;
  int audio_frame_size() override { return audio_frame_size_; }
  int64_t channel_layout() override { return channel_layout_; }
  int audio_sample_rate() override { return audio_sample_rate_; }
  AVRational audio_time_base() override {
    return AVRational{1, audio_sample_rate_};
  }

  // Encoder threads for a share of the online processors, at least one
  // for any positive share.
  static int ThreadCount(long processors, float factor);

  // Container name; empty lets the file name decide. Set before Init.
  std::string format_name_;
  // Every packet goes to the file at once, so that a failing write (a full
  // disk) shows at the packet that makes it, not some packets later.
  bool flush_packets_ = true;
  // Where the file is written. Beside its name (the name with ".part"),
  // taking the name only once Close has finished it, so that a refused,
  // failed or abandoned output leaves an earlier file of that name as it
  // was: an edit's output. Or in place, so that what was written up to a
  // failure or a crash is there under the name: a recording's. In place,
  // the file is opened only once the muxer has accepted the streams in a
  // trial header, and the container is written in pieces that each decode
  // (WebM clusters and MP4 fragments of about a second).
  bool write_in_place_ = false;
  // Where the output ends, in the video time base, when the owner knows it
  // (an edit's input end); AV_NOPTS_VALUE when not. The last picture is
  // shown until the audio's end, or without audio until then.
  int64_t end_time_ = AV_NOPTS_VALUE;
  // Called with the code of every write to the file that fails (header,
  // packet, trailer, close), on the thread that writes.
  std::function<void(int)> on_write_failure_;

 private:

  int FindCodecs();
  AVStream* AddStream(const EncoderRef& codec,
                      std::unique_ptr<EncoderContext>* context);
  int ConfigureVideoCodec();
  int ConfigureAudioCodec();
  int OpenVideo();
  int OpenAudio();
  int OpenOutput();
  // The muxer's options for a file written in place.
  int SetInPlaceOptions(AVFormatContext* context);
  // Writes the header into a sink that keeps nothing, with the streams and
  // options of the real output: a muxer that refuses them does so before
  // the file is opened.
  int TryHeader();
  // A file written in place is checked against the real name only: a
  // read-only file of that name is refused, as opening it would be.
  int CheckReplaceable();
  // Renames the finished file onto its name.
  int PublishFile();
  void RemovePartialFile();
  // Reports a failed write to the file and returns |result|.
  int WriteFailed(int result);
  // What a failed write (reported by the write step itself) does to the
  // packets still coming out of an encoder.
  enum class WriteFailure {
    kGoOn,    // the rest is written; the first failure is the result
    kStop,    // the rest is left; the failure is the result
    kIgnore,  // the rest is written; the result stays 0
  };
  // Hands |frame| (null: end of stream) to |encoder| and writes every
  // packet that comes out through |write|. An encoder failure is reported
  // as |encode_error| and returned.
  int Encode(EncoderContext* encoder, const AVFrame* frame,
             const char* encode_error, int (SimpleVideoWriter::*write)(AVPacket*),
             WriteFailure on_write_failure);
  // av_interleaved_write_frame; with flush_packets_, failing also when the
  // I/O context has failed to write earlier data.
  int WriteInterleaved(AVPacket* packet);
  // Video packets are held back by one: a packet is shown until the next
  // one, so only the next one tells its duration.
  int WriteVideoPacket(AVPacket* packet);
  int WriteHeldVideoPacket();
  // The median of the recent gaps between video packets; 0 before any.
  int64_t TypicalVideoGap() const;
  // How long the last picture is shown, in the video stream's time base.
  int64_t LastVideoDuration() const;
  int WritePacket(AVPacket* packet);
  void FixDts(AVPacket* packet, int64_t* last_dts);
  int FlushAudio();
  int FlushVideo();
  void ReportMissingEncoder(AVCodecID id);
  void CloseEncoders();

  std::string filename_;
  // What is opened and written: filename_, or the name beside it.
  std::string written_name_;
  // The file at written_name_ exists and is not yet the finished output.
  bool partial_file_ = false;
  // Bytes at the file's start that reached it whole, pieces of the
  // container that decode.
  int64_t whole_size_ = 0;
  const AVOutputFormat* av_output_format_ = nullptr;
  // Only freed with the file still open when Close did not finish.
  OutputContextPtr format_context_;
  AVStream* av_audio_stream_ = nullptr;
  AVStream* av_video_stream_ = nullptr;
  EncoderRef av_audio_codec_;
  EncoderRef av_video_codec_;
  int audio_frame_size_ = 0;
  // Added to every audio packet's time, in the audio encoder's time base:
  // Matroska takes an Opus block's time as that of its first sound after
  // the encoder's priming, which a player drops again (the track's codec
  // delay), while the encoder stamps the priming itself.
  int64_t audio_priming_shift_ = 0;
  int64_t last_audio_dts_ = AV_NOPTS_VALUE;
  int64_t last_video_dts_ = AV_NOPTS_VALUE;
  // The last video packet, not yet handed to the muxer; empty when none.
  PacketPtr held_video_packet_;
  // The latest gaps between video packets, in the stream's time base.
  std::deque<int64_t> recent_video_gaps_;
  // Of the first video packet, in the stream's time base.
  int64_t first_video_pts_ = AV_NOPTS_VALUE;
  // End of the latest audio packet, in the audio stream's time base.
  int64_t audio_end_ = AV_NOPTS_VALUE;
  AVRational video_time_base_{1, 1000};
  AVPixelFormat pixel_format_ = AV_PIX_FMT_YUV420P;
  int64_t channel_layout_ = AV_CH_LAYOUT_STEREO;
  float thread_factor_ = 0.5f;
  // The output format's default codec ids, kept here because the
  // library's format description is read-only.
  AVCodecID default_video_codec_id_ = AV_CODEC_ID_NONE;
  AVCodecID default_audio_codec_id_ = AV_CODEC_ID_NONE;
  // The encoders opened on the streams; the library keeps none for them.
  std::unique_ptr<EncoderContext> video_context_;
  std::unique_ptr<EncoderContext> audio_context_;
  // Stream time bases as the muxer left them after the header; {0, 0}
  // while there is no such stream.
  AVRational video_stream_time_base_{0, 0};
  AVRational audio_stream_time_base_{0, 0};
};

}  // namespace kelmora

#endif  // KELMORA_SIMPLE_VIDEO_WRITER_H_
