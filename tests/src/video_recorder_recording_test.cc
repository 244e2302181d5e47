// Recordings made through a real VideoRecorder from synthetic I420 pictures
// and 16-bit samples, decoded back with libavformat and libavcodec.

#include "video_recorder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <Magick++.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "flash_beep_scene.h"
#include "media_test_support.h"
#include "raw_video_writer.h"
#include "utils.h"

namespace kelmora {
namespace {

constexpr int kFps = 30;
constexpr int kSampleRate = 48000;
constexpr double kPi = 3.14159265358979323846;

// ---------------------------------------------------------------------------
// Synthetic input.

struct Yuv {
  uint8_t y, u, v;
};
// BT.601 limited range.
constexpr Yuv kGrey{128, 128, 128};
constexpr Yuv kRed{81, 90, 240};
constexpr Yuv kBlue{41, 240, 110};
constexpr Yuv kGreen{145, 54, 34};

// A packed I420 picture.
struct Picture {
  Picture(int w, int h, Yuv fill) : width(w), height(h) {
    int cw = (w + 1) / 2, ch = (h + 1) / 2;
    data.resize(static_cast<size_t>(w) * h + 2 * cw * ch);
    Fill(0, 0, w, h, fill);
  }
  void Fill(int left, int top, int w, int h, Yuv c) {
    int cw = (width + 1) / 2, ch = (height + 1) / 2;
    uint8_t* u = data.data() + width * height;
    uint8_t* v = u + cw * ch;
    for (int y = top; y < top + h; ++y)
      for (int x = left; x < left + w; ++x) data[y * width + x] = c.y;
    for (int y = top / 2; y < (top + h + 1) / 2; ++y)
      for (int x = left / 2; x < (left + w + 1) / 2; ++x) {
        u[y * cw + x] = c.u;
        v[y * cw + x] = c.v;
      }
  }
  int width, height;
  std::vector<uint8_t> data;
};

// A sine tone cut into whole audio frames, interleaved stereo.
class Tone {
 public:
  Tone(double frequency, double amplitude)
      : frequency_(frequency), amplitude_(amplitude) {}
  std::vector<int16_t> Next(int samples, int channels) {
    std::vector<int16_t> out(static_cast<size_t>(samples) * channels);
    for (int i = 0; i < samples; ++i, ++n_) {
      double s = amplitude_ * sin(2 * kPi * frequency_ * n_ / kSampleRate);
      for (int c = 0; c < channels; ++c)
        out[i * channels + c] = static_cast<int16_t>(lrint(s * 32767));
    }
    return out;
  }
  int64_t written() const { return n_; }

 private:
  double frequency_, amplitude_;
  int64_t n_ = 0;
};

// ---------------------------------------------------------------------------
// Decoding what was written.

struct DecodedFrame {
  int64_t pts_ms;
  std::vector<uint8_t> y, u, v;  // tightly packed planes
};

struct Decoded {
  bool opened = false;
  int video_streams = 0;
  int audio_streams = 0;
  int width = 0;
  int height = 0;
  std::vector<DecodedFrame> frames;
  int sample_rate = 0;
  std::vector<float> audio;  // first channel

  double VideoSeconds() const {
    if (frames.size() < 2) return 0;
    return (frames.back().pts_ms - frames.front().pts_ms) / 1000.0 +
           1.0 / kFps;
  }
  double AudioSeconds() const {
    return sample_rate ? static_cast<double>(audio.size()) / sample_rate : 0;
  }
  // Mean of a plane over a box, in plane coordinates.
  double Mean(const DecodedFrame& f, int plane, int left, int top, int w,
              int h) const {
    const std::vector<uint8_t>& p = plane == 0 ? f.y : plane == 1 ? f.u : f.v;
    int pw = plane == 0 ? width : (width + 1) / 2;
    double sum = 0;
    for (int y = top; y < top + h; ++y)
      for (int x = left; x < left + w; ++x) sum += p[y * pw + x];
    return sum / (w * h);
  }
  // Whether a luma box (and its chroma) shows the colour, within `tolerance`.
  bool Shows(const DecodedFrame& f, int left, int top, int w, int h, Yuv c,
             double tolerance = 12) const {
    return fabs(Mean(f, 0, left, top, w, h) - c.y) < tolerance &&
           fabs(Mean(f, 1, left / 2, top / 2, w / 2, h / 2) - c.u) < tolerance &&
           fabs(Mean(f, 2, left / 2, top / 2, w / 2, h / 2) - c.v) < tolerance;
  }
  // Amplitude of one frequency over a stretch of the first channel.
  double Level(double frequency, double from_s, double seconds) const {
    size_t begin = static_cast<size_t>(from_s * sample_rate);
    size_t n = static_cast<size_t>(seconds * sample_rate);
    double re = 0, im = 0;
    for (size_t i = 0; i < n && begin + i < audio.size(); ++i) {
      double phase = 2 * kPi * frequency * i / sample_rate;
      re += audio[begin + i] * cos(phase);
      im += audio[begin + i] * sin(phase);
    }
    return 2 * sqrt(re * re + im * im) / n;
  }
};

void TakeVideo(const AVFrame* frame, AVRational time_base, Decoded* out) {
  EXPECT_EQ(frame->format, AV_PIX_FMT_YUV420P);
  DecodedFrame f;
  f.pts_ms = av_rescale_q(frame->best_effort_timestamp, time_base, {1, 1000});
  for (int plane = 0; plane < 3; ++plane) {
    int w = plane ? (frame->width + 1) / 2 : frame->width;
    int h = plane ? (frame->height + 1) / 2 : frame->height;
    std::vector<uint8_t>& dst = plane == 0 ? f.y : plane == 1 ? f.u : f.v;
    for (int y = 0; y < h; ++y) {
      const uint8_t* row = frame->data[plane] + y * frame->linesize[plane];
      dst.insert(dst.end(), row, row + w);
    }
  }
  out->frames.push_back(std::move(f));
}

void TakeAudio(const AVFrame* frame, Decoded* out) {
  const int channels = frame->ch_layout.nb_channels;
  for (int i = 0; i < frame->nb_samples; ++i) {
    float s = 0;
    switch (frame->format) {
      case AV_SAMPLE_FMT_FLTP:
        s = reinterpret_cast<const float*>(frame->data[0])[i];
        break;
      case AV_SAMPLE_FMT_FLT:
        s = reinterpret_cast<const float*>(frame->data[0])[i * channels];
        break;
      case AV_SAMPLE_FMT_S16P:
        s = reinterpret_cast<const int16_t*>(frame->data[0])[i] / 32768.0f;
        break;
      case AV_SAMPLE_FMT_S16:
        s = reinterpret_cast<const int16_t*>(frame->data[0])[i * channels] /
            32768.0f;
        break;
      default:
        ADD_FAILURE() << "unexpected sample format " << frame->format;
        return;
    }
    out->audio.push_back(s);
  }
}

Decoded Decode(const std::string& path) {
  Decoded out;
  testing_support::FileInfo info = testing_support::DecodeFile(
      path, [&out](const testing_support::StreamInfo& s, const AVFrame* frame) {
        if (s.type == AVMEDIA_TYPE_VIDEO) {
          TakeVideo(frame, s.time_base, &out);
        } else if (s.type == AVMEDIA_TYPE_AUDIO) {
          TakeAudio(frame, &out);
        }
      });
  out.opened = info.opened;
  for (const testing_support::StreamInfo& s : info.streams) {
    if (s.type == AVMEDIA_TYPE_VIDEO) {
      ++out.video_streams;
      out.width = s.width;
      out.height = s.height;
    } else if (s.type == AVMEDIA_TYPE_AUDIO) {
      ++out.audio_streams;
      out.sample_rate = s.sample_rate;
    }
  }
  return out;
}

// ---------------------------------------------------------------------------
// Driving a recorder.

// Feeds `frames` pictures at 30 per second, the camera picture with each
// one, and the audio that the tones have up to each picture's time.
// Returns false at the first refusal.
bool Feed(VideoRecorder& recorder, int frames, Picture& main, Picture* cam,
          Tone* tone1, Tone* tone2) {
  for (int i = 0; i < frames; ++i) {
    int64_t pts = i * 1000 / kFps;
    if (cam && recorder.AddCamFrame(cam->data.data(), pts) != 0) return false;
    if (recorder.AddFrame(main.data.data(), pts) != 0) return false;
    const int64_t due = (pts + 1000 / kFps) * kSampleRate / 1000;
    if (tone1) {
      int size = recorder.audio_frame_size();
      while (tone1->written() + size <= due) {
        std::vector<int16_t> s = tone1->Next(size, recorder.channels_);
        if (recorder.AddAudio(s.data(), size) != 0) return false;
      }
    }
    if (tone2) {
      int size = recorder.audio2_frame_size();
      while (tone2->written() + size <= due) {
        std::vector<int16_t> s = tone2->Next(size, recorder.channels2_);
        if (recorder.AddAudio2(s.data(), size) != 0) return false;
      }
    }
    if (recorder.FilterAvailable() < 0) return false;
  }
  return true;
}

// The four corners of a cropped 160 x 120 output, all of one colour.
void ExpectCornersShow(const Decoded& d, Yuv colour) {
  ASSERT_EQ(d.width, 160);
  ASSERT_EQ(d.height, 120);
  ASSERT_FALSE(d.frames.empty());
  const DecodedFrame& f = d.frames[d.frames.size() / 2];
  EXPECT_TRUE(d.Shows(f, 2, 2, 16, 16, colour));
  EXPECT_TRUE(d.Shows(f, 142, 2, 16, 16, colour));
  EXPECT_TRUE(d.Shows(f, 2, 102, 16, 16, colour));
  EXPECT_TRUE(d.Shows(f, 142, 102, 16, 16, colour));
}

struct Inputs {
  int frames = 30;
  Picture* cam = nullptr;
  Tone* tone1 = nullptr;
  Tone* tone2 = nullptr;
};

class RecordingTest : public testing::Test {
 protected:
  void SetUp() override { InitializeMagickOnce(); }

  std::string Path(const std::string& name) {
    return testing_support::TempPath("recorder_" + name);
  }

  // A 320 x 240 recorder with a 80 x 60 camera and both audio tracks at
  // 48000 samples per second, encoding with one thread.
  std::unique_ptr<VideoRecorder> NewCamRecorder(const std::string& name) {
    auto recorder = NewRecorder(320, 240, name);
    recorder->cam_enabled_ = true;
    recorder->cam_size_ = Size{80, 60};
    recorder->audio_enabled_ = true;
    recorder->sample_rate_ = kSampleRate;
    recorder->audio2_enabled_ = true;
    recorder->sample_rate2_ = kSampleRate;
    recorder->thread_factor_ = 0.01f;
    return recorder;
  }

  // A recorder for a main track of the given size writing into a fresh file.
  std::unique_ptr<VideoRecorder> NewRecorder(int width, int height,
                                             const std::string& name) {
    std::unique_ptr<VideoRecorder> recorder(new VideoRecorder());
    recorder->main_size_ = Size{width, height};
    recorder->filename_ = Path(name);
    recorder->thread_factor_ = testing_support::OneEncoderThread();
    return recorder;
  }

  // Init, feed, Close; then the decoded file. Standard error of the whole
  // run goes to `errors_`.
  Decoded Record(VideoRecorder& recorder, Picture& main, const Inputs& in) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    bool init = recorder.Init();
    bool fed = init && Feed(recorder, in.frames, main, in.cam, in.tone1, in.tone2);
    int closed = init ? recorder.Close() : -1;
    testing::internal::GetCapturedStdout();
    errors_ = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(init) << errors_;
    EXPECT_TRUE(fed) << errors_;
    EXPECT_EQ(closed, 0) << errors_;
    EXPECT_EQ(errors_.find("filtering not done on close"), std::string::npos)
        << errors_;
    Decoded decoded = Decode(recorder.filename_);
    EXPECT_TRUE(decoded.opened);
    return decoded;
  }

  // A solid, opaque logo image file.
  std::string MakeLogo(int width, int height, uint8_t r, uint8_t g, uint8_t b) {
    std::vector<uint8_t> rgba;
    for (int i = 0; i < width * height; ++i) {
      rgba.insert(rgba.end(), {r, g, b, 255});
    }
    Magick::Image image(width, height, "RGBA", Magick::CharPixel, rgba.data());
    std::string path = Path("logo_" + std::to_string(width) + ".png");
    image.write(path);
    return path;
  }

  std::string errors_;
};

TEST_F(RecordingTest, VideoOnlyHasNoAudioStream) {
  auto recorder = NewRecorder(320, 240, "plain.webm");
  Picture main(320, 240, kGrey);
  Decoded d = Record(*recorder, main, Inputs{});
  EXPECT_EQ(d.video_streams, 1);
  EXPECT_EQ(d.audio_streams, 0);
  EXPECT_EQ(d.width, 320);
  EXPECT_EQ(d.height, 240);
  ASSERT_GE(d.frames.size(), 29u);
  EXPECT_LE(d.frames.size(), 30u);
  EXPECT_TRUE(d.Shows(d.frames[15], 0, 0, 320, 240, kGrey));
}

TEST_F(RecordingTest, CropKeepsTheChosenRectangle) {
  auto recorder = NewRecorder(320, 240, "crop.webm");
  recorder->crop_ = Rect{40, 80, 160, 120};
  Picture main(320, 240, kGrey);
  main.Fill(80, 40, 160, 120, kRed);
  // Every corner of the output lies inside the red rectangle.
  ExpectCornersShow(Record(*recorder, main, Inputs{}), kRed);
}

TEST_F(RecordingTest, CropGivenForTheOriginalSizeIsScaledFirst) {
  // The page chose the crop on a 320 x 240 preview; the track delivers
  // 640 x 480.
  auto recorder = NewRecorder(640, 480, "crop_scaled.webm");
  recorder->crop_ = Rect{40, 80, 160, 120};
  recorder->original_main_size_ = Size{320, 240};
  Picture main(640, 480, kGrey);
  main.Fill(160, 80, 320, 240, kRed);
  ExpectCornersShow(Record(*recorder, main, Inputs{}), kRed);
}

TEST_F(RecordingTest, OddMainSizeLosesItsLastColumnAndRow) {
  auto recorder = NewRecorder(321, 241, "odd.webm");
  Picture main(321, 241, kGrey);
  main.Fill(0, 0, 32, 32, kBlue);
  Decoded d = Record(*recorder, main, Inputs{});
  ASSERT_EQ(d.width, 320);
  ASSERT_EQ(d.height, 240);
  ASSERT_FALSE(d.frames.empty());
  const DecodedFrame& f = d.frames[d.frames.size() / 2];
  EXPECT_TRUE(d.Shows(f, 4, 4, 24, 24, kBlue));
  EXPECT_TRUE(d.Shows(f, 280, 200, 32, 32, kGrey));
}

TEST_F(RecordingTest, CameraSitsInTheChosenCorner) {
  struct Corner {
    const char* name;
    int left, top;           // where the 80 x 60 camera picture must be
    int free_left, free_top;  // the opposite corner, main picture only
  } corners[] = {
      {"bottomRight", 240, 180, 0, 0},
      {"bottomLeft", 0, 180, 240, 0},
      {"topLeft", 0, 0, 240, 180},
      {"topRight", 240, 0, 0, 180},
  };
  for (const Corner& c : corners) {
    SCOPED_TRACE(c.name);
    auto recorder = NewRecorder(320, 240, std::string("cam_") + c.name + ".webm");
    recorder->cam_enabled_ = true;
    recorder->cam_size_ = Size{80, 60};
    recorder->cam_position_ = VideoRecorder::CamPositionFromString(c.name);
    Picture main(320, 240, kGrey);
    Picture cam(80, 60, kRed);
    Inputs in;
    in.frames = 15;
    in.cam = &cam;
    Decoded d = Record(*recorder, main, in);
    ASSERT_EQ(d.width, 320);
    ASSERT_FALSE(d.frames.empty());
    const DecodedFrame& f = d.frames[d.frames.size() / 2];
    EXPECT_TRUE(d.Shows(f, c.left + 16, c.top + 14, 48, 32, kRed));
    EXPECT_TRUE(d.Shows(f, c.free_left + 16, c.free_top + 14, 48, 32, kGrey));
  }
}

TEST_F(RecordingTest, CameraThatStartsLateLosesNoMainPicture) {
  auto recorder = NewRecorder(320, 240, "cam_late.webm");
  recorder->cam_enabled_ = true;
  recorder->cam_size_ = Size{80, 60};
  Picture main(320, 240, kGrey);
  Picture cam(80, 60, kRed);
  testing::internal::CaptureStdout();
  ASSERT_TRUE(recorder->Init());
  for (int i = 0; i < 30; ++i) {
    int64_t pts = i * 1000 / kFps;
    if (i >= 10) {
      ASSERT_EQ(recorder->AddCamFrame(cam.data.data(), pts), 0);
    }
    ASSERT_EQ(recorder->AddFrame(main.data.data(), pts), 0);
    ASSERT_GE(recorder->FilterAvailable(), 0);
  }
  EXPECT_EQ(recorder->Close(), 0);
  testing::internal::GetCapturedStdout();
  Decoded d = Decode(recorder->filename_);
  ASSERT_GE(d.frames.size(), 29u);
  EXPECT_TRUE(d.Shows(d.frames[5], 256, 194, 48, 32, kGrey));
  EXPECT_TRUE(d.Shows(d.frames[20], 256, 194, 48, 32, kRed));
}

TEST_F(RecordingTest, BrandingPictureInTheTopRightCorner) {
  auto recorder = NewRecorder(320, 240, "brand.webm");
  // Box 64 x 48: the 100 x 50 logo becomes 64 x 32.
  recorder->branding_filename_ = MakeLogo(100, 50, 0, 255, 0);
  Picture main(320, 240, kGrey);
  Decoded d = Record(*recorder, main, Inputs{});
  ASSERT_EQ(d.width, 320);
  ASSERT_GE(d.frames.size(), 29u);
  for (size_t i : {size_t{0}, d.frames.size() / 2, d.frames.size() - 1}) {
    SCOPED_TRACE(i);
    const DecodedFrame& f = d.frames[i];
    EXPECT_TRUE(d.Shows(f, 264, 4, 52, 24, kGreen));
    EXPECT_TRUE(d.Shows(f, 264, 40, 52, 24, kGrey));  // below the logo
    EXPECT_TRUE(d.Shows(f, 4, 4, 52, 24, kGrey));
  }
  EXPECT_EQ(errors_.find("failed"), std::string::npos) << errors_;
}

TEST_F(RecordingTest, StartDelayCutsBothStreams) {
  auto recorder = NewRecorder(320, 240, "delay.webm");
  recorder->audio_enabled_ = true;
  recorder->sample_rate_ = kSampleRate;
  recorder->start_delay_ = 1000;
  Picture main(320, 240, kGrey);
  Tone tone(1000, 0.25);
  Inputs in;
  in.frames = 90;  // 3 s
  in.tone1 = &tone;
  Decoded d = Record(*recorder, main, in);
  ASSERT_EQ(d.audio_streams, 1);
  EXPECT_NEAR(d.frames.size(), 60u, 1);
  EXPECT_NEAR(d.VideoSeconds(), 2.0, 0.05);
  EXPECT_NEAR(d.AudioSeconds(), 2.0, 0.1);
  EXPECT_LT(d.frames.front().pts_ms, 40);  // timestamps start again at 0
}

TEST_F(RecordingTest, StartDelayKeepsPictureAndSoundTogether) {
  // The screen stands still from 1.9 s to 2.567 s: the first picture after
  // the 2 s delay comes 567 ms after it, the sound does not.
  testing_support::FlashBeepScene scene(2567, {3000, 3500}, 4000);
  auto recorder = NewRecorder(96, 64, "delay_sync.webm");
  recorder->audio_enabled_ = true;
  recorder->sample_rate_ = scene.kSampleRate;
  recorder->channels_ = scene.kChannels;
  recorder->start_delay_ = 2000;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  bool init = recorder->Init();
  bool fed = init;
  int64_t samples = 0;
  for (int64_t ms : scene.frame_times()) {
    if (!fed) break;
    std::vector<uint8_t> picture = scene.Picture(96, 64, ms);
    fed = recorder->AddFrame(picture.data(), ms) == 0;
    const int size = recorder->audio_frame_size();
    const int64_t due = (ms + 33) * scene.kSampleRate / 1000;
    for (; fed && samples + size <= due; samples += size) {
      std::vector<int16_t> sound = scene.Samples(samples, size);
      fed = recorder->AddAudio(sound.data(), size) == 0;
    }
    fed = fed && recorder->FilterAvailable() >= 0;
  }
  int closed = init ? recorder->Close() : -1;
  testing::internal::GetCapturedStdout();
  errors_ = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(init && fed) << errors_;
  ASSERT_EQ(closed, 0) << errors_;

  testing_support::FlashBeepTimes times =
      testing_support::MeasureFlashesAndBeeps(recorder->filename_);
  ASSERT_EQ(times.flashes_ms.size(), 2u);
  ASSERT_EQ(times.beeps_ms.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_NEAR(times.flashes_ms[i], scene.flashes_ms()[i] - 2000, 10);
    EXPECT_NEAR(times.beeps_ms[i], times.flashes_ms[i], 20);
  }
}

TEST_F(RecordingTest, OneAudioTrackKeepsItsLevelAndLength) {
  // A mono track is spread over both output channels at -3 dB.
  for (int channels : {2, 1}) {
    SCOPED_TRACE(channels);
    auto recorder =
        NewRecorder(320, 240, "audio1_" + std::to_string(channels) + ".webm");
    recorder->audio_enabled_ = true;
    recorder->sample_rate_ = kSampleRate;
    recorder->channels_ = channels;
    Picture main(320, 240, kGrey);
    Tone tone(1000, 0.25);
    Inputs in;
    in.frames = 60;
    in.tone1 = &tone;
    Decoded d = Record(*recorder, main, in);
    ASSERT_EQ(d.audio_streams, 1);
    EXPECT_EQ(d.video_streams, 1);
    double expected = channels == 2 ? 0.25 : 0.25 * M_SQRT1_2;
    EXPECT_NEAR(d.Level(1000, 0.5, 1.0), expected, 0.025);
    EXPECT_NEAR(d.AudioSeconds(), d.VideoSeconds(), 0.1);
  }
}

TEST_F(RecordingTest, SecondTrackIsMixedWithItsGainAndEndsWithTheFile) {
  for (float gain : {0.5f, 1.0f}) {
    SCOPED_TRACE(gain);
    auto recorder = NewRecorder(320, 240, "audio2_" + std::to_string(gain) + ".webm");
    recorder->audio_enabled_ = true;
    recorder->sample_rate_ = kSampleRate;
    recorder->audio2_enabled_ = true;
    recorder->sample_rate2_ = kSampleRate;
    recorder->audio2_gain_ = gain;
    Picture main(320, 240, kGrey);
    Tone voice(1000, 0.4);
    Tone mic(3000, 0.4);
    Inputs in;
    in.frames = 60;
    in.tone1 = &voice;
    in.tone2 = &mic;
    Decoded d = Record(*recorder, main, in);
    ASSERT_EQ(d.audio_streams, 1);
    double first = d.Level(1000, 0.5, 1.0);
    double second = d.Level(3000, 0.5, 1.0);
    ASSERT_GT(first, 0.05);
    EXPECT_NEAR(second / first, gain, 0.05);
    // Ending the second input lets the mix end: no audio lost at the tail.
    EXPECT_NEAR(d.AudioSeconds(), d.VideoSeconds(), 0.1);
  }
}

TEST_F(RecordingTest, SecondTrackAloneWithItsGain) {
  auto recorder = NewRecorder(320, 240, "audio2_only.webm");
  recorder->audio2_enabled_ = true;
  recorder->sample_rate2_ = kSampleRate;
  recorder->audio2_gain_ = 0.5f;
  Picture main(320, 240, kGrey);
  Tone mic(1000, 0.4);
  Inputs in;
  in.frames = 60;
  in.tone2 = &mic;
  Decoded d = Record(*recorder, main, in);
  ASSERT_EQ(d.audio_streams, 1);
  EXPECT_NEAR(d.Level(1000, 0.5, 1.0), 0.2, 0.02);
  EXPECT_NEAR(d.AudioSeconds(), d.VideoSeconds(), 0.1);
}

// ---------------------------------------------------------------------------
// Refused set-ups: the recorder keeps what it made and frees it on deletion.

class RefusedInitTest : public RecordingTest {
 protected:
  // Init must fail; the recorder then refuses to be fed and is deleted.
  void ExpectRefused(std::unique_ptr<VideoRecorder> recorder) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(recorder->Init());
    Picture main(recorder->main_size_.width, recorder->main_size_.height, kGrey);
    EXPECT_LT(recorder->AddFrame(main.data.data(), 0), 0);
    // Also when the set-up failed before the camera or second-audio input
    // existed.
    if (recorder->cam_enabled_) {
      Picture cam(recorder->cam_size_.width, recorder->cam_size_.height, kRed);
      EXPECT_LT(recorder->AddCamFrame(cam.data.data(), 0), 0);
    }
    std::vector<int16_t> silence(1024 * 2);
    if (recorder->audio_enabled_) {
      EXPECT_LT(recorder->AddAudio(silence.data(), 1024), 0);
    }
    if (recorder->audio2_enabled_) {
      EXPECT_LT(recorder->AddAudio2(silence.data(), 1024), 0);
    }
    EXPECT_LT(recorder->FilterAvailable(), 0);
    EXPECT_EQ(recorder->Close(), -1);
    recorder.reset();
    testing::internal::GetCapturedStdout();
    errors_ = testing::internal::GetCapturedStderr();
  }
};

TEST_F(RefusedInitTest, UnknownEncoderName) {
  auto recorder = NewRecorder(320, 240, "codec.webm");
  recorder->video_codec_ = "no_such_encoder";
  std::string path = recorder->filename_;
  ExpectRefused(std::move(recorder));
  EXPECT_NE(access(path.c_str(), F_OK), 0);

  recorder = NewRecorder(320, 240, "audio_codec.webm");
  recorder->audio_codec_ = "no_such_audio_encoder";
  recorder->audio_enabled_ = true;
  recorder->sample_rate_ = kSampleRate;
  recorder->audio2_enabled_ = true;
  recorder->sample_rate2_ = kSampleRate;
  recorder->cam_enabled_ = true;
  recorder->cam_size_ = Size{80, 60};
  ExpectRefused(std::move(recorder));
}

TEST_F(RefusedInitTest, SixChannels) {
  auto recorder = NewRecorder(320, 240, "six.webm");
  recorder->audio_enabled_ = true;
  recorder->sample_rate_ = kSampleRate;
  recorder->channels_ = 6;
  ExpectRefused(std::move(recorder));
  EXPECT_NE(errors_.find("unsupported number of channels: 6\n"),
            std::string::npos)
      << errors_;

  recorder = NewRecorder(320, 240, "six2.webm");
  recorder->audio2_enabled_ = true;
  recorder->sample_rate2_ = kSampleRate;
  recorder->channels2_ = 6;
  ExpectRefused(std::move(recorder));
  EXPECT_NE(errors_.find("unsupported number of channels: 6\n"),
            std::string::npos);
}

TEST_F(RefusedInitTest, MissingBrandingFile) {
  auto recorder = NewRecorder(320, 240, "nobrand.webm");
  recorder->branding_filename_ = Path("missing_logo.png");
  recorder->cam_enabled_ = true;
  recorder->cam_size_ = Size{80, 60};
  ExpectRefused(std::move(recorder));
  EXPECT_EQ(errors_.find("failed to read image "), 0u) << errors_;
  EXPECT_NE(errors_.find("failed open branding writer\n"), std::string::npos)
      << errors_;
}

TEST_F(RefusedInitTest, GraphThatCannotBeConfiguredWithEveryInputRegistered) {
  // A crop outside the picture fails the graph's configuration after the
  // main, camera, second-audio and branding inputs are all registered.
  auto recorder = NewRecorder(320, 240, "badcrop.webm");
  recorder->crop_ = Rect{0, 0, 640, 480};
  recorder->cam_enabled_ = true;
  recorder->cam_size_ = Size{80, 60};
  recorder->audio_enabled_ = true;
  recorder->sample_rate_ = kSampleRate;
  recorder->audio2_enabled_ = true;
  recorder->sample_rate2_ = 44100;
  recorder->branding_filename_ = MakeLogo(40, 40, 255, 255, 255);
  ExpectRefused(std::move(recorder));
  EXPECT_NE(errors_.find("graph initialization failed\n"), std::string::npos)
      << errors_;
}

TEST_F(RecordingTest, DeletedWithoutCloseWhileRecording) {
  auto recorder = NewCamRecorder("abandoned.webm");
  Picture main(320, 240, kGrey);
  Picture cam(80, 60, kRed);
  Tone a(440, 0.2), b(880, 0.2);
  testing::internal::CaptureStdout();
  ASSERT_TRUE(recorder->Init());
  EXPECT_EQ(recorder->audio_frame_size(), 1024);
  EXPECT_EQ(recorder->audio2_frame_size(), 1024);
  EXPECT_TRUE(Feed(*recorder, 10, main, &cam, &a, &b));
  testing::internal::GetCapturedStdout();
  // Inputs go before the graph they push into (the sanitizer build checks).
  recorder.reset();
}

// ---------------------------------------------------------------------------
// Pictures lent instead of copied.

// Stands in for a track's two frame buffers: a picture taken from it returns
// when its last holder lets go, and is then scribbled over at once, as the
// browser refills it with the next frame. A graph that read a picture after
// letting go of it would record the scribble.
class TrackBuffers {
 public:
  TrackBuffers(size_t size, int count) {
    for (int i = 0; i < count; ++i) {
      free_.push_back(std::make_shared<std::vector<uint8_t>>(size));
    }
  }
  // Null when every buffer is still out: the track would have no frame to
  // deliver.
  SharedPicture Take(const Picture& content) {
    if (free_.empty()) return nullptr;
    std::shared_ptr<std::vector<uint8_t>> buffer = free_.back();
    free_.pop_back();
    *buffer = content.data;
    ++out_;
    return SharedPicture(buffer->data(), [this, buffer](const uint8_t*) {
      std::fill(buffer->begin(), buffer->end(), 0x5a);
      free_.push_back(buffer);
      --out_;
    });
  }
  int out() const { return out_; }

 private:
  std::vector<std::shared_ptr<std::vector<uint8_t>>> free_;
  int out_ = 0;
};

// The picture of frame `i`: a block that moves across a grey main picture,
// and a camera picture that changes colour every five frames.
Picture MainPicture(int i) {
  Picture p(320, 240, kGrey);
  p.Fill((i * 8) % 288, 40, 32, 32, kBlue);
  return p;
}
Picture CamPicture(int i) { return Picture(80, 60, (i / 5) % 2 ? kGreen : kRed); }

class LendingTest : public RecordingTest {
 protected:
  // Records `frames` pictures (with camera pictures when the recorder has a
  // camera), copied or lent the way the frame loop lends them: the last main
  // picture and the camera picture are held until the next one arrives.
  // Audio comes every `audio_every` frames, up to that frame's time.
  Decoded Run(VideoRecorder& recorder, bool lend, int frames,
              int audio_every = 1) {
    tracks_.emplace_back(new TrackBuffers(MainPicture(0).data.size(), 2));
    TrackBuffers& main_track = *tracks_.back();
    tracks_.emplace_back(new TrackBuffers(CamPicture(0).data.size(), 2));
    TrackBuffers& cam_track = *tracks_.back();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_TRUE(recorder.Init());
    Feed(recorder, lend, frames, audio_every, &main_track, &cam_track);
    // The frame loop has let go of its pictures; the overlay keeps the last
    // one until the recorder goes (ExpectAllReturned).
    const int closed = recorder.Close();
    testing::internal::GetCapturedStdout();
    errors_ = testing::internal::GetCapturedStderr();
    EXPECT_EQ(closed, 0) << errors_;
    EXPECT_LE(main_track.out(), 1);
    EXPECT_EQ(cam_track.out(), 0);
    Decoded decoded = Decode(recorder.filename_);
    EXPECT_TRUE(decoded.opened);
    return decoded;
  }

  void Feed(VideoRecorder& recorder, bool lend, int frames, int audio_every,
            TrackBuffers* main_track, TrackBuffers* cam_track) {
    Tone tone1(440, 0.2), tone2(1000, 0.2);
    SharedPicture last_main, cam_held;
    for (int i = 0; i < frames; ++i) {
      const int64_t pts = i * 1000 / kFps;
      Picture main = MainPicture(i);
      Picture cam = CamPicture(i);
      if (lend) {
        if (recorder.cam_enabled_) {
          SharedPicture next = cam_track->Take(cam);
          ASSERT_TRUE(next) << "camera buffers all held at frame " << i;
          cam_held = next;
          ASSERT_EQ(recorder.LendCamFrame(cam_held, pts), 0);
        }
        SharedPicture next = main_track->Take(main);
        ASSERT_TRUE(next) << "main buffers all held at frame " << i;
        last_main = next;
        ASSERT_EQ(recorder.LendFrame(last_main, pts), 0);
      } else {
        if (recorder.cam_enabled_) {
          ASSERT_EQ(recorder.AddCamFrame(cam.data.data(), pts), 0);
        }
        ASSERT_EQ(recorder.AddFrame(main.data.data(), pts), 0);
      }
      if (i % audio_every == audio_every - 1) {
        const int64_t due = (pts + 1000 / kFps) * kSampleRate / 1000;
        while (tone1.written() + 1024 <= due) {
          std::vector<int16_t> a = tone1.Next(1024, 2);
          std::vector<int16_t> b = tone2.Next(1024, 2);
          ASSERT_EQ(recorder.AddAudio(a.data(), 1024), 0);
          ASSERT_EQ(recorder.AddAudio2(b.data(), 1024), 0);
        }
      }
      ASSERT_GE(recorder.FilterAvailable(), 0);
      // The graph keeps no picture but the newest of each track.
      ASSERT_LE(main_track->out(), 1) << "frame " << i;
      ASSERT_LE(cam_track->out(), 1) << "frame " << i;
    }
  }

  // Once the recorders are gone, every track has all its buffers back.
  void ExpectAllReturned() {
    for (const auto& track : tracks_) EXPECT_EQ(track->out(), 0);
  }

  static void ExpectSameRecording(const Decoded& copied, const Decoded& lent) {
    ASSERT_EQ(lent.frames.size(), copied.frames.size());
    for (size_t i = 0; i < copied.frames.size(); ++i) {
      SCOPED_TRACE("frame " + std::to_string(i));
      EXPECT_EQ(lent.frames[i].pts_ms, copied.frames[i].pts_ms);
      EXPECT_TRUE(lent.frames[i].y == copied.frames[i].y);
      EXPECT_TRUE(lent.frames[i].u == copied.frames[i].u);
      EXPECT_TRUE(lent.frames[i].v == copied.frames[i].v);
    }
    EXPECT_EQ(lent.audio.size(), copied.audio.size());
  }

  // Outlive the recorders, whose graphs hold their pictures.
  std::vector<std::unique_ptr<TrackBuffers>> tracks_;
};

TEST_F(LendingTest, CameraRecordingIsTheSameAsWithCopiedPictures) {
  auto copying = NewCamRecorder("copied_cam.webm");
  Decoded copied = Run(*copying, false, 45);
  auto lending = NewCamRecorder("lent_cam.webm");
  Decoded lent = Run(*lending, true, 45);
  ASSERT_FALSE(HasFatalFailure());
  lending.reset();
  ExpectAllReturned();

  ASSERT_GE(lent.frames.size(), 44u);
  ExpectSameRecording(copied, lent);
  for (size_t i = 0; i < lent.frames.size(); ++i) {
    SCOPED_TRACE("frame " + std::to_string(i));
    const DecodedFrame& f = lent.frames[i];
    // Rounded: frame i is at i * 1000 / kFps ms, truncated.
    const int n = static_cast<int>((f.pts_ms * kFps + 500) / 1000);
    // Camera picture of the same frame in the bottom right corner, the
    // moving block where the main picture had it, grey elsewhere.
    EXPECT_TRUE(lent.Shows(f, 256, 194, 48, 32, (n / 5) % 2 ? kGreen : kRed));
    EXPECT_TRUE(lent.Shows(f, (n * 8) % 288 + 8, 48, 16, 16, kBlue));
    EXPECT_TRUE(lent.Shows(f, 16, 120, 48, 32, kGrey));
  }
}

TEST_F(LendingTest, VideoWaitingForLateAudioHoldsNoTrackBuffer) {
  // Audio arrives every sixth frame only: the video waits for it several
  // frames at a time, and the main track has just two buffers.
  for (bool cam : {false, true}) {
    SCOPED_TRACE(cam ? "with camera" : "without camera");
    auto copying = NewCamRecorder("late_copied.webm");
    auto lending = NewCamRecorder("late_lent.webm");
    copying->cam_enabled_ = lending->cam_enabled_ = cam;
    Decoded copied = Run(*copying, false, 30, 6);
    Decoded lent = Run(*lending, true, 30, 6);
    ASSERT_FALSE(HasFatalFailure());
    lending.reset();
    ExpectAllReturned();
    ASSERT_GE(lent.frames.size(), 29u);
    ExpectSameRecording(copied, lent);
    const DecodedFrame& f = lent.frames[20];
    EXPECT_TRUE(lent.Shows(f, (20 * 8) % 288 + 8, 48, 16, 16, kBlue));
  }
}

}  // namespace
}  // namespace kelmora
