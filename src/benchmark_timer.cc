#include "benchmark_timer.h"

#include <cstdio>

namespace kelmora {

namespace {
std::chrono::system_clock::rep Reading() {
  return std::chrono::system_clock::now().time_since_epoch().count();
}
}  // namespace

BenchmarkTimer::BenchmarkTimer() : last_(Reading()) {}

void BenchmarkTimer::Report(const char* name) {
  std::chrono::system_clock::rep now = Reading();
  printf("benchmark(%s): %f\n", name, (now - last_) / 1000000.0);
  last_ = now;
}

}  // namespace kelmora
