// Destroys a recording instance during its recorder set-up, as a page that
// goes away right after "start" does: plugin-host gets the "start" message
// (a pattern track and a tone), and as soon as the module says which
// encoder it opens for the picture ("simpleVideoWriter: using default codec
// ..."), the page destroys the instance. Measures the time from the
// destruction to the end of plugin-host, for the module's own libvpx and
// the browser's encoder ("ppenc"), at the largest picture each takes by
// default and at 320x240; and the ffmpeg command line doing the least that
// leaves such a file: one picture of that size, encoded with the recorder's
// libvpx settings, into WebM. Prints, as medians (and the slowest run):
// how long the instance's destruction itself took (from the module's step
// timeline, KELMORA_FRAME_TIMELINE), the time from the destruction to the
// end of plugin-host (which also waits for the browser's encoder threads),
// the pictures in the file left (none: no file) and the ratio of the end
// to ffmpeg.
//
// With --load N, N busy loops run beside everything. With --timeline, the
// module's step timeline of each run's set-up and destruction is printed.
//
//   recording_destroy_bench [--runs N] [--load N] [--timeline]
//                           [--build DIR] [--work DIR]

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "busy_loops.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

struct Case {
  const char* label;
  int width;
  int height;
  // Above 45 the default may be the browser's encoder; 45 keeps libvpx.
  int chrome_version;
  const char* codec;  // the one the module must name
};

const Case kCases[] = {
    {"libvpx", 4096, 4096, 60, "libvpx"},
    {"ppenc", 4096, 2176, 60, "ppenc"},
    {"libvpx", 320, 240, 45, "libvpx"},
    {"ppenc", 320, 240, 60, "ppenc"},
};

struct Destruction {
  bool ok = false;
  double seconds = 0;  // from the destruction to the end of plugin-host
  double destroy_seconds = -1;  // the instance's destructor, from the timeline
  int pictures = -1;   // decoded from the file left; -1: no file
  int decode_errors = 0;
};

// Decoded pictures of the file's first video stream; -1 when it does not
// open.
int DecodePictures(const std::string& path, int* errors) {
  *errors = 0;
  AVFormatContext* format = nullptr;
  if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return -1;
  int pictures = -1;
  const AVCodec* codec = nullptr;
  int stream = avformat_find_stream_info(format, nullptr) < 0
                   ? -1
                   : av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  AVCodecContext* decoder = stream >= 0 ? avcodec_alloc_context3(codec) : nullptr;
  if (decoder && avcodec_parameters_to_context(decoder, format->streams[stream]->codecpar) >= 0 &&
      avcodec_open2(decoder, codec, nullptr) >= 0) {
    pictures = 0;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto receive = [&] {
      while (avcodec_receive_frame(decoder, frame) >= 0) {
        ++pictures;
        av_frame_unref(frame);
      }
    };
    while (av_read_frame(format, packet) >= 0) {
      if (packet->stream_index == stream && avcodec_send_packet(decoder, packet) < 0) ++*errors;
      av_packet_unref(packet);
      receive();
    }
    avcodec_send_packet(decoder, nullptr);
    receive();
    av_frame_free(&frame);
    av_packet_free(&packet);
  }
  avcodec_free_context(&decoder);
  avformat_close_input(&format);
  return pictures;
}

std::string StartMessage(const Case& c) {
  std::ostringstream text;
  text << R"({"type":"start","data":{"chromeVersion":)" << c.chrome_version
       << R"(,"filename":"/html5_persistent/destroyed.webm",)"
       << R"("videoTrack":{"$video":{"source":"pattern","width":)" << c.width
       << R"(,"height":)" << c.height << R"(}},"audioTrack":{"$audio":{"source":"tone"}}}})"
       << "\n";
  return text.str();
}

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// Plays the start, waits for the encoder line, destroys, and waits for
// plugin-host to end.
Destruction Destroy(const Case& c, const std::string& build, const std::string& work,
                    const std::string& timeline) {
  Destruction result;
  const std::string dir = work + "/" + c.label + "_" + std::to_string(c.width);
  const std::string file = dir + "/destroyed.webm";
  mkdir(dir.c_str(), 0755);
  unlink(file.c_str());
  unlink(timeline.c_str());
  int to_host[2], from_host[2];
  if (pipe(to_host) != 0 || pipe(from_host) != 0) return result;
  pid_t pid = fork();
  if (pid == 0) {
    int quiet = open("/dev/null", O_WRONLY);
    dup2(to_host[0], 0);
    dup2(from_host[1], 1);
    dup2(quiet, 2);
    close(to_host[1]);
    close(from_host[0]);
    setenv("KELMORA_FRAME_TIMELINE", timeline.c_str(), 1);
    const std::string host = build + "/plugin-host";
    const std::string module = build + "/encoder_module.so";
    const std::string temporary = dir + "/temporary";
    execl(host.c_str(), host.c_str(), module.c_str(), "--persistent", dir.c_str(),
          "--temporary", temporary.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(to_host[0]);
  close(from_host[1]);
  if (pid < 0) return result;
  WriteAll(to_host[1], StartMessage(c));

  const std::string wanted = std::string("using default codec ") + c.codec + " for " +
                             std::to_string(c.width) + "x" + std::to_string(c.height);
  const Clock::time_point started = Clock::now();
  Clock::time_point destroyed{};
  bool destroying = false;
  std::string pending;
  char buffer[65536];
  for (;;) {
    struct pollfd out = {from_host[0], POLLIN, 0};
    if (!destroying && Seconds(started, Clock::now()) > 60) {
      kill(pid, SIGKILL);
      break;
    }
    if (poll(&out, 1, 100) <= 0) continue;
    ssize_t n = read(from_host[0], buffer, sizeof(buffer));
    if (n <= 0) break;
    if (destroying) continue;
    pending.append(buffer, static_cast<size_t>(n));
    if (pending.find(wanted) != std::string::npos) {
      WriteAll(to_host[1], "{\"$destroy\": true}\n");
      destroyed = Clock::now();
      destroying = true;
      close(to_host[1]);
    } else if (pending.size() > (1 << 20)) {
      pending.erase(0, pending.size() - 4096);
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  const Clock::time_point ended = Clock::now();
  close(from_host[0]);
  if (!destroying) close(to_host[1]);
  result.ok = destroying && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  result.seconds = Seconds(destroyed, ended);
  struct stat info;
  if (stat(file.c_str(), &info) == 0) result.pictures = DecodePictures(file, &result.decode_errors);
  // The destructor's own step: "..., destroy 12.3".
  std::ifstream steps(timeline);
  std::string line;
  while (std::getline(steps, line)) {
    const size_t at = line.rfind(", destroy ");
    if (at != std::string::npos) result.destroy_seconds = std::atof(line.c_str() + at + 10) / 1000;
  }
  return result;
}

// The ffmpeg command line encoding one picture of |c|'s size with the
// recorder's libvpx settings into WebM: wall seconds, or a negative value.
double FfmpegOnePicture(const Case& c, const std::string& work) {
  const std::string size = std::to_string(c.width) + "x" + std::to_string(c.height);
  const std::string out = work + "/ffmpeg_" + size + ".webm";
  const Clock::time_point start = Clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    int quiet = open("/dev/null", O_RDWR);
    dup2(quiet, 0);
    dup2(quiet, 1);
    dup2(quiet, 2);
    const std::string source = "color=c=0x202020:s=" + size + ":r=30";
    execl("/usr/bin/ffmpeg", "ffmpeg", "-y", "-nostdin", "-f", "lavfi", "-i", source.c_str(),
          "-frames:v", "1", "-pix_fmt", "yuv420p", "-c:v", "libvpx", "-deadline", "realtime",
          "-cpu-used", "16", "-crf", "10", "-qmin", "0", "-qmax", "30", "-b:v", "0", "-threads",
          "1", out.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    return -1;
  }
  return Seconds(start, Clock::now());
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void PrintTimeline(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    // The set-up and the destruction; the frames before them say nothing.
    if (line.find("track buffer") != std::string::npos) continue;
    printf("    %s\n", line.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 3;
  int load = 0;
  bool timeline = false;
  std::string build = KELMORA_BUILD_DIR;
  std::string work = std::string(KELMORA_BUILD_DIR) + "/recording_destroy_bench_work";
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--runs" && i + 1 < argc) {
      runs = std::atoi(argv[++i]);
    } else if (arg == "--load" && i + 1 < argc) {
      load = std::atoi(argv[++i]);
    } else if (arg == "--timeline") {
      timeline = true;
    } else if (arg == "--build" && i + 1 < argc) {
      build = argv[++i];
    } else if (arg == "--work" && i + 1 < argc) {
      work = argv[++i];
    } else {
      fprintf(stderr,
              "usage: recording_destroy_bench [--runs N] [--load N] [--timeline] "
              "[--build DIR] [--work DIR]\n");
      return 2;
    }
  }
  if (runs < 1) runs = 1;
  if (load < 0) load = 0;
  mkdir(work.c_str(), 0755);
  const std::string timeline_path = work + "/timeline.txt";

  const double load_before = LoadAverage();
  BusyLoops loops(load);
  printf("destruction during the recorder set-up, %d runs each; %d busy loops\n", runs, load);
  printf("%-8s %10s %10s %10s %10s %10s %9s %10s %11s\n", "encoder", "size", "destroy-s",
         "max-s", "to-end-s", "max-s", "pictures", "ffmpeg-s", "vs-ffmpeg");
  bool ok = true;
  for (const Case& c : kCases) {
    std::vector<double> times, destroys;
    std::string pictures;
    bool case_ok = true;
    for (int run = 0; run < runs; ++run) {
      Destruction d = Destroy(c, build, work, timeline_path);
      case_ok = case_ok && d.ok && d.decode_errors == 0 && d.pictures != 0;
      times.push_back(d.seconds);
      destroys.push_back(d.destroy_seconds);
      pictures += (pictures.empty() ? "" : ",") +
                  (d.pictures < 0 ? std::string("-") : std::to_string(d.pictures));
      if (timeline) {
        printf("  %s %dx%d run %d: %.3f s\n", c.label, c.width, c.height, run + 1, d.seconds);
        PrintTimeline(timeline_path);
      }
    }
    const double ffmpeg = FfmpegOnePicture(c, work);
    const double median = Median(times);
    const std::string size = std::to_string(c.width) + "x" + std::to_string(c.height);
    printf("%-8s %10s %10.3f %10.3f %10.3f %10.3f %9s %10.3f %10.2fx%s\n", c.label,
           size.c_str(), Median(destroys), *std::max_element(destroys.begin(), destroys.end()),
           median, *std::max_element(times.begin(), times.end()), pictures.c_str(), ffmpeg,
           ffmpeg > 0 ? median / ffmpeg : 0.0, case_ok ? "" : "  FAILED");
    ok = ok && case_ok;
  }
  printf("load average %.1f before, %.1f after; pictures per run, - for no file\n", load_before,
         LoadAverage());
  return ok ? 0 : 1;
}
