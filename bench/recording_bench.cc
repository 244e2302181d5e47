// Records live tracks through plugin-host as a page would: a 1920x1080
// screen at 30 fps, a 640x480 camera and two audio tracks, once with the
// default video encoder and once with "libvpx"; then the ffmpeg command
// line encodes the same scene (same libvpx settings, Opus) as fast as it
// can with 1, 2 and 4 encoder threads. Prints a table: frames in the file
// per second of recording (the source gives 30), frames the recording
// lost, CPU seconds per recorded second, peak resident memory and its
// growth from the first to the last minute (10 s on short runs), and the
// ratio of the frames kept to the best rate ffmpeg sustains (capped at
// 30).
//
// With --load N, N busy loops run beside everything, recordings and
// ffmpeg alike, so that the ratio compares both under the same load.
//
//   recording_bench [--seconds N] [--load N] [--encoders default,libvpx]
//                   [--build DIR] [--work DIR]

#include <signal.h>
#include <sys/resource.h>
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
#include <thread>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "busy_loops.h"

namespace {

struct Run {
  bool ok = false;
  double cpu_seconds = 0;
  double wall_seconds = 0;
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
// thrown away; samples its memory once a second. With |wall_limit| > 0 the
// program gets SIGINT after that many seconds (ffmpeg then finishes its
// file and exits).
Run RunMeasured(const std::vector<std::string>& argv, const std::string& input_path,
                const std::string& cwd, double wall_limit = 0) {
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
  const auto start = std::chrono::steady_clock::now();
  auto next_sample = start;
  bool interrupted = false;
  for (;;) {
    pid_t done = wait4(pid, &status, WNOHANG, &usage);
    if (done == pid) break;
    const auto now = std::chrono::steady_clock::now();
    if (now >= next_sample) {
      run.rss_kib.push_back(ReadRssKib(pid));
      next_sample += std::chrono::seconds(1);
    }
    const double elapsed = std::chrono::duration<double>(now - start).count();
    if (wall_limit > 0 && !interrupted && elapsed >= wall_limit) {
      kill(pid, SIGINT);
      interrupted = true;
      run.wall_seconds = elapsed;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!interrupted) {
    run.wall_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  run.ok = (WIFEXITED(status) && WEXITSTATUS(status) == 0) ||
           (interrupted && WIFEXITED(status) && WEXITSTATUS(status) == 255);
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

Recording Record(const std::string& codec, int seconds, const std::string& build,
                 const std::string& work) {
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
  Run run = RunMeasured({build + "/plugin-host", build + "/encoder_module.so", "--persistent",
                         work, "--temporary", work},
                        script_path, work);
  int frames = 0;
  double video_seconds = 0;
  result.ok = run.ok && CountVideo(work + "/" + name, &frames, &video_seconds);
  if (!result.ok) return result;
  result.fps = frames / static_cast<double>(seconds);
  // The recording runs a little past |seconds| (the stop takes its turn),
  // so the frames lost are the gaps in the span the file covers.
  const int expected = std::max(seconds * 30, static_cast<int>(video_seconds * 30 + 0.5) + 1);
  result.lost = std::max(0, expected - frames);
  result.cpu_per_second = run.cpu_seconds / seconds;
  result.peak_mib = run.peak_kib / 1024.0;
  // The samples span the set-up too: the first and the last minute of
  // the recording (10 s on runs under 3 minutes), the first window taken
  // after the first seconds, the last before the stop.
  const size_t n = run.rss_kib.size();
  const size_t window = std::min<size_t>(n >= 180 ? 60 : 10, n / 3);
  const size_t from = n >= 180 ? 60 : (n - window * 3 > 2 ? 2 : 0);
  const double first = Average(run.rss_kib, from, from + window);
  const double last = Average(run.rss_kib, n - window, n);
  if (first > 0) result.growth_percent = (last - first) / first * 100.0;
  return result;
}

struct FfmpegRun {
  bool ok = false;
  double fps = 0;             // frames encoded per wall second
  double cpu_per_second = 0;  // CPU seconds per second of video
};

// The same scene and the same libvpx settings as the recorder's writer,
// through the ffmpeg command line with |threads| encoder threads, as fast
// as it goes, for at most |wall_limit| seconds.
FfmpegRun Ffmpeg(int threads, int seconds, double wall_limit, const std::string& work) {
  const std::string script_path = work + "/empty";
  std::ofstream(script_path).close();
  const std::string t = std::to_string(seconds);
  const std::string out = work + "/bench_ffmpeg.webm";
  Run run = RunMeasured(
      {"/usr/bin/ffmpeg", "-y", "-nostdin", "-f", "lavfi", "-i",
       "testsrc2=s=1920x1080:r=30:d=" + t, "-f", "lavfi", "-i", "testsrc2=s=640x480:r=30:d=" + t,
       "-f", "lavfi", "-i", "sine=f=440:r=48000:d=" + t, "-f", "lavfi", "-i",
       "sine=f=660:r=48000:d=" + t, "-filter_complex",
       "[1]scale=432:324[c];[0][c]overlay=W-w:H-h[v];[3]volume=0.5[b];[2][b]amix[a]", "-map",
       "[v]", "-map", "[a]", "-c:v", "libvpx", "-deadline", "realtime", "-cpu-used", "16",
       "-crf", "10", "-qmin", "0", "-qmax", "30", "-b:v", "0", "-threads",
       std::to_string(threads), "-c:a", "libopus", out},
      script_path, work, wall_limit);
  FfmpegRun result;
  int frames = 0;
  double video_seconds = 0;
  if (!run.ok || !CountVideo(out, &frames, &video_seconds) || frames == 0) return result;
  result.ok = true;
  result.fps = frames / std::max(run.wall_seconds, 1e-3);
  result.cpu_per_second = run.cpu_seconds / (frames / 30.0);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 30;
  int load = 0;
  std::string build = KELMORA_BUILD_DIR;
  std::string work = std::string(KELMORA_BUILD_DIR) + "/recording_bench_work";
  std::vector<std::string> encoders = {"default", "libvpx"};
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--seconds" && i + 1 < argc) {
      seconds = std::atoi(argv[++i]);
    } else if (arg == "--load" && i + 1 < argc) {
      load = std::atoi(argv[++i]);
    } else if (arg == "--work" && i + 1 < argc) {
      work = argv[++i];
    } else if (arg == "--build" && i + 1 < argc) {
      build = argv[++i];
    } else if (arg == "--encoders" && i + 1 < argc) {
      encoders.clear();
      std::stringstream list(argv[++i]);
      std::string name;
      while (std::getline(list, name, ',')) encoders.push_back(name);
    } else {
      fprintf(stderr,
              "usage: recording_bench [--seconds N] [--load N] [--encoders default,libvpx] "
              "[--build DIR] [--work DIR]\n");
      return 2;
    }
  }
  if (seconds < 1) seconds = 1;
  if (load < 0) load = 0;
  mkdir(work.c_str(), 0755);

  const double load_before = LoadAverage();
  BusyLoops loops(load);
  bool ok = true;
  std::vector<Recording> recordings;
  for (const std::string& encoder : encoders) {
    recordings.push_back(Record(encoder == "default" ? "" : encoder, seconds, build, work));
    ok = ok && recordings.back().ok;
  }
  // ffmpeg's rate is a rate: a bounded run measures it, long enough for
  // its start-up not to count on a loaded machine.
  const double ffmpeg_wall = 20;
  FfmpegRun best;
  int best_threads = 0;
  std::vector<std::pair<int, FfmpegRun>> ffmpeg_runs;
  for (int threads : {1, 2, 4}) {
    FfmpegRun run = Ffmpeg(threads, seconds, ffmpeg_wall, work);
    ffmpeg_runs.emplace_back(threads, run);
    if (run.ok && run.fps > best.fps) {
      best = run;
      best_threads = threads;
    }
  }
  const double load_after = LoadAverage();
  const double best_rate = std::min(best.fps, 30.0);

  printf("recording %d s of 1920x1080+640x480 30 fps, 2 audio; %d busy loops; "
         "load average %.1f before, %.1f after\n",
         seconds, load, load_before, load_after);
  printf("%-10s %12s %6s %10s %10s %8s %9s %12s\n", "encoder", "fps-in-file", "lost",
         "cpu-s/s", "vs-ffmpeg", "peak-MiB", "growth-%", "kept/ffmpeg");
  for (const Recording& r : recordings) {
    if (!r.ok) {
      printf("%-10s failed\n", r.label.c_str());
      continue;
    }
    printf("%-10s %12.1f %6d %10.2f %9.2fx %8.0f %9.1f %11.2fx\n", r.label.c_str(), r.fps,
           r.lost, r.cpu_per_second,
           best.cpu_per_second > 0 ? r.cpu_per_second / best.cpu_per_second : 0.0, r.peak_mib,
           r.growth_percent, best_rate > 0 ? r.fps / best_rate : 0.0);
  }
  for (const auto& entry : ffmpeg_runs) {
    const FfmpegRun& run = entry.second;
    char label[16];
    snprintf(label, sizeof(label), "ffmpeg-t%d", entry.first);
    printf("%-10s %12.1f %6s %10.2f %10s %8s %9s %12s%s\n", label, run.ok ? run.fps : 0.0, "-",
           run.cpu_per_second, "-", "-", "-", "-",
           entry.first == best_threads ? "  <- best" : "");
  }
  printf("best ffmpeg rate (capped at 30): %.1f fps\n", best_rate);
  return ok ? 0 : 1;
}
