// The crash-report library: a fatal signal produces a JSON report, handed to
// the callback before the process dies of that signal.

#include "error_handling/error_handling.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <json/json.h>
#include <gtest/gtest.h>

#include "support/run_program.h"

namespace {

int report_fd = -1;

void WriteReport(const char* json) {
  std::string line = std::string(json) + "\n";
  (void)!write(report_fd, line.data(), line.size());
}

struct Crash {
  int signal_number;
  void (*cause)();
};

struct Outcome {
  int term_signal = 0;
  bool installed_before = true;
  Json::Value report;
};

Outcome CrashInChild(void (*cause)()) {
  Outcome outcome;
  int fds[2];
  EXPECT_EQ(0, pipe(fds));
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    report_fd = fds[1];
    std::string installed = EHHanderInstalled() ? "1" : "0";
    (void)!write(report_fd, installed.data(), 1);
    EHRequestExceptionsJson(&WriteReport);
    if (!EHHanderInstalled()) _exit(4);
    cause();
    _exit(5);
  }
  close(fds[1]);
  std::string data = kelmora_test::ReadToEnd(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  outcome.term_signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  if (!data.empty()) {
    outcome.installed_before = data[0] == '1';
    Json::Reader().parse(data.substr(1), outcome.report);
  }
  return outcome;
}

void BadStore() {
  volatile uintptr_t address = 24;
  *reinterpret_cast<volatile int*>(address) = 1;
}
void Abort() { abort(); }
void Trap() { __builtin_trap(); }
void RaiseFpe() { raise(SIGFPE); }
void RaiseBus() { raise(SIGBUS); }

void PrintTo(const Crash& crash, std::ostream* out) { *out << "signal " << crash.signal_number; }

class CrashReportTest : public testing::TestWithParam<Crash> {};

TEST_P(CrashReportTest, ReportsAndDiesOfTheSignal) {
  Outcome outcome = CrashInChild(GetParam().cause);
  EXPECT_FALSE(outcome.installed_before);
  EXPECT_EQ(GetParam().signal_number, outcome.term_signal);
  ASSERT_TRUE(outcome.report.isObject()) << "no report";
  EXPECT_EQ(GetParam().signal_number, outcome.report["signal"].asInt());
  ASSERT_TRUE(outcome.report["frames"].isArray());
  EXPECT_GT(outcome.report["frames"].size(), 1u);
  EXPECT_TRUE(outcome.report["frames"][0]["pc"].isString());
}

INSTANTIATE_TEST_SUITE_P(FatalSignals, CrashReportTest,
                         testing::Values(Crash{SIGSEGV, &BadStore}, Crash{SIGABRT, &Abort},
                                         Crash{SIGILL, &Trap}, Crash{SIGFPE, &RaiseFpe},
                                         Crash{SIGBUS, &RaiseBus}));

TEST(CrashReportTest, NamesTheSignalAndTheFaultingAddress) {
  Outcome outcome = CrashInChild(&BadStore);
  EXPECT_EQ("SIGSEGV", outcome.report["name"].asString());
  EXPECT_EQ("0x18", outcome.report["address"].asString());
}

}  // namespace
