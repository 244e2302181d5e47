// Records live tracks through plugin-host as a page would: a 1920x1080
// screen at 30 fps, a 640x480 camera and two audio tracks, once with the
// default video encoder and once with "libvpx"; then the ffmpeg command
// line encodes the same scene with libvpx and Opus. Prints one summary
// line: frames in the file per second of recording (the source gives 30),
// frames the recording lost, CPU seconds per recorded second and their
// ratio to ffmpeg's, peak resident memory and its growth from the first to
// the last 10 s.
//
//   recording_bench [--seconds N] [--work DIR]

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

struct Run {
  bool ok = false;
  double cpu_seconds = 0;
  long peak_kib = 0;
  std::vector<long> rss_kib;  // one sample a second
};

long ReadRssKib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

// Runs |argv| with |input_path| on its standard input and the output
// thrown away; samples its memory once a second.
Run RunMeasured(const std::vector<std::string>& argv, const std::string& input_path,
                const std::string& cwd) {
  Run run;
  pid_t pid = fork();
  if (pid == 0) {
    FILE* in = fopen(input_path.c_str(), "r");
    FILE* out = fopen("/dev/null", "w");
    if (!in || !out || chdir(cwd.c_str()) != 0) _exit(126);
    dup2(fileno(in), 0);
    dup2(fileno(out), 1);
    dup2(fileno(out), 2);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  if (pid < 0) return run;
  int status = 0;
  struct rusage usage {};
  for (;;) {
    pid_t done = wait4(pid, &status, WNOHANG, &usage);
    if (done == pid) break;
    run.rss_kib.push_back(ReadRssKib(pid));
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  run.cpu_seconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 +
                    usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
  run.peak_kib = usage.ru_maxrss;
  return run;
}

// Video packets and the video's length in seconds.
bool CountVideo(const std::string& path, int* frames, double* seconds) {
  AVFormatContext* format = nullptr;
  if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return false;
  bool ok = avformat_find_stream_info(format, nullptr) >= 0;
  int video = ok ? av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0) : -1;
  *frames = 0;
  int64_t first = -1, last = 0;
  AVPacket* packet = av_packet_alloc();
  while (video >= 0 && av_read_frame(format, packet) >= 0) {
    if (packet->stream_index == video) {
      ++*frames;
      if (first < 0) first = packet->pts;
      last = packet->pts;
    }
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  if (video >= 0 && first >= 0) {
    *seconds = (last - first) * av_q2d(format->streams[video]->time_base);
  }
  avformat_close_input(&format);
  return ok && video >= 0;
}

double Average(const std::vector<long>& values, size_t from, size_t to) {
  if (to <= from) return 0;
  double sum = 0;
  for (size_t i = from; i < to; ++i) sum += values[i];
  return sum / (to - from);
}

struct Recording {
  std::string label;
  bool ok = false;
  double fps = 0;
  int lost = 0;
  double cpu_per_second = 0;
  double peak_mib = 0;
  double growth_percent = 0;
};

Recording Record(const std::string& codec, int seconds, const std::string& work) {
  Recording result;
  result.label = codec.empty() ? "default" : codec;
  const std::string name = "bench_" + result.label + ".webm";
  const std::string script_path = work + "/" + result.label + ".jsonl";
  std::ofstream script(script_path);
  script << R"({"type":"start","data":{"chromeVersion":60,)"
         << (codec.empty() ? "" : "\"codec\":\"" + codec + "\",")
         << R"("filename":"/html5_persistent/)" << name << R"(",)"
         << R"("videoTrack":{"$video":{"source":"pattern","width":1920,"height":1080,"fps":30}},)"
         << R"("camTrack":{"$video":{"source":"pattern","width":640,"height":480,"fps":30}},)"
         << R"("audioTrack":{"$audio":{"source":"tone","frequency":440}},)"
         << R"("audioTrack2":{"$audio":{"source":"tone","frequency":660,"channels":1}},)"
         << R"("micVolume":0.5}})" << "\n"
         << R"({"$await":"start","match":false,"timeout_ms":30000})" << "\n"
         << R"({"$sleep":)" << seconds * 1000 << "}\n"
         << R"({"type":"stop","data":{}})" << "\n"
         << R"({"$await":"stop","match":false,"timeout_ms":60000})" << "\n";
  script.close();
  const std::string build = KELMORA_BUILD_DIR;
  Run run = RunMeasured({build + "/plugin-host", build + "/encoder_module.so", "--persistent",
                         work, "--temporary", work},
                        script_path, work);
  int frames = 0;
  double video_seconds = 0;
  result.ok = run.ok && CountVideo(work + "/" + name, &frames, &video_seconds);
  if (!result.ok) return result;
  result.fps = frames / static_cast<double>(seconds);
  result.lost = seconds * 30 - frames;
  result.cpu_per_second = run.cpu_seconds / seconds;
  result.peak_mib = run.peak_kib / 1024.0;
  // The samples span the set-up too: the first and the last 10 s of the
  // recording are the window after the first seconds and before the end.
  const size_t n = run.rss_kib.size();
  const size_t window = std::min<size_t>(10, n / 3);
  const double first = Average(run.rss_kib, n - window * 3 > 2 ? 2 : 0, window + 2);
  const double last = Average(run.rss_kib, n - window, n);
  if (first > 0) result.growth_percent = (last - first) / first * 100.0;
  return result;
}

// The same scene through the ffmpeg command line: CPU seconds per second.
double FfmpegCpuPerSecond(int seconds, const std::string& work) {
  const std::string script_path = work + "/empty";
  std::ofstream(script_path).close();
  const std::string t = std::to_string(seconds);
  Run run = RunMeasured(
      {"/usr/bin/ffmpeg", "-y", "-nostdin", "-f", "lavfi", "-i",
       "testsrc2=s=1920x1080:r=30:d=" + t, "-f", "lavfi", "-i", "testsrc2=s=640x480:r=30:d=" + t,
       "-f", "lavfi", "-i", "sine=f=440:r=48000:d=" + t, "-f", "lavfi", "-i",
       "sine=f=660:r=48000:d=" + t, "-filter_complex",
       "[1]scale=432:324[c];[0][c]overlay=W-w:H-h[v];[3]volume=0.5[b];[2][b]amix[a]", "-map",
       "[v]", "-map", "[a]", "-c:v", "libvpx", "-deadline", "realtime", "-cpu-used", "4",
       "-threads", "4", "-c:a", "libopus", work + "/bench_ffmpeg.webm"},
      script_path, work);
  return run.ok ? run.cpu_seconds / seconds : 0;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 30;
  std::string work = std::string(KELMORA_BUILD_DIR) + "/recording_bench_work";
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--seconds" && i + 1 < argc) {
      seconds = std::atoi(argv[++i]);
    } else if (arg == "--work" && i + 1 < argc) {
      work = argv[++i];
    } else {
      fprintf(stderr, "usage: recording_bench [--seconds N] [--work DIR]\n");
      return 2;
    }
  }
  if (seconds < 1) seconds = 1;
  mkdir(work.c_str(), 0755);

  const double ffmpeg = FfmpegCpuPerSecond(seconds, work);
  std::string line = "recording " + std::to_string(seconds) +
                     " s of 1920x1080+640x480 30 fps, 2 audio:";
  bool ok = true;
  for (const std::string& codec : {std::string(), std::string("libvpx")}) {
    Recording r = Record(codec, seconds, work);
    char text[256];
    if (!r.ok) {
      snprintf(text, sizeof(text), " %s failed;", r.label.c_str());
      ok = false;
    } else {
      snprintf(text, sizeof(text),
               " %s %.1f fps in file, %d lost, %.2f cpu s/s (%.2fx ffmpeg), peak %.0f MiB, "
               "growth %.1f%%;",
               r.label.c_str(), r.fps, r.lost, r.cpu_per_second,
               ffmpeg > 0 ? r.cpu_per_second / ffmpeg : 0.0, r.peak_mib, r.growth_percent);
    }
    line += text;
  }
  char text[64];
  snprintf(text, sizeof(text), " ffmpeg libvpx %.2f cpu s/s", ffmpeg);
  line += text;
  printf("%s\n", line.c_str());
  return ok ? 0 : 1;
}
