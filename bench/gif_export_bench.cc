// Exports a recording to an animated GIF at 8 frames per second two ways on
// the same input, side by side: through this project's edit path (the edit
// graph text of EditGraphBuilder, run step by step by a VideoGraphFilter
// into a GifVideoWriter, as the edit job drives it) and with the two-pass
// palette GIF of the ffmpeg command line (palettegen, then paletteuse).
// Prints wall time, peak resident memory and file size of both and their
// ratio (project / ffmpeg), and the picture quality of both (PSNR against
// the input at the same 8 frames per second, measured by ffmpeg).
//
//   gif_export_bench [--size WxH] [--seconds S] [--input-fps F]
//                    [--input-codec NAME] [--input FILE] [--no-ffmpeg]
//                    [work_dir]
//
// Defaults: 640x360, 30 s, 30 frames per second, VP8 in WebM as the
// recorder writes it, the current directory. Another input encoder (such as
// libx264, into Matroska) makes long inputs faster; --input takes an
// existing file instead (and keeps it).
// The input, a VP8 WebM recording of a desktop-like scene, is made first in
// a child process; each export runs in a child of its own, so that each
// peak memory is its own.

#include <sys/resource.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

#include "av_holders.h"
#include "edit_config.h"
#include "edit_graph_builder.h"
#include "gif_video_writer.h"
#include "simple_video_writer.h"
#include "utils.h"
#include "video_graph_filter.h"

namespace {

struct Options {
  int width = 640;
  int height = 360;
  int seconds = 30;
  int input_fps = 30;
  std::string input_codec;
  std::string input;
  bool ffmpeg = true;
  std::string dir = ".";
};

// A desktop: a static gradient, a window that moves across it and a
// counter-like strip that changes every frame.
void DrawScene(AVFrame* frame, int index) {
  const int width = frame->width;
  const int height = frame->height;
  const int win_w = width * 5 / 16;
  const int win_h = height / 3;
  const int win_x = static_cast<int>((width - win_w) * (0.5 + 0.5 * std::sin(index / 40.0)));
  const int win_y = static_cast<int>((height - win_h) * (0.5 + 0.5 * std::cos(index / 55.0)));
  for (int y = 0; y < height; ++y) {
    uint8_t* row = frame->data[0] + y * frame->linesize[0];
    for (int x = 0; x < width; ++x) {
      uint8_t luma = static_cast<uint8_t>(40 + (x + y) * 150 / (width + height));
      if (x >= win_x && x < win_x + win_w && y >= win_y && y < win_y + win_h) {
        luma = (y - win_y) < 16 ? 90 : 235;
      }
      if (y >= height - 20 && x < 160) {
        luma = ((x / 8 + index) % 5) * 50;
      }
      row[x] = luma;
    }
  }
  for (int y = 0; y < height / 2; ++y) {
    for (int x = 0; x < width / 2; ++x) {
      frame->data[1][y * frame->linesize[1] + x] = static_cast<uint8_t>(100 + x * 56 / (width / 2));
      frame->data[2][y * frame->linesize[2] + x] = static_cast<uint8_t>(150 - y * 40 / (height / 2));
    }
  }
}

// Records the input with the default encode-and-mux writer, as the
// recorder leaves its files.
bool MakeInput(const Options& options, const std::string& path) {
  kelmora::SimpleVideoWriter writer(path);
  if (!options.input_codec.empty() && !writer.SetVideoCodec(options.input_codec)) {
    fprintf(stderr, "unknown encoder %s\n", options.input_codec.c_str());
    return false;
  }
  writer.SetVideoSize(options.width, options.height);
  writer.SetAudioSampleRate(0);
  if (writer.Init() < 0 || writer.Open() < 0) return false;
  kelmora::FramePtr frame(av_frame_alloc());
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = options.width;
  frame->height = options.height;
  if (av_frame_get_buffer(frame.get(), 0) < 0) return false;
  for (int i = 0; i < options.input_fps * options.seconds; ++i) {
    if (av_frame_make_writable(frame.get()) < 0) return false;
    DrawScene(frame.get(), i);
    frame->pts = i * 1000LL / options.input_fps;
    if (writer.WriteVideoFrame(frame.get()) < 0) return false;
  }
  return writer.Close() >= 0;
}

// The edit path: the edit graph of a GIF edit at 8 frames per second,
// stepped until both sides have ended, then closed.
int ExportThroughEditGraph(const std::string& input, const std::string& gif) {
  kelmora::EditConfig config;
  config.inFilename = input;
  config.outFilename = gif;
  config.outFormat = kelmora::kEditOutFormatGif;
  config.fps = 8;
  kelmora::EditGraphBuilder builder(config);
  boost::optional<std::string> description = builder.Build();
  if (!description) {
    fprintf(stderr, "cannot build the edit graph for %s\n", input.c_str());
    return 1;
  }
  kelmora::VideoGraphFilter graph;
  graph.graph_description_ = *description;
  graph.writer_.reset(new kelmora::GifVideoWriter(gif));
  const int init = graph.InitFiltering();
  if (init < 0) {
    kelmora::LogAvError("configure export graph failed", init);
    return 1;
  }
  // Like the edit loop, a failed step is counted and the next one tried.
  int failed_steps = 0;
  while (!(graph.audio_done_ && graph.video_done_) && failed_steps < 100) {
    if (graph.FilterOnce() < 0) ++failed_steps;
  }
  const int closed = graph.Close();
  if (failed_steps > 0 || closed < 0) {
    fprintf(stderr, "failed steps: %d, close result: %d\n", failed_steps, closed);
    return 1;
  }
  return 0;
}

struct Run {
  bool ok = false;
  double seconds = 0;
  double peak_mib = 0;
};

// Runs `work` in a child process and measures it from the outside.
Run InChild(const std::function<int()>& work) {
  Run run;
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child < 0) {
    perror("fork");
    return run;
  }
  if (child == 0) {
    _exit(work());
  }
  int status = 0;
  struct rusage usage;
  if (wait4(child, &status, 0, &usage) != child) {
    perror("wait4");
    return run;
  }
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.peak_mib = usage.ru_maxrss / 1024.0;
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}

Run Command(const std::vector<std::string>& args) {
  return InChild([&args] {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    perror(argv[0]);
    return 127;
  });
}

// The average PSNR in dB of a GIF against the input, both taken at 8
// frames per second; 0 when it cannot be measured.
double Psnr(const std::string& input, const std::string& gif, const std::string& log) {
  const Run run = InChild([&] {
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || dup2(fd, STDERR_FILENO) < 0) return 126;
    execlp("ffmpeg", "ffmpeg", "-nostdin", "-hide_banner", "-i", input.c_str(), "-i",
           gif.c_str(), "-lavfi",
           "[0]fps=8,format=rgb24[a];[1]fps=8,format=rgb24[b];[a][b]psnr", "-f",
           "null", "-", static_cast<char*>(nullptr));
    return 127;
  });
  std::ifstream in(log);
  std::stringstream text;
  text << in.rdbuf();
  unlink(log.c_str());
  const std::string all = text.str();
  const size_t at = all.rfind("average:");
  if (!run.ok || at == std::string::npos) return 0;
  return atof(all.c_str() + at + strlen("average:"));
}

long long FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--size" && has_value) {
      if (sscanf(argv[++i], "%dx%d", &options->width, &options->height) != 2) return false;
    } else if (arg == "--seconds" && has_value) {
      options->seconds = atoi(argv[++i]);
    } else if (arg == "--input-fps" && has_value) {
      options->input_fps = atoi(argv[++i]);
    } else if (arg == "--input-codec" && has_value) {
      options->input_codec = argv[++i];
    } else if (arg == "--input" && has_value) {
      options->input = argv[++i];
    } else if (arg == "--no-ffmpeg") {
      options->ffmpeg = false;
    } else if (!arg.empty() && arg[0] != '-') {
      options->dir = arg;
    } else {
      return false;
    }
  }
  return options->width > 0 && options->height > 0 && options->width % 2 == 0 &&
         options->height % 2 == 0 && options->seconds > 0 && options->input_fps > 0;
}

double Ratio(double ours, double theirs) {
  return theirs > 0 ? ours / theirs : 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    fprintf(stderr,
            "usage: %s [--size WxH] [--seconds S] [--input-fps F] [--input-codec NAME]\n"
            "       [--input FILE] [--no-ffmpeg] [work_dir]\n",
            argv[0]);
    return 2;
  }
  const std::string stem = options.dir + "/gif_export_bench_" +
                           std::to_string(options.width) + "x" +
                           std::to_string(options.height) + "_" +
                           std::to_string(options.seconds) + "s";
  const bool own_input = options.input.empty();
  const std::string input =
      own_input ? stem + (options.input_codec.empty() ? "_in.webm" : "_in.mkv")
                : options.input;
  const std::string ours = stem + "_kelmora.gif";
  const std::string palette = stem + "_palette.png";
  const std::string theirs = stem + "_ffmpeg.gif";

  if (own_input) {
    if (!InChild([&] { return MakeInput(options, input) ? 0 : 1; }).ok) {
      fprintf(stderr, "could not make the input file %s\n", input.c_str());
      return 1;
    }
    printf("input: %d s of %dx%d at %d fps (%s), GIF at 8 fps\n", options.seconds,
           options.width, options.height, options.input_fps, input.c_str());
  } else {
    printf("input: %s, GIF at 8 fps\n", input.c_str());
  }
  fflush(stdout);

  unlink(ours.c_str());
  const Run project = InChild([&] { return ExportThroughEditGraph(input, ours); });

  Run ffmpeg;
  if (options.ffmpeg) {
    unlink(theirs.c_str());
    const Run pass1 = Command({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", input,
                               "-vf", "fps=8,palettegen", palette});
    const Run pass2 = Command({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", input,
                               "-i", palette, "-lavfi", "fps=8[x];[x][1:v]paletteuse",
                               theirs});
    ffmpeg.ok = pass1.ok && pass2.ok;
    ffmpeg.seconds = pass1.seconds + pass2.seconds;
    ffmpeg.peak_mib = std::max(pass1.peak_mib, pass2.peak_mib);
  }

  const long long our_bytes = FileSize(ours);
  const long long their_bytes = FileSize(theirs);
  const std::string psnr_log = stem + "_psnr.log";
  const double our_psnr = project.ok ? Psnr(input, ours, psnr_log) : 0;
  const double their_psnr = ffmpeg.ok ? Psnr(input, theirs, psnr_log) : 0;
  printf("%-22s %14s %14s %8s\n", "", "ffmpeg 2-pass", "kelmora", "ratio");
  if (options.ffmpeg) {
    printf("%-22s %14.2f %14.2f %8.2f\n", "wall time (s)", ffmpeg.seconds,
           project.seconds, Ratio(project.seconds, ffmpeg.seconds));
    printf("%-22s %14.1f %14.1f %8.2f\n", "peak resident (MiB)", ffmpeg.peak_mib,
           project.peak_mib, Ratio(project.peak_mib, ffmpeg.peak_mib));
    printf("%-22s %14lld %14lld %8.2f\n", "file size (bytes)", their_bytes,
           our_bytes, Ratio(static_cast<double>(our_bytes), static_cast<double>(their_bytes)));
    printf("%-22s %14.2f %14.2f\n", "PSNR to input (dB)", their_psnr, our_psnr);
  } else {
    printf("%-22s %14s %14.2f\n", "wall time (s)", "-", project.seconds);
    printf("%-22s %14s %14.1f\n", "peak resident (MiB)", "-", project.peak_mib);
    printf("%-22s %14s %14lld\n", "file size (bytes)", "-", our_bytes);
    printf("%-22s %14s %14.2f\n", "PSNR to input (dB)", "-", our_psnr);
  }
  if (!project.ok || (options.ffmpeg && !ffmpeg.ok)) {
    printf("FAILED:%s%s\n", project.ok ? "" : " kelmora export",
           options.ffmpeg && !ffmpeg.ok ? " ffmpeg export" : "");
    return 1;
  }
  if (own_input) unlink(input.c_str());
  unlink(palette.c_str());
  return 0;
}
