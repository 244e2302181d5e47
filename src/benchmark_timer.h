#ifndef KELMORA_BENCHMARK_TIMER_H_
#define KELMORA_BENCHMARK_TIMER_H_

#include <chrono>

namespace kelmora {

// Measuring aid: prints the wall time between two reports.
class BenchmarkTimer {
 public:
  BenchmarkTimer();

  // Prints "benchmark(<name>): <ms>\n" for the time since the construction
  // or the previous report, and starts the next interval.
  void Report(const char* name);

 private:
  std::chrono::system_clock::rep last_;  // system clock ticks
};

}  // namespace kelmora

#endif  // KELMORA_BENCHMARK_TIMER_H_
