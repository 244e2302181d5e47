// Edits a 60 s 1920x1080 30 fps VP8/Opus WebM (trim 5-45 s, crop 1800x1000,
// box 1280x720, 30 fps, MP4) through plugin-host and edit_module, and the
// same edit with the ffmpeg command line (same filter graph, same encoder
// settings), side by side; prints wall time, CPU time and peak memory of
// both and their ratios on one summary line.
//   edit_bench [runs]
// Run from the build tree; the input is made there once (bench_media/).
// Each side's best wall time of |runs| counts.

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <json/json.h>

namespace {

const char kInputName[] = "edit_bench_input.webm";
// Left and top of the crop: the 1800 x 1000 region in the middle.
constexpr int kCropLeft = 60;
constexpr int kCropTop = 40;

struct Usage {
  double wall_s = 0;
  double cpu_s = 0;
  long peak_kb = 0;
  int status = -1;
};

// Runs |argv| in |cwd| with its standard output into |output_path|
// (empty: thrown away) and its standard error into run.log; the child's own
// resource use.
Usage Run(const std::vector<std::string>& argv, const std::string& cwd,
          const std::string& output_path = "") {
  Usage usage;
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(126);
    if (!freopen("/dev/null", "r", stdin)) _exit(126);
    if (!freopen(output_path.empty() ? "/dev/null" : output_path.c_str(), "w", stdout) ||
        !freopen("run.log", "w", stderr)) {
      _exit(126);
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  struct rusage resources {};
  wait4(pid, &status, 0, &resources);
  usage.wall_s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  usage.cpu_s = resources.ru_utime.tv_sec + resources.ru_utime.tv_usec / 1e6 +
                resources.ru_stime.tv_sec + resources.ru_stime.tv_usec / 1e6;
  usage.peak_kb = resources.ru_maxrss;
  usage.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return usage;
}

bool Exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// The input as the recorder writes it: VP8 and Opus. Written under another
// name and renamed when whole, so an interrupted run leaves no short input;
// that name says nothing of the format, hence "-f webm".
bool MakeInput(const std::string& path) {
  if (Exists(path)) return true;
  fprintf(stderr, "edit_bench: making %s once with ffmpeg\n", path.c_str());
  std::string dir = path.substr(0, path.rfind('/'));
  Usage made = Run({"ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    "testsrc2=s=1920x1080:r=30:d=60", "-f", "lavfi", "-i",
                    "sine=frequency=440:sample_rate=48000:duration=60", "-ac", "2", "-c:v",
                    "libvpx", "-deadline", "realtime", "-cpu-used", "8", "-b:v", "4M", "-threads",
                    "1", "-c:a", "libopus", "-shortest", "-f", "webm", path + ".part"},
                   dir);
  return made.status == 0 && rename((path + ".part").c_str(), path.c_str()) == 0;
}

// The graph text that the module printed ("using edit graph: ...") in the
// page's messages, with the module's file system path made the host's, and
// the sinks' format filters and labels that the command line needs.
std::string FfmpegGraph(const std::string& messages_path, const std::string& persistent) {
  std::ifstream messages(messages_path);
  const std::string prefix = "using edit graph: ";
  std::string line;
  while (std::getline(messages, line)) {
    Json::Value message;
    Json::Reader reader;
    if (!reader.parse(line, message) || message["type"].asString() != "tty") continue;
    std::string text = message["data"].asString();
    if (text.compare(0, prefix.size(), prefix) != 0) continue;
    text = text.substr(prefix.size());
    if (!text.empty() && text.back() == '\n') text.pop_back();
    const std::string mount = "/html5_persistent/";
    for (size_t at = text.find(mount); at != std::string::npos; at = text.find(mount, at)) {
      text.replace(at, mount.size(), persistent + "/");
      at += persistent.size() + 1;
    }
    const size_t split = text.find(';');
    if (split == std::string::npos) return "";
    return text.substr(0, split) + ",format=pix_fmts=yuv420p[v];" + text.substr(split + 1) +
           ",aformat=sample_fmts=fltp:channel_layouts=stereo[a]";
  }
  return "";
}

// The writer's x264 threads: half the online processors, rounded up.
int WriterThreads() {
  long processors = sysconf(_SC_NPROCESSORS_ONLN);
  return static_cast<int>((processors + 1) / 2);
}

void Print(const char* name, const Usage& usage) {
  printf("%s: wall %.2f s, cpu %.2f s, peak %.0f MB\n", name, usage.wall_s, usage.cpu_s,
         usage.peak_kb / 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 1;
  char cwd_buffer[4096];
  if (!getcwd(cwd_buffer, sizeof(cwd_buffer))) return 1;
  const std::string build = cwd_buffer;
  const std::string media = build + "/bench_media";
  const std::string work = media + "/work";
  mkdir(media.c_str(), 0755);
  mkdir(work.c_str(), 0755);
  const std::string persistent = work + "/persistent";
  mkdir(persistent.c_str(), 0755);
  const std::string input = media + "/" + kInputName;
  if (!Exists(build + "/plugin-host") || !Exists(build + "/edit_module.so")) {
    fprintf(stderr, "edit_bench: run from the build tree after building plugin-host and edit_module\n");
    return 1;
  }
  if (!MakeInput(input)) {
    fprintf(stderr, "edit_bench: could not make the input\n");
    return 1;
  }
  const std::string linked = persistent + "/" + kInputName;
  unlink(linked.c_str());
  // A hard link: no path may lead out of a mount.
  if (link(input.c_str(), linked.c_str()) != 0) return 1;

  const std::string config =
      "{\\\"inFilename\\\": \\\"/html5_persistent/" + std::string(kInputName) +
      "\\\", \\\"outFilename\\\": \\\"/html5_persistent/edit.mp4\\\", \\\"outFormat\\\": \\\"mp4\\\", "
      "\\\"trim\\\": {\\\"start\\\": 5, \\\"end\\\": 45}, "
      "\\\"crop\\\": {\\\"left\\\": " + std::to_string(kCropLeft) + ", \\\"top\\\": " +
      std::to_string(kCropTop) + ", \\\"width\\\": 1800, \\\"height\\\": 1000}, "
      "\\\"scale\\\": {\\\"width\\\": 1280, \\\"height\\\": 720}, \\\"fps\\\": 30}";
  const std::string script_path = work + "/edit.jsonl";
  {
    std::ofstream script(script_path);
    script << "{\"type\": \"start\", \"data\": {\"chromeVersion\": 60, \"config\": \"" << config
           << "\"}}\n"
           << "{\"$await\": \"start\", \"match\": false, \"timeout_ms\": 60000}\n"
           << "{\"$await\": \"state\", \"match\": {\"state\": \"done\"}, \"timeout_ms\": 600000}\n";
  }
  const std::vector<std::string> module_command = {
      build + "/plugin-host", build + "/edit_module.so", "--persistent", persistent,
      "--temporary", work + "/temporary", script_path};
  const std::string messages_path = work + "/messages.jsonl";
  std::vector<std::string> ffmpeg_command = {
      "ffmpeg", "-hide_banner", "-nostdin", "-y", "-filter_complex", "",
      "-map", "[v]", "-map", "[a]",
      "-c:v", "libx264", "-preset", "ultrafast", "-crf", "24", "-profile:v", "baseline",
      "-level", "30", "-threads", std::to_string(WriterThreads()),
      "-c:a", "aac", "-q:a", "4", "-b:a", "128k", "-f", "mp4", work + "/ffmpeg.mp4"};

  Usage module_best, ffmpeg_best;
  module_best.wall_s = ffmpeg_best.wall_s = 1e9;
  for (int i = 0; i < runs; ++i) {
    Usage module = Run(module_command, work, messages_path);
    if (module.status != 0) {
      fprintf(stderr, "edit_bench: plugin-host failed; see %s\n", messages_path.c_str());
      return 1;
    }
    ffmpeg_command[5] = FfmpegGraph(messages_path, persistent);
    if (ffmpeg_command[5].empty()) {
      fprintf(stderr, "edit_bench: no edit graph with audio in %s\n", messages_path.c_str());
      return 1;
    }
    Usage ffmpeg = Run(ffmpeg_command, work);
    if (ffmpeg.status != 0) {
      fprintf(stderr, "edit_bench: ffmpeg failed; see %s/run.log\n", work.c_str());
      return 1;
    }
    if (module.wall_s < module_best.wall_s) module_best = module;
    if (ffmpeg.wall_s < ffmpeg_best.wall_s) ffmpeg_best = ffmpeg;
  }
  Print("plugin-host edit_module", module_best);
  Print("ffmpeg command line    ", ffmpeg_best);
  printf("filter graph: %s\n", ffmpeg_command[5].c_str());
  printf("edit_bench: wall %.2f s vs %.2f s (ratio %.3f), cpu %.2f s vs %.2f s (ratio %.3f), "
         "peak %.0f MB vs %.0f MB (ratio %.3f)\n",
         module_best.wall_s, ffmpeg_best.wall_s, module_best.wall_s / ffmpeg_best.wall_s,
         module_best.cpu_s, ffmpeg_best.cpu_s, module_best.cpu_s / ffmpeg_best.cpu_s,
         module_best.peak_kb / 1024.0, ffmpeg_best.peak_kb / 1024.0,
         static_cast<double>(module_best.peak_kb) / ffmpeg_best.peak_kb);
  return 0;
}
