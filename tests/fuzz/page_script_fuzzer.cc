// Plays generated page scripts against both modules through plugin-host
// and fails on anything a page must never see: a crash report, a sanitizer
// report, a crash, a hang, or a script the host had to refuse (a fault of
// the generator). Every failing script is kept with its output, and its
// seed printed, so that `--print SEED` gives it back.
//
//   page_script_fuzzer --build DIR [--module encoder|edit|both]
//                      [--scripts N] [--seconds S] [--seed FIRST] [--jobs J]
//                      [--keep DIR] [--timeout-ms MS]
//   page_script_fuzzer --print SEED --module encoder|edit
//
// Runs until N scripts per module have run or S seconds have passed
// (whichever comes first; both bound the run). Threads: the main thread
// and J runner threads, each playing one script at a time.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "page_script_generator.h"
#include "src/edit_test_media.h"
#include "support/run_program.h"

namespace {

namespace fs = std::filesystem;
using kelmora::fuzz::PageScriptGenerator;

const char kEditInput[] = "/html5_persistent/in.mkv";

struct Options {
  std::string build;
  std::vector<std::string> modules = {"encoder", "edit"};
  long scripts = 100;
  double seconds = 60;
  uint64_t seed = 1;
  int jobs = 4;
  std::string keep;
  int timeout_ms = 120000;
  bool print = false;
};

std::vector<std::string> MakeScript(const std::string& module, uint64_t seed) {
  PageScriptGenerator generator(seed, kEditInput);
  return module == "edit" ? generator.EditScript() : generator.EncoderScript();
}

std::string Join(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

// Why the run failed, or "" when it passed.
std::string Verdict(const kelmora_test::ProgramResult& result, bool timed_out) {
  if (timed_out) return "hang";
  for (const char* report : {"AddressSanitizer", "LeakSanitizer", "runtime error:",
                             "UndefinedBehaviorSanitizer", "ThreadSanitizer"}) {
    if (result.err.find(report) != std::string::npos ||
        result.out.find(report) != std::string::npos) {
      return std::string("sanitizer report (") + report + ")";
    }
  }
  if (result.out.find("\"type\":\"stack_trace\"") != std::string::npos ||
      result.out.find("\"type\": \"stack_trace\"") != std::string::npos) {
    return "stack_trace";
  }
  if (result.term_signal != 0) return "killed by signal " + std::to_string(result.term_signal);
  if (result.exit_code != 0) {
    const size_t at = result.err.find("plugin-host: line");
    if (at != std::string::npos) {
      return "script refused: " + result.err.substr(at, result.err.find('\n', at) - at);
    }
    return "exit status " + std::to_string(result.exit_code);
  }
  return "";
}

class Fuzzer {
 public:
  explicit Fuzzer(const Options& options) : options_(options) {}

  bool Prepare() {
    char pattern[] = "/tmp/page_script_fuzz.XXXXXX";
    if (!mkdtemp(pattern)) return false;
    work_ = pattern;
    kelmora::edit_test::TestMediaSpec spec;
    spec.videos = {{64, 48}};
    spec.audio = true;
    spec.frame_count = 25;
    input_ = work_ + "/in.mkv";
    const std::string error = kelmora::edit_test::WriteTestMedia(input_, spec);
    if (!error.empty()) {
      std::cerr << "page_script_fuzzer: cannot write the edit input: " << error << "\n";
      return false;
    }
    return true;
  }

  ~Fuzzer() {
    std::error_code ignored;
    if (!work_.empty()) fs::remove_all(work_, ignored);
  }

  // Plays the module's scripts; true when every one passed.
  bool Run(const std::string& module) {
    next_ = 0;
    passed_ = 0;
    failed_ = 0;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long>(options_.seconds * 1000));
    std::vector<std::thread> runners;
    for (int i = 0; i < options_.jobs; ++i) {
      runners.emplace_back([this, &module, deadline] {
        for (;;) {
          const long index = next_++;
          if (index >= options_.scripts || std::chrono::steady_clock::now() >= deadline) return;
          PlayOne(module, options_.seed + index);
        }
      });
    }
    for (std::thread& runner : runners) runner.join();
    printf("page_script_fuzzer: %s: %ld scripts, %ld passed, %ld failed (seeds from %llu)\n",
           module.c_str(), passed_.load() + failed_.load(), passed_.load(), failed_.load(),
           static_cast<unsigned long long>(options_.seed));
    fflush(stdout);
    return failed_ == 0;
  }

 private:
  void PlayOne(const std::string& module, uint64_t seed) {
    const std::vector<std::string> script = MakeScript(module, seed);
    const std::string dir = work_ + "/" + module + "-" + std::to_string(seed);
    std::error_code ignored;
    fs::create_directories(dir + "/persistent", ignored);
    fs::create_directories(dir + "/temporary", ignored);
    if (module == "edit") fs::copy_file(input_, dir + "/persistent/in.mkv", ignored);
    const std::vector<std::string> argv = {
        options_.build + "/plugin-host", options_.build + "/" + module + "_module.so",
        "--persistent", dir + "/persistent", "--temporary", dir + "/temporary"};
    const auto began = std::chrono::steady_clock::now();
    kelmora_test::ProgramResult result =
        kelmora_test::RunProgram(argv, Join(script), dir, options_.timeout_ms);
    const bool timed_out =
        result.term_signal == SIGKILL &&
        std::chrono::steady_clock::now() - began >= std::chrono::milliseconds(options_.timeout_ms);
    const std::string verdict = Verdict(result, timed_out);
    fs::remove_all(dir, ignored);
    if (verdict.empty()) {
      ++passed_;
      return;
    }
    ++failed_;
    std::lock_guard<std::mutex> lock(report_mutex_);
    printf("FAILED %s seed %llu: %s\n", module.c_str(), static_cast<unsigned long long>(seed),
           verdict.c_str());
    if (!options_.keep.empty()) {
      fs::create_directories(options_.keep, ignored);
      const std::string base = options_.keep + "/" + module + "-" + std::to_string(seed);
      std::ofstream(base + ".jsonl") << Join(script);
      std::ofstream(base + ".log") << "exit " << result.exit_code << " signal "
                                   << result.term_signal << "\n--- stdout\n"
                                   << result.out << "\n--- stderr\n"
                                   << result.err;
      printf("  kept as %s.jsonl and .log\n", base.c_str());
    }
    fflush(stdout);
  }

  const Options options_;
  std::string work_;
  std::string input_;
  std::atomic<long> next_{0};
  std::atomic<long> passed_{0};
  std::atomic<long> failed_{0};
  std::mutex report_mutex_;
};

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    if (arg == "--build") {
      // The host runs in a directory of its own.
      options->build = fs::absolute(value).string();
    } else if (arg == "--module") {
      if (value == "both") continue;
      if (value != "encoder" && value != "edit") return false;
      options->modules = {value};
    } else if (arg == "--scripts") {
      options->scripts = std::stol(value);
    } else if (arg == "--seconds") {
      options->seconds = std::stod(value);
    } else if (arg == "--seed") {
      options->seed = std::stoull(value);
    } else if (arg == "--jobs") {
      options->jobs = std::max(1, std::stoi(value));
    } else if (arg == "--keep") {
      options->keep = value;
    } else if (arg == "--timeout-ms") {
      options->timeout_ms = std::stoi(value);
    } else if (arg == "--print") {
      options->print = true;
      options->seed = std::stoull(value);
    } else {
      return false;
    }
  }
  return options->print ? options->modules.size() == 1 : !options->build.empty();
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    fprintf(stderr,
            "usage: page_script_fuzzer --build DIR [--module encoder|edit|both] [--scripts N]\n"
            "         [--seconds S] [--seed FIRST] [--jobs J] [--keep DIR] [--timeout-ms MS]\n"
            "       page_script_fuzzer --print SEED --module encoder|edit\n");
    return 2;
  }
  if (options.print) {
    printf("%s", Join(MakeScript(options.modules[0], options.seed)).c_str());
    return 0;
  }
  Fuzzer fuzzer(options);
  if (!fuzzer.Prepare()) return 1;
  bool ok = true;
  for (const std::string& module : options.modules) ok = fuzzer.Run(module) && ok;
  return ok ? 0 : 1;
}
