// Exports 30 s of 640 x 360 video to an animated GIF the way a GIF edit
// does (movie source -> filter graph -> GIF writer, one step at a time) and
// prints the export time, the peak resident memory and the GIF's size.
//
//   gif_export_bench [work_dir]
//
// The input, a VP8 WebM recording of a desktop-like scene at 30 frames per
// second, is recorded first in a child process, so that neither its time nor
// its memory counts.

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

extern "C" {
#include <libavutil/frame.h>
}

#include "av_holders.h"
#include "gif_video_writer.h"
#include "simple_video_writer.h"
#include "utils.h"
#include "video_graph_filter.h"

namespace {

const int kWidth = 640;
const int kHeight = 360;
const int kFps = 30;
const int kSeconds = 30;

// A desktop: a static gradient, a window that moves across it and a
// counter-like strip that changes every frame.
void DrawScene(AVFrame* frame, int index) {
  const int win_w = 200;
  const int win_h = 120;
  const int win_x = static_cast<int>((kWidth - win_w) * (0.5 + 0.5 * std::sin(index / 40.0)));
  const int win_y = static_cast<int>((kHeight - win_h) * (0.5 + 0.5 * std::cos(index / 55.0)));
  for (int y = 0; y < kHeight; ++y) {
    uint8_t* row = frame->data[0] + y * frame->linesize[0];
    for (int x = 0; x < kWidth; ++x) {
      uint8_t luma = static_cast<uint8_t>(40 + (x + y) * 150 / (kWidth + kHeight));
      if (x >= win_x && x < win_x + win_w && y >= win_y && y < win_y + win_h) {
        luma = (y - win_y) < 16 ? 90 : 235;
      }
      if (y >= kHeight - 20 && x < 160) {
        luma = ((x / 8 + index) % 5) * 50;
      }
      row[x] = luma;
    }
  }
  for (int y = 0; y < kHeight / 2; ++y) {
    for (int x = 0; x < kWidth / 2; ++x) {
      frame->data[1][y * frame->linesize[1] + x] = static_cast<uint8_t>(100 + x * 56 / (kWidth / 2));
      frame->data[2][y * frame->linesize[2] + x] = static_cast<uint8_t>(150 - y * 40 / (kHeight / 2));
    }
  }
}

// Records the input with the default encode-and-mux writer, as the
// recorder leaves its files.
bool MakeInput(const std::string& path) {
  kelmora::SimpleVideoWriter writer(path);
  writer.SetVideoSize(kWidth, kHeight);
  writer.SetAudioSampleRate(0);
  if (writer.Init() < 0 || writer.Open() < 0) return false;
  kelmora::FramePtr frame(av_frame_alloc());
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = kWidth;
  frame->height = kHeight;
  if (av_frame_get_buffer(frame.get(), 0) < 0) return false;
  for (int i = 0; i < kFps * kSeconds; ++i) {
    DrawScene(frame.get(), i);
    frame->pts = i * 1000LL / kFps;
    if (writer.WriteVideoFrame(frame.get()) < 0) return false;
  }
  return writer.Close() >= 0;
}

// Makes the input in a child, so the export's peak memory is its own.
bool MakeInputInChild(const std::string& path) {
  const pid_t child = fork();
  if (child < 0) {
    perror("fork");
    return false;
  }
  if (child == 0) {
    _exit(MakeInput(path) ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "/tmp";
  const std::string input = dir + "/gif_export_bench_in.webm";
  const std::string gif = dir + "/gif_export_bench_out.gif";
  if (!MakeInputInChild(input)) {
    fprintf(stderr, "could not make the input file %s\n", input.c_str());
    return 1;
  }
  unlink(gif.c_str());

  const auto start = std::chrono::steady_clock::now();
  int failed_steps = 0;
  int close_result = 0;
  {
    kelmora::VideoGraphFilter graph;
    graph.graph_description_ = "movie=filename=" + input;
    graph.writer_.reset(new kelmora::GifVideoWriter(gif));
    const int init = graph.InitFiltering();
    if (init < 0) {
      kelmora::LogAvError("configure export graph failed", init);
      return 1;
    }
    // Like the edit loop, a failed step is counted and the next one tried.
    while (!(graph.audio_done_ && graph.video_done_) && failed_steps < 100) {
      if (graph.FilterOnce() < 0) ++failed_steps;
    }
    close_result = graph.Close();
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  struct stat st;
  const long long gif_bytes = stat(gif.c_str(), &st) == 0 ? st.st_size : -1;

  printf("input: %d s of %dx%d at %d fps (%s)\n", kSeconds, kWidth, kHeight, kFps,
         input.c_str());
  printf("export time: %.2f s\n", seconds);
  printf("peak resident memory: %.1f MiB\n", usage.ru_maxrss / 1024.0);
  printf("gif size: %lld bytes (%.2f MiB)\n", gif_bytes, gif_bytes / 1048576.0);
  if (failed_steps > 0 || close_result < 0) {
    printf("failed steps: %d, close result: %d\n", failed_steps, close_result);
    return 1;
  }
  unlink(input.c_str());
  return 0;
}
