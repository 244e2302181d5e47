#ifndef KELMORA_TESTS_SUPPORT_RUN_PROGRAM_H_
#define KELMORA_TESTS_SUPPORT_RUN_PROGRAM_H_

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

namespace kelmora_test {

// The lines of |text|, without their line ends.
inline std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

struct ProgramResult {
  int exit_code = -1;  // -1 when killed
  int term_signal = 0;
  long max_rss_kb = 0;  // the child's peak resident size
  std::string out;
  std::string err;

  std::vector<std::string> OutLines() const { return SplitLines(out); }
  std::vector<std::string> ErrLines() const { return SplitLines(err); }
};

// Everything |fd| gives until its end; closes it.
inline std::string ReadToEnd(int fd) {
  std::string data;
  char buffer[4096];
  ssize_t count;
  while ((count = read(fd, buffer, sizeof(buffer))) > 0 || (count < 0 && errno == EINTR)) {
    if (count > 0) data.append(buffer, count);
  }
  close(fd);
  return data;
}

// Runs |argv| in |cwd| with |input| on its standard input; killed after
// |timeout_ms|.
inline ProgramResult RunProgram(const std::vector<std::string>& argv, const std::string& input,
                                const std::string& cwd = "", int timeout_ms = 120000) {
  ProgramResult result;
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return result;
  // Everything the child needs is made here: tests run programs from
  // several threads at once, and a child forked while another thread held
  // the allocator's lock would wait for it forever in its first malloc.
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execv(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  signal(SIGPIPE, SIG_IGN);
  size_t written = 0;
  if (input.empty()) {
    close(in[1]);
    in[1] = -1;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  bool out_open = true, err_open = true;
  while (out_open || err_open) {
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    deadline - std::chrono::steady_clock::now())
                                    .count());
    if (left <= 0) {
      kill(pid, SIGKILL);
      break;
    }
    struct pollfd fds[3] = {{out_open ? out[0] : -1, POLLIN, 0},
                            {err_open ? err[0] : -1, POLLIN, 0},
                            {in[1], POLLOUT, 0}};
    if (poll(fds, 3, left) <= 0) continue;
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
      if (!fds[i].revents) continue;
      ssize_t count = read(fds[i].fd, buffer, sizeof(buffer));
      if (count > 0) {
        (i == 0 ? result.out : result.err).append(buffer, count);
      } else if (count == 0 || errno != EINTR) {
        (i == 0 ? out_open : err_open) = false;
      }
    }
    if (in[1] >= 0 && fds[2].revents) {
      ssize_t count = write(in[1], input.data() + written, input.size() - written);
      if (count > 0) written += count;
      if (count < 0 || written == input.size()) {
        close(in[1]);
        in[1] = -1;
      }
    }
  }
  if (in[1] >= 0) close(in[1]);
  close(out[0]);
  close(err[0]);
  int status = 0;
  struct rusage usage = {};
  wait4(pid, &status, 0, &usage);
  result.max_rss_kb = usage.ru_maxrss;
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.term_signal = WTERMSIG(status);
  return result;
}

}  // namespace kelmora_test

#endif  // KELMORA_TESTS_SUPPORT_RUN_PROGRAM_H_
