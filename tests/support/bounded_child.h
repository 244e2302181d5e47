#ifndef KELMORA_TESTS_SUPPORT_BOUNDED_CHILD_H_
#define KELMORA_TESTS_SUPPORT_BOUNDED_CHILD_H_

// Runs a piece of a test in a forked child and waits for it a bounded
// time, so that a deadlock fails its test (the child is killed) instead of
// stalling the runner until the suite's own timeout.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace kelmora_test {

// |body| runs in the child; what it returns is the child's exit code, 0
// for success. |hang| names what a child that does not end in time waited
// for.
inline ::testing::AssertionResult EndsInChild(const std::function<int()>& body,
                                              const std::string& hang,
                                              std::chrono::seconds limit =
                                                  std::chrono::seconds(20)) {
  pid_t child = fork();
  if (child < 0) return ::testing::AssertionFailure() << "fork failed";
  if (child == 0) _exit(body());
  int status = 0;
  pid_t done = 0;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while ((done = waitpid(child, &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (done == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    return ::testing::AssertionFailure() << hang;
  }
  if (!WIFEXITED(status)) {
    return ::testing::AssertionFailure() << "signal " << WTERMSIG(status);
  }
  if (WEXITSTATUS(status) != 0) {
    return ::testing::AssertionFailure() << "exit " << WEXITSTATUS(status);
  }
  return ::testing::AssertionSuccess();
}

}  // namespace kelmora_test

#endif  // KELMORA_TESTS_SUPPORT_BOUNDED_CHILD_H_
