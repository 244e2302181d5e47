// Records generated sources through the recording pipeline (VideoRecorder
// with a camera and two audio tracks: crop-free 1080p30 main picture, a
// 640x480 camera in the bottom right corner, both tones mixed, libvpx
// realtime and Opus into WebM) as fast as it takes them, and has the ffmpeg
// command line do the same work: the same lavfi sources, the same graph, the
// same encoder settings. Prints CPU time, wall time and peak resident memory
// of both, and their ratios.
//
//   recording_pipeline_bench [seconds] [work_dir] [encoder_threads]
//
// Without encoder_threads the recorder's own share of the processors is
// used. On a busy machine give 1: libvpx's threads spin while they wait for
// each other, and the spinning, not the work, then decides the CPU time.
//
// Each side runs in a child process, so that its CPU time and peak memory
// are its own; both run at the same time. A second pair of runs only
// generates the sources, so that the pipelines can also be compared without
// them.

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavutil/imgutils.h>
}

#include "av_holders.h"
#include "raw_video_writer.h"
#include "simple_video_writer.h"
#include "utils.h"
#include "video_recorder.h"

namespace {

constexpr int kFps = 30;
constexpr int kSampleRate = 48000;
constexpr int kAudioFrame = 1024;

const char kMainSource[] = "testsrc2=size=1920x1080:rate=30,format=yuv420p";
const char kCamSource[] = "testsrc2=size=640x480:rate=30,format=yuv420p";
const char kTone1Source[] =
    "sine=frequency=440:sample_rate=48000,"
    "aformat=sample_fmts=s16:channel_layouts=stereo";
const char kTone2Source[] =
    "sine=frequency=1000:sample_rate=48000,"
    "aformat=sample_fmts=s16:channel_layouts=stereo";

// One lavfi source chain ending in a sink, pulled a frame at a time.
class Source {
 public:
  struct GraphDeleter {
    void operator()(AVFilterGraph* graph) const { avfilter_graph_free(&graph); }
  };

  bool Open(const char* chain, bool audio) {
    graph_.reset(avfilter_graph_alloc());
    if (!graph_) return false;
    const std::string text = std::string(chain) + (audio ? ",abuffersink" : ",buffersink");
    AVFilterInOut* inputs = nullptr;
    AVFilterInOut* outputs = nullptr;
    int result = avfilter_graph_parse2(graph_.get(), text.c_str(), &inputs, &outputs);
    avfilter_inout_free(&inputs);
    avfilter_inout_free(&outputs);
    if (result < 0) {
      kelmora::LogAvError("parse source graph", result);
      return false;
    }
    result = avfilter_graph_config(graph_.get(), nullptr);
    if (result < 0) {
      kelmora::LogAvError("configure source graph", result);
      return false;
    }
    for (unsigned i = 0; i < graph_->nb_filters; ++i) {
      if (graph_->filters[i]->nb_outputs == 0) sink_ = graph_->filters[i];
    }
    if (!sink_) return false;
    if (audio) av_buffersink_set_frame_size(sink_, kAudioFrame);
    frame_.reset(av_frame_alloc());
    return frame_ != nullptr;
  }

  // The next frame, valid until the next call.
  AVFrame* Next() {
    av_frame_unref(frame_.get());
    int result = av_buffersink_get_frame(sink_, frame_.get());
    if (result < 0) {
      kelmora::LogAvError("pull source frame", result);
      exit(1);
    }
    return frame_.get();
  }

 private:
  std::unique_ptr<AVFilterGraph, GraphDeleter> graph_;
  AVFilterContext* sink_ = nullptr;
  kelmora::FramePtr frame_;
};

// A track's two picture buffers: the browser packs each new picture into a
// free one, and the buffer is free again when its last holder lets go.
class Track {
 public:
  explicit Track(int size) {
    for (int i = 0; i < 2; ++i) {
      free_.push_back(std::make_shared<std::vector<uint8_t>>(size));
    }
  }

  kelmora::SharedPicture Pack(const AVFrame* frame) {
    if (free_.empty()) {
      fprintf(stderr, "track has no free buffer\n");
      exit(1);
    }
    std::shared_ptr<std::vector<uint8_t>> buffer = free_.back();
    free_.pop_back();
    av_image_copy_to_buffer(buffer->data(), static_cast<int>(buffer->size()),
                            frame->data, frame->linesize,
                            static_cast<AVPixelFormat>(frame->format),
                            frame->width, frame->height, 1);
    return kelmora::SharedPicture(buffer->data(), [this, buffer](const uint8_t*) {
      free_.push_back(buffer);
    });
  }

 private:
  std::vector<std::shared_ptr<std::vector<uint8_t>>> free_;
};

struct Sources {
  Source main, cam, tone1, tone2;
  bool Open() {
    return main.Open(kMainSource, false) && cam.Open(kCamSource, false) &&
           tone1.Open(kTone1Source, true) && tone2.Open(kTone2Source, true);
  }
};

// The recording the way the recording instance drives it: per main
// picture, the held camera picture (copied) and the main picture (lent) go
// in at the same timestamp, whole audio frames up to that time are added, and the
// graph is drained. Without a recorder only the sources run.
int RunProject(int seconds, const std::string& output, bool record, float thread_factor) {
  Sources sources;
  if (!sources.Open()) return 1;
  Track main_track(av_image_get_buffer_size(AV_PIX_FMT_YUV420P, 1920, 1080, 1));
  Track cam_track(av_image_get_buffer_size(AV_PIX_FMT_YUV420P, 640, 480, 1));

  std::unique_ptr<kelmora::VideoRecorder> recorder;
  if (record) {
    recorder.reset(new kelmora::VideoRecorder());
    recorder->filename_ = output;
    recorder->video_codec_ = "libvpx";
    recorder->main_size_ = kelmora::Size{1920, 1080};
    recorder->cam_enabled_ = true;
    recorder->cam_size_ = kelmora::Size{640, 480};
    recorder->audio_enabled_ = true;
    recorder->sample_rate_ = kSampleRate;
    recorder->audio2_enabled_ = true;
    recorder->sample_rate2_ = kSampleRate;
    recorder->thread_factor_ = thread_factor;
    if (!recorder->Init()) return 1;
  }

  int64_t samples = 0;
  {
    kelmora::SharedPicture last_main, cam_held;
    for (int i = 0; i < seconds * kFps; ++i) {
      const int64_t pts = i * 1000 / kFps;
      cam_held = cam_track.Pack(sources.cam.Next());
      last_main.reset();
      last_main = main_track.Pack(sources.main.Next());
      // The camera picture is copied, the main picture lent.
      if (recorder && (recorder->AddCamFrame(const_cast<uint8_t*>(cam_held.get()), pts) != 0 ||
                       recorder->LendFrame(last_main, pts) != 0)) {
        return 1;
      }
      const int64_t due = static_cast<int64_t>(i + 1) * kSampleRate / kFps;
      for (; samples + kAudioFrame <= due; samples += kAudioFrame) {
        const AVFrame* a = sources.tone1.Next();
        const AVFrame* b = sources.tone2.Next();
        if (recorder &&
            (recorder->AddAudio(reinterpret_cast<const int16_t*>(a->data[0]), kAudioFrame) != 0 ||
             recorder->AddAudio2(reinterpret_cast<const int16_t*>(b->data[0]), kAudioFrame) != 0)) {
          return 1;
        }
      }
      if (recorder && recorder->FilterAvailable() < 0) return 1;
    }
  }
  if (recorder && recorder->Close() != 0) return 1;
  return 0;
}

// The same work on the ffmpeg command line.
std::vector<std::string> FfmpegArguments(int seconds, const std::string& output,
                                         bool record, int threads) {
  const std::string duration = ":duration=" + std::to_string(seconds);
  const auto with_duration = [&duration](const std::string& chain) {
    // The duration belongs to the source filter, before the first comma.
    const size_t comma = chain.find(',');
    return chain.substr(0, comma) + duration + chain.substr(comma);
  };
  std::vector<std::string> args = {"ffmpeg", "-hide_banner", "-nostdin",
                                   "-loglevel", "error", "-y"};
  for (const char* source : {kMainSource, kCamSource, kTone1Source, kTone2Source}) {
    args.insert(args.end(), {"-f", "lavfi", "-i", with_duration(source)});
  }
  if (!record) {
    args.insert(args.end(), {"-map", "0", "-map", "1", "-map", "2", "-map", "3",
                             "-c", "copy", "-f", "null", "-"});
    return args;
  }
  args.insert(args.end(), {
      "-filter_complex",
      "[0:v]null[main],[main][1:v]overlay=x=main_w-overlay_w:y=main_h-overlay_h,"
      "format=yuv420p[out];[2:a][3:a]amix,anull[aout]",
      "-map", "[out]", "-map", "[aout]",
      "-c:v", "libvpx", "-deadline", "realtime", "-cpu-used", "16",
      "-qmin", "0", "-qmax", "30", "-crf", "10", "-b:v", "0",
      "-threads", std::to_string(threads), "-enc_time_base:v", "1:1000",
      "-c:a", "libopus", "-b:a", "112k", "-vbr", "on",
      "-application", "audio", "-compression_level", "0",
      output});
  return args;
}

struct Usage {
  bool ok = false;
  double cpu_s = 0;
  double wall_s = 0;
  double peak_mib = 0;
};

// Starts `body` in a child, or execs `args` when given.
template <typename Body>
pid_t Start(Body body, const std::vector<std::string>* args) {
  const pid_t child = fork();
  if (child < 0) {
    perror("fork");
    return child;
  }
  if (child == 0) {
    if (args) {
      std::vector<char*> argv;
      for (const std::string& arg : *args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      perror("exec ffmpeg");
      _exit(127);
    }
    // The recorder prints its graph and settings; keep the table readable.
    if (!freopen("/dev/null", "w", stdout)) _exit(1);
    _exit(body());
  }
  return child;
}

// Runs the project's side and ffmpeg's side at the same time, so that both
// meet the same load on a shared machine (libvpx's threads spin while they
// wait for each other, so a busier machine costs CPU time), and measures
// each child on its own.
template <typename Body>
void MeasurePair(Body body, const std::vector<std::string>& args, Usage* project,
                 Usage* ffmpeg) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t children[2] = {Start(body, nullptr), Start(body, &args)};
  Usage* usages[2] = {project, ffmpeg};
  for (int waited = 0; waited < 2; ++waited) {
    int status = 0;
    struct rusage ru;
    const pid_t child = wait4(-1, &status, 0, &ru);
    if (child < 0) return;
    Usage* usage = child == children[0] ? usages[0] : child == children[1] ? usages[1] : nullptr;
    if (!usage) continue;
    usage->wall_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    usage->cpu_s = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec +
                   ru.ru_stime.tv_usec / 1e6;
    usage->peak_mib = ru.ru_maxrss / 1024.0;
    usage->ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
}

void PrintRow(const char* what, const Usage& project, const Usage& ffmpeg) {
  printf("%-26s %10.2f %10.2f %8.3fx\n", what, project.cpu_s, ffmpeg.cpu_s,
         project.cpu_s / ffmpeg.cpu_s);
}

long long FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? atoi(argv[1]) : 20;
  const std::string dir = argc > 2 ? argv[2] : "/tmp";
  if (seconds <= 0) {
    fprintf(stderr, "usage: %s [seconds] [work_dir]\n", argv[0]);
    return 2;
  }
  const long processors = sysconf(_SC_NPROCESSORS_ONLN);
  float thread_factor = kelmora::VideoRecorder().thread_factor_;
  if (argc > 3) thread_factor = atoi(argv[3]) / static_cast<float>(processors);
  const int threads = kelmora::SimpleVideoWriter::ThreadCount(processors, thread_factor);
  const std::string ours = dir + "/recording_pipeline_bench_project.webm";
  const std::string theirs = dir + "/recording_pipeline_bench_ffmpeg.webm";

  const std::vector<std::string> record_args = FfmpegArguments(seconds, theirs, true, threads);
  const std::vector<std::string> source_args = FfmpegArguments(seconds, "", false, threads);
  const auto record = [&] { return RunProject(seconds, ours, true, thread_factor); };
  const auto sources_only = [&] { return RunProject(seconds, "", false, thread_factor); };

  Usage project, ffmpeg, project_sources, ffmpeg_sources;
  MeasurePair(record, record_args, &project, &ffmpeg);
  MeasurePair(sources_only, source_args, &project_sources, &ffmpeg_sources);
  if (!project.ok || !ffmpeg.ok || !project_sources.ok || !ffmpeg_sources.ok) {
    fprintf(stderr, "a run failed: project %d, ffmpeg %d, sources %d/%d\n", project.ok,
            ffmpeg.ok, project_sources.ok, ffmpeg_sources.ok);
    return 1;
  }

  printf("recording %d s: 1920x1080 at %d fps + 640x480 camera + two tones, "
         "libvpx realtime (%d threads) + Opus\n", seconds, kFps, threads);
  printf("%-26s %10s %10s %9s\n", "", "project", "ffmpeg", "ratio");
  PrintRow("CPU time (s)", project, ffmpeg);
  Usage project_pipeline = project, ffmpeg_pipeline = ffmpeg;
  project_pipeline.cpu_s -= project_sources.cpu_s;
  ffmpeg_pipeline.cpu_s -= ffmpeg_sources.cpu_s;
  PrintRow("CPU time, sources out (s)", project_pipeline, ffmpeg_pipeline);
  printf("%-26s %10.2f %10.2f %8.3fx\n", "wall time (s)", project.wall_s, ffmpeg.wall_s,
         project.wall_s / ffmpeg.wall_s);
  printf("%-26s %10.1f %10.1f %8.3fx\n", "peak resident (MiB)", project.peak_mib,
         ffmpeg.peak_mib, project.peak_mib / ffmpeg.peak_mib);
  printf("%-26s %10lld %10lld\n", "file size (bytes)", FileSize(ours), FileSize(theirs));
  unlink(ours.c_str());
  unlink(theirs.c_str());
  return 0;
}
