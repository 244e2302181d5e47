#ifndef KELMORA_BENCH_BUSY_LOOPS_H_
#define KELMORA_BENCH_BUSY_LOOPS_H_

// Load for the benchmarks: N processes that only spin, until the object
// goes.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <vector>

class BusyLoops {
 public:
  explicit BusyLoops(int count) {
    for (int i = 0; i < count; ++i) {
      pid_t pid = fork();
      if (pid == 0) {
        volatile unsigned long spin = 0;
        for (;;) spin = spin + 1;
      }
      if (pid > 0) pids_.push_back(pid);
    }
  }
  ~BusyLoops() {
    for (pid_t pid : pids_) kill(pid, SIGKILL);
    for (pid_t pid : pids_) waitpid(pid, nullptr, 0);
  }
  BusyLoops(const BusyLoops&) = delete;
  BusyLoops& operator=(const BusyLoops&) = delete;

 private:
  std::vector<pid_t> pids_;
};

// The machine's one-minute load average, printed beside each result.
inline double LoadAverage() {
  std::ifstream in("/proc/loadavg");
  double value = 0;
  in >> value;
  return value;
}

#endif  // KELMORA_BENCH_BUSY_LOOPS_H_
