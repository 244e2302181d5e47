#ifndef KELMORA_TESTS_SRC_MEDIA_TEST_SUPPORT_H_
#define KELMORA_TESTS_SRC_MEDIA_TEST_SUPPORT_H_

// Synthetic frames for the writers and a full decode of what they wrote.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/crc.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
}

#include "av_holders.h"
#include "video_writer.h"

namespace kelmora {
namespace testing_support {

// A moving pattern, different in every frame, so that encoders see motion.
inline FramePtr MakeVideoFrame(int width, int height, int index, int64_t pts) {
  FramePtr frame(av_frame_alloc());
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = width;
  frame->height = height;
  if (av_frame_get_buffer(frame.get(), 0) < 0) return nullptr;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      frame->data[0][y * frame->linesize[0] + x] =
          static_cast<uint8_t>(x + y + index * 3);
    }
  }
  // Odd sizes have a rounded-up chroma plane.
  for (int y = 0; y < (height + 1) / 2; ++y) {
    for (int x = 0; x < (width + 1) / 2; ++x) {
      frame->data[1][y * frame->linesize[1] + x] =
          static_cast<uint8_t>(128 + x - index);
      frame->data[2][y * frame->linesize[2] + x] =
          static_cast<uint8_t>(64 + y + index);
    }
  }
  frame->pts = pts;
  return frame;
}

// A stereo tone; `first_sample` continues the wave across frames.
inline FramePtr MakeAudioFrame(AVSampleFormat format, int rate, int samples,
                               int64_t first_sample) {
  FramePtr frame(av_frame_alloc());
  frame->format = format;
  frame->sample_rate = rate;
  frame->nb_samples = samples;
  av_channel_layout_from_mask(&frame->ch_layout, AV_CH_LAYOUT_STEREO);
  if (av_frame_get_buffer(frame.get(), 0) < 0) return nullptr;
  for (int i = 0; i < samples; ++i) {
    double t = static_cast<double>(first_sample + i) / rate;
    double left = 0.4 * sin(2 * M_PI * 440 * t);
    double right = 0.4 * sin(2 * M_PI * 660 * t);
    if (format == AV_SAMPLE_FMT_S16) {
      int16_t* data = reinterpret_cast<int16_t*>(frame->data[0]);
      data[2 * i] = static_cast<int16_t>(left * 32767);
      data[2 * i + 1] = static_cast<int16_t>(right * 32767);
    } else if (format == AV_SAMPLE_FMT_FLTP) {
      reinterpret_cast<float*>(frame->data[0])[i] = static_cast<float>(left);
      reinterpret_cast<float*>(frame->data[1])[i] = static_cast<float>(right);
    }
  }
  frame->pts = first_sample;
  return frame;
}

// CRC of a YUV 4:2:0 picture's visible bytes, whatever its strides.
inline uint32_t PictureCrc(const AVFrame* frame) {
  const AVCRC* table = av_crc_get_table(AV_CRC_32_IEEE);
  uint32_t crc = 0;
  for (int plane = 0; plane < 3; ++plane) {
    int w = plane ? frame->width / 2 : frame->width;
    int h = plane ? frame->height / 2 : frame->height;
    for (int y = 0; y < h; ++y) {
      crc = av_crc(table, crc, frame->data[plane] + y * frame->linesize[plane],
                   w);
    }
  }
  return crc;
}

struct StreamInfo {
  AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
  AVCodecID codec_id = AV_CODEC_ID_NONE;
  int width = 0;
  int height = 0;
  int sample_rate = 0;
  int channels = 0;
  AVRational time_base{0, 1};
  int packets = 0;
  int decoded_frames = 0;
  int64_t decoded_samples = 0;
  bool decoder_opened = false;
  int decode_errors = 0;
  std::vector<int64_t> packet_pts;  // stream time base, in file order
  std::vector<int64_t> packet_dts;
  std::vector<int64_t> key_pts_ms;  // key packets, in milliseconds
  std::vector<uint32_t> picture_crcs;  // decoded pictures, in output order
  int64_t last_end_ms = 0;  // largest pts + duration seen, in milliseconds
  // Where the decoded sound ends, as a player hears it (what the encoder
  // padded a last frame with is dropped by the decoder), in milliseconds.
  double decoded_audio_end_ms = 0;
};

struct FileInfo {
  bool opened = false;
  std::string format_name;
  int64_t duration_ms = 0;
  std::vector<StreamInfo> streams;

  const StreamInfo* Find(AVMediaType type) const {
    for (const StreamInfo& stream : streams) {
      if (stream.type == type) return &stream;
    }
    return nullptr;
  }
};

// Sees every decoded frame, with its stream, before the frame is released.
using FrameVisitor = std::function<void(const StreamInfo&, const AVFrame*)>;

// Opens the file and decodes every packet of every stream to the end.
inline FileInfo DecodeFile(const std::string& path,
                           const FrameVisitor& visit = nullptr) {
  FileInfo info;
  AVFormatContext* format = nullptr;
  if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) {
    return info;
  }
  InputContextPtr format_holder(format);
  if (avformat_find_stream_info(format, nullptr) < 0) return info;
  info.opened = true;
  info.format_name = format->iformat->name;
  info.duration_ms = format->duration == AV_NOPTS_VALUE
                         ? -1
                         : av_rescale(format->duration, 1000, AV_TIME_BASE);

  std::vector<CodecContextPtr> decoders;
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    AVStream* stream = format->streams[i];
    StreamInfo s;
    s.type = stream->codecpar->codec_type;
    s.codec_id = stream->codecpar->codec_id;
    s.width = stream->codecpar->width;
    s.height = stream->codecpar->height;
    s.sample_rate = stream->codecpar->sample_rate;
    s.channels = stream->codecpar->ch_layout.nb_channels;
    s.time_base = stream->time_base;
    info.streams.push_back(s);
    const AVCodec* codec = avcodec_find_decoder(s.codec_id);
    AVCodecContext* context = codec ? avcodec_alloc_context3(codec) : nullptr;
    // With the packets' time base the decoder moves a frame's time past
    // the samples it drops (an encoder's priming), as players do.
    if (context) context->pkt_timebase = stream->time_base;
    if (context &&
        (avcodec_parameters_to_context(context, stream->codecpar) < 0 ||
         avcodec_open2(context, codec, nullptr) < 0)) {
      avcodec_free_context(&context);
    }
    info.streams.back().decoder_opened = context != nullptr;
    decoders.emplace_back(context);
  }

  PacketPtr packet_holder(av_packet_alloc());
  FramePtr frame_holder(av_frame_alloc());
  AVPacket* packet = packet_holder.get();
  AVFrame* frame = frame_holder.get();
  auto drain = [&](int index) {
    StreamInfo& s = info.streams[index];
    for (;;) {
      int result = avcodec_receive_frame(decoders[index].get(), frame);
      if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) break;
      if (result < 0) {
        ++s.decode_errors;
        break;
      }
      ++s.decoded_frames;
      s.decoded_samples += frame->nb_samples;
      if (s.type == AVMEDIA_TYPE_AUDIO && frame->sample_rate > 0 &&
          frame->best_effort_timestamp != AV_NOPTS_VALUE) {
        const double end = frame->best_effort_timestamp * av_q2d(s.time_base) * 1000 +
                           frame->nb_samples * 1000.0 / frame->sample_rate;
        s.decoded_audio_end_ms = std::max(s.decoded_audio_end_ms, end);
      }
      if (s.type == AVMEDIA_TYPE_VIDEO && frame->format == AV_PIX_FMT_YUV420P) {
        s.picture_crcs.push_back(PictureCrc(frame));
      }
      if (visit) visit(s, frame);
      av_frame_unref(frame);
    }
  };
  while (av_read_frame(format, packet) >= 0) {
    int index = packet->stream_index;
    StreamInfo& s = info.streams[index];
    ++s.packets;
    s.packet_pts.push_back(packet->pts);
    s.packet_dts.push_back(packet->dts);
    int64_t pts_ms = av_rescale_q(packet->pts, s.time_base, AVRational{1, 1000});
    if (packet->flags & AV_PKT_FLAG_KEY) s.key_pts_ms.push_back(pts_ms);
    int64_t end_ms = av_rescale_q(packet->pts + packet->duration, s.time_base,
                                  AVRational{1, 1000});
    if (end_ms > s.last_end_ms) s.last_end_ms = end_ms;
    if (decoders[index]) {
      if (avcodec_send_packet(decoders[index].get(), packet) < 0) {
        ++s.decode_errors;
      }
      drain(index);
    }
    av_packet_unref(packet);
  }
  for (unsigned i = 0; i < decoders.size(); ++i) {
    if (!decoders[i]) continue;
    avcodec_send_packet(decoders[i].get(), nullptr);
    drain(i);
  }
  return info;
}

// Library log lines may come first on standard error.
inline bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() &&
         text.compare(text.size() - end.size(), end.size(), end) == 0;
}

struct Written {
  int video_frames = 0;
  int64_t audio_samples = 0;
};

// Feeds `seconds` of video at `fps` and, when the writer has audio, audio
// in its frame size, always writing the stream that lags, as the graph does.
inline Written WriteSynthetic(VideoWriter* writer, int seconds, int fps) {
  Written written;
  const int total_frames = seconds * fps;
  const int64_t total_samples =
      static_cast<int64_t>(seconds) * writer->audio_sample_rate();
  for (;;) {
    bool video_left = written.video_frames < total_frames;
    bool audio_left =
        writer->IsAudioEnabled() && written.audio_samples < total_samples;
    if (!video_left && !audio_left) break;
    int64_t video_ms = written.video_frames * 1000LL / fps;
    int64_t audio_ms =
        writer->IsAudioEnabled()
            ? written.audio_samples * 1000 / writer->audio_sample_rate()
            : 0;
    if (audio_left && (!video_left || audio_ms <= video_ms)) {
      int samples = writer->audio_frame_size();
      auto frame = MakeAudioFrame(writer->sample_format(),
                                  writer->audio_sample_rate(), samples,
                                  written.audio_samples);
      EXPECT_EQ(writer->WriteAudioFrame(frame.get()), 0);
      written.audio_samples += samples;
    } else {
      auto frame = MakeVideoFrame(writer->width(), writer->height(),
                                  written.video_frames, video_ms);
      EXPECT_EQ(writer->WriteVideoFrame(frame.get()), 0);
      ++written.video_frames;
    }
  }
  return written;
}

// A writer thread factor that gives its encoder one thread on this
// machine: tests that do not measure threading should not pay for idle
// encoder threads.
inline float OneEncoderThread() {
  return 0.5f / static_cast<float>(sysconf(_SC_NPROCESSORS_ONLN));
}

// The build tree's directory for test files, made on first use.
inline std::string TestOutputDir() {
  std::string dir = std::string(KELMORA_BUILD_DIR) + "/test_output";
  mkdir(dir.c_str(), 0755);
  return dir;
}

// A file name in that directory, no file there yet.
inline std::string TempPath(const std::string& name) {
  std::string path =
      TestOutputDir() + "/" + std::to_string(getpid()) + "_" + name;
  unlink(path.c_str());
  return path;
}

// A whole file as text; empty when it cannot be read.
inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A fresh directory beside TempPath's files, removed with its contents.
class TempDir {
 public:
  TempDir() {
    std::string pattern = TestOutputDir() + "/edit-XXXXXX";
    if (mkdtemp(&pattern[0])) path_ = pattern;
  }
  ~TempDir() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace testing_support
}  // namespace kelmora

#endif  // KELMORA_TESTS_SRC_MEDIA_TEST_SUPPORT_H_
