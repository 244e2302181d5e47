#include "ticker_timer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "ppapi/cpp/module.h"

#include "base_clock.h"
#include "benchmark_timer.h"
#include "core_clock.h"

namespace kelmora {
namespace {

// A clock the test moves by hand.
class ManualClock : public BaseClock {
 public:
  int64_t Now() override { return now; }
  int64_t now = 0;
};

// Stands in for the browser core: only the tick reading in seconds.
struct FakeCore {
  double GetTimeTicks() { return ticks; }
  double ticks = 0.0;
};

TEST(CoreClockTest, ConvertsSecondsToMillisecondsTruncating) {
  FakeCore core;
  CoreClock<FakeCore> clock(&core);
  core.ticks = 12.3456;
  EXPECT_EQ(clock.Now(), 12345);
  core.ticks = 0.0009;
  EXPECT_EQ(clock.Now(), 0);
  core.ticks = 86400.0 * 365;  // a year of uptime does not overflow
  EXPECT_EQ(clock.Now(), 31536000000LL);
  BaseClock* base = &clock;  // used through the interface by its owners
  core.ticks = 1.9999;
  EXPECT_EQ(base->Now(), 1999);
}

class ClockOnlyModule : public pp::Module {
 public:
  pp::Instance* CreateInstance(PP_Instance) override { return nullptr; }
};

TEST(CoreClockTest, ReadsTheModuleCoreMonotonically) {
  ClockOnlyModule module;
  ASSERT_TRUE(module.InternalInit(1, nullptr));
  pp::Core* core = module.core();
  CoreClock<pp::Core> clock(core);
  int64_t first = clock.Now();
  EXPECT_NEAR(first, static_cast<int64_t>(core->GetTimeTicks() * 1000.0), 5);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  int64_t second = clock.Now();
  EXPECT_GE(second - first, 30);
  EXPECT_LT(second - first, 5000);
}

TEST(TickerTimerTest, StoppedStopwatchKeepsItsValue) {
  ManualClock clock;
  clock.now = 5000;
  TickerTimer timer(&clock);
  EXPECT_EQ(timer.Elapsed(), 0);
  clock.now = 90000;
  EXPECT_EQ(timer.Elapsed(), 0);

  timer.Start();
  clock.now = 90250;
  EXPECT_EQ(timer.Elapsed(), 250);

  // A pause stores its cut time, not the time it arrived.
  timer.Stop(240);
  clock.now = 200000;
  EXPECT_EQ(timer.Elapsed(), 240);

  // Resume goes on from the cut time.
  timer.Start();
  clock.now = 200100;
  EXPECT_EQ(timer.Elapsed(), 340);
}

TEST(TickerTimerTest, RestartCountsFromZeroAndResetStops) {
  ManualClock clock;
  clock.now = 1000;
  TickerTimer timer(&clock);
  timer.Start();
  clock.now = 4000;
  EXPECT_EQ(timer.Elapsed(), 3000);
  timer.Restart();
  EXPECT_EQ(timer.Elapsed(), 0);
  clock.now = 4070;
  EXPECT_EQ(timer.Elapsed(), 70);

  timer.Stop(500);
  timer.Reset();
  clock.now = 9000;
  EXPECT_EQ(timer.Elapsed(), 0);
}

// Every reading comes 7 ms after the one before, as readings do on a
// thread that is descheduled between them.
class SteppingClock : public BaseClock {
 public:
  int64_t Now() override { return now += 7; }
  int64_t now = 0;
};

TEST(TickerTimerTest, PlacesCapturesOnTheRecordingTimeWhateverTheReadingsCost) {
  SteppingClock clock;
  clock.now = 10000;
  TickerTimer timer(&clock);
  // The first frame, captured at 9990, is the recording's 0; a frame or a
  // buffer captured 15 ms later is at 15, however late it is looked at.
  timer.RestartAtCapture(9990);
  EXPECT_EQ(timer.ElapsedAtCapture(10005), 15);
  clock.now += 300;
  EXPECT_EQ(timer.ElapsedAtCapture(10005), 15);
  const int64_t recent = clock.now - 100;
  EXPECT_EQ(timer.ElapsedAtCapture(recent), recent - 9990);

  // Stamps of another clock (ahead of this one, or over a second old)
  // count as captured at the reading.
  int64_t placed = timer.ElapsedAtCapture(clock.now + 5000);
  EXPECT_EQ(placed, clock.now - 9990);
  placed = timer.ElapsedAtCapture(clock.now - 5000);
  EXPECT_EQ(placed, clock.now - 9990);

  // Paused, a capture lies before the pause's time by its age.
  timer.Stop(500);
  const int64_t twenty_ms_before_the_reading = clock.now + 7 - 20;
  EXPECT_EQ(timer.ElapsedAtCapture(twenty_ms_before_the_reading), 480);
  EXPECT_EQ(timer.Elapsed(), 500);
}

TEST(BenchmarkTimerTest, ReportsNamedIntervalInMilliseconds) {
  BenchmarkTimer timer;
  testing::internal::CaptureStdout();
  timer.Report("encode");
  timer.Report("mux");
  std::string out = testing::internal::GetCapturedStdout();
  double first = -1, second = -1;
  char tail[8] = {0};
  ASSERT_EQ(sscanf(out.c_str(), "benchmark(encode): %lf\nbenchmark(mux): %lf%1[\n]",
                   &first, &second, tail),
            3)
      << out;
  EXPECT_GE(first, 0.0);
  EXPECT_LT(first, 10000.0);
  EXPECT_GE(second, 0.0);
  EXPECT_LT(second, 10000.0);
}

}  // namespace
}  // namespace kelmora
