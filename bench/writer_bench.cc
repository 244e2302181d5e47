// Encodes N seconds of 1280x720 30 fps synthetic video with stereo audio
// through SimpleVideoWriter, with "libvpx" and with the browser's encoder
// ("ppenc"), and prints the speed against real time.
//   writer_bench [seconds] [output directory]
// The browser encoder runs as in the module: this thread is the browser's
// main thread, a worker drives the writer.

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "av_holders.h"
#include "ppapi/cpp/instance.h"
#include "ppapi/cpp/module.h"
#include "ppplatform/browser.h"
#include "simple_video_writer.h"
#include "video_encoder_rule.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kFps = 30;
constexpr int kSampleRate = 48000;

using kelmora::FramePtr;

// One second of distinct pictures, reused with new timestamps, so that the
// measurement is the writer's and not the pattern's.
std::vector<FramePtr> MakePictures() {
  std::vector<FramePtr> pictures;
  for (int i = 0; i < kFps; ++i) {
    FramePtr frame(av_frame_alloc());
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = kWidth;
    frame->height = kHeight;
    if (av_frame_get_buffer(frame.get(), 0) < 0) exit(1);
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) {
        frame->data[0][y * frame->linesize[0] + x] =
            static_cast<uint8_t>((x + 4 * i) ^ (y - 2 * i));
      }
    }
    for (int plane = 1; plane < 3; ++plane) {
      for (int y = 0; y < kHeight / 2; ++y) {
        for (int x = 0; x < kWidth / 2; ++x) {
          frame->data[plane][y * frame->linesize[plane] + x] =
              static_cast<uint8_t>(plane * 60 + (x + y + i) / 8);
        }
      }
    }
    pictures.push_back(std::move(frame));
  }
  return pictures;
}

FramePtr MakeSound(AVSampleFormat format, int samples, int64_t first) {
  FramePtr frame(av_frame_alloc());
  frame->format = format;
  frame->sample_rate = kSampleRate;
  frame->nb_samples = samples;
  av_channel_layout_from_mask(&frame->ch_layout, AV_CH_LAYOUT_STEREO);
  if (av_frame_get_buffer(frame.get(), 0) < 0) exit(1);
  for (int i = 0; i < samples; ++i) {
    double t = static_cast<double>(first + i) / kSampleRate;
    float left = static_cast<float>(0.3 * sin(2 * M_PI * 440 * t));
    float right = static_cast<float>(0.3 * sin(2 * M_PI * 554 * t));
    if (format == AV_SAMPLE_FMT_S16) {
      int16_t* data = reinterpret_cast<int16_t*>(frame->data[0]);
      data[2 * i] = static_cast<int16_t>(left * 32767);
      data[2 * i + 1] = static_cast<int16_t>(right * 32767);
    } else {
      reinterpret_cast<float*>(frame->data[0])[i] = left;
      reinterpret_cast<float*>(frame->data[1])[i] = right;
    }
  }
  frame->pts = first;
  return frame;
}

class BenchInstance : public pp::Instance {
 public:
  explicit BenchInstance(PP_Instance id) : pp::Instance(id) {}
  ~BenchInstance() override { kelmora::UnregisterPPEncoders(this); }
  bool Init(uint32_t, const char*[], const char*[]) override {
    kelmora::RegisterPPEncoders(this);
    return true;
  }
};

class BenchModule : public pp::Module {
 public:
  pp::Instance* CreateInstance(PP_Instance id) override { return new BenchInstance(id); }
};

}  // namespace

namespace kelmora {

// Runs one encoder; false when the writer failed.
bool RunWriterBench(const std::string& codec, int seconds,
                    const std::string& directory) {
  static const std::vector<FramePtr> pictures = MakePictures();
  std::string path = directory + "/writer_bench_" + codec + ".webm";
  SimpleVideoWriter writer(path);
  if (!writer.SetVideoCodec(codec)) {
    fprintf(stderr, "%s: no such encoder\n", codec.c_str());
    return false;
  }
  writer.SetThreadFactor(0.5f);
  writer.SetVideoSize(kWidth, kHeight);
  writer.SetAudioSampleRate(kSampleRate);

  auto start = std::chrono::steady_clock::now();
  if (writer.Init() < 0 || writer.Open() < 0) return false;
  const int frames = seconds * kFps;
  const int64_t total_samples = static_cast<int64_t>(seconds) * kSampleRate;
  int64_t samples = 0;
  for (int i = 0; i < frames; ++i) {
    const int64_t pts = i * 1000LL / kFps;
    while (samples < total_samples &&
           samples * 1000 / kSampleRate <= pts) {
      FramePtr sound = MakeSound(writer.sample_format(),
                                 writer.audio_frame_size(), samples);
      if (writer.WriteAudioFrame(sound.get()) < 0) return false;
      samples += writer.audio_frame_size();
    }
    AVFrame* picture = pictures[i % pictures.size()].get();
    picture->pts = pts;
    if (writer.WriteVideoFrame(picture) < 0) return false;
  }
  if (writer.Close() < 0) return false;
  double elapsed = std::chrono::duration<double>(
                       std::chrono::steady_clock::now() - start)
                       .count();
  printf("%-10s %d frames %dx%d in %.2f s: %.1f frames/s, %.2fx real time\n",
         codec.c_str(), frames, kWidth, kHeight, elapsed, frames / elapsed,
         seconds / elapsed);
  return true;
}

}  // namespace kelmora

int main(int argc, char** argv) {
  int seconds = argc > 1 ? atoi(argv[1]) : 10;
  std::string directory = argc > 2 ? argv[2] : "/tmp";
  if (seconds <= 0) {
    fprintf(stderr, "usage: %s [seconds] [output directory]\n", argv[0]);
    return 2;
  }
  if (!pp::platform::BecomeMainThread() ||
      !pp::platform::ModuleHost::InitializeModule(new BenchModule, 1) ||
      !pp::platform::ModuleHost::CreateInstance(1, 0, nullptr, nullptr)) {
    fprintf(stderr, "could not start the browser\n");
    return 1;
  }
  kelmora::SetChromeVersion(48);
  bool ok = true;
  for (const char* codec : {"libvpx", "ppenc"}) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
      if (!kelmora::RunWriterBench(codec, seconds, directory)) ok = false;
      done = true;
      pp::platform::WakeMainLoop();
    });
    pp::platform::RunMainLoopUntil([&] { return done.load(); }, 3600 * 1000);
    worker.join();
    pp::platform::RunMainLoopUntilIdle();
  }
  pp::platform::ModuleHost::DestroyInstance(1);
  return ok ? 0 : 1;
}
