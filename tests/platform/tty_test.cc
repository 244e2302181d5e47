// The terminal device: every write reaches the output handler whole and in
// order.

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "nacl_io/ioctl.h"
#include "nacl_io/nacl_io.h"
#include "ppplatform/tty.h"
#include "support/run_program.h"

namespace {

struct Chunks {
  std::mutex mutex;
  std::vector<std::string> list;
  std::vector<std::string> Get() {
    std::lock_guard<std::mutex> lock(mutex);
    return list;
  }
};

ssize_t Collect(const char* buf, size_t count, void* user_data) {
  Chunks* chunks = static_cast<Chunks*>(user_data);
  std::lock_guard<std::mutex> lock(chunks->mutex);
  chunks->list.emplace_back(buf, count);
  return static_cast<ssize_t>(count);
}

class TtyTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, nacl_io_init_ppapi(1, nullptr));
    fd_ = open("/dev/tty", O_WRONLY);
    ASSERT_GE(fd_, 0);
    tioc_nacl_output handler = {&Collect, &chunks_};
    ASSERT_EQ(0, ioctl(fd_, TIOCNACLOUTPUT, &handler));
  }
  void TearDown() override {
    tioc_nacl_output none = {nullptr, nullptr};
    ioctl(fd_, TIOCNACLOUTPUT, &none);
    close(fd_);
  }

  int fd_ = -1;
  Chunks chunks_;
};

TEST_F(TtyTest, EachWriteIsOneChunk) {
  ASSERT_EQ(3, write(fd_, "abc", 3));
  ASSERT_EQ(4, write(fd_, "def\n", 4));
  // Every descriptor of the terminal reaches the same handler.
  int other = open("/dev/tty", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  EXPECT_NE(0, fcntl(other, F_GETFD) & FD_CLOEXEC);
  ASSERT_EQ(2, write(other, "gh", 2));
  close(other);
  pp::platform::WaitForTtyDelivery();
  EXPECT_EQ((std::vector<std::string>{"abc", "def\n", "gh"}), chunks_.Get());
}

TEST_F(TtyTest, LongWritesArriveWholeAndInOrderFromManyThreads) {
  std::string long_text;
  for (int i = 0; i < 3000; ++i) long_text += std::to_string(i % 10);
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        std::string line = "thread " + std::to_string(t) + " line " + std::to_string(i) + "\n";
        ASSERT_EQ(static_cast<ssize_t>(line.size()), write(fd_, line.data(), line.size()));
      }
    });
  }
  for (auto& writer : writers) writer.join();
  ASSERT_EQ(static_cast<ssize_t>(long_text.size()), write(fd_, long_text.data(), long_text.size()));
  pp::platform::WaitForTtyDelivery();
  std::vector<std::string> chunks = chunks_.Get();
  ASSERT_GE(chunks.size(), 201u);
  // Lines of one thread keep their order; no line is split or merged.
  std::vector<int> next(4, 0);
  for (size_t i = 0; i < 200; ++i) {
    int thread = chunks[i][7] - '0';
    ASSERT_EQ("thread " + std::to_string(thread) + " line " + std::to_string(next[thread]) + "\n",
              chunks[i]);
    ++next[thread];
  }
  std::string rest;
  for (size_t i = 200; i < chunks.size(); ++i) rest += chunks[i];
  EXPECT_EQ(long_text, rest);
}

TEST_F(TtyTest, StdioStreamsWrittenThroughTheTerminal) {
  FILE* tty = fopen("/dev/tty", "w");
  ASSERT_NE(nullptr, tty);
  setvbuf(tty, nullptr, _IOLBF, 0);
  fprintf(tty, "one\n");
  fprintf(tty, "two\nthree\n");
  fclose(tty);
  pp::platform::WaitForTtyDelivery();
  std::string all;
  for (const auto& chunk : chunks_.Get()) all += chunk;
  EXPECT_EQ("one\ntwo\nthree\n", all);
}

TEST_F(TtyTest, OnlyTerminalDescriptorsTakeAHandler) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  tioc_nacl_output handler = {&Collect, &chunks_};
  errno = 0;
  EXPECT_EQ(-1, ioctl(fds[1], TIOCNACLOUTPUT, &handler));
  EXPECT_EQ(ENOTTY, errno);
  close(fds[0]);
  close(fds[1]);
  // Other requests still reach the C library.
  int pending = -1;
  EXPECT_EQ(0, ioctl(fd_, FIONREAD, &pending));
}

TEST_F(TtyTest, WithoutAHandlerOutputIsDropped) {
  tioc_nacl_output none = {nullptr, nullptr};
  ASSERT_EQ(0, ioctl(fd_, TIOCNACLOUTPUT, &none));
  ASSERT_EQ(7, write(fd_, "dropped", 7));
  pp::platform::WaitForTtyDelivery();
  tioc_nacl_output handler = {&Collect, &chunks_};
  ASSERT_EQ(0, ioctl(fd_, TIOCNACLOUTPUT, &handler));
  ASSERT_EQ(4, write(fd_, "kept", 4));
  pp::platform::WaitForTtyDelivery();
  EXPECT_EQ((std::vector<std::string>{"kept"}), chunks_.Get());
}

}  // namespace

namespace {

TEST_F(TtyTest, OutputBeforeAHandlerChangeGoesToTheOldHandler) {
  Chunks later;
  for (int i = 0; i < 20; ++i) ASSERT_EQ(6, write(fd_, "before", 6));
  tioc_nacl_output handler = {&Collect, &later};
  ASSERT_EQ(0, ioctl(fd_, TIOCNACLOUTPUT, &handler));
  ASSERT_EQ(5, write(fd_, "after", 5));
  pp::platform::WaitForTtyDelivery();
  EXPECT_EQ(std::vector<std::string>(20, "before"), chunks_.Get());
  EXPECT_EQ((std::vector<std::string>{"after"}), later.Get());
  tioc_nacl_output none = {nullptr, nullptr};
  ioctl(fd_, TIOCNACLOUTPUT, &none);
}

}  // namespace

namespace {

ssize_t ForwardToPipe(const char* buf, size_t count, void* user_data) {
  int fd = *static_cast<int*>(user_data);
  return write(fd, buf, count);
}

// What the terminal's handler received in a child that writes |text| to
// standard error (line-buffered, as in an instance) and exits at once.
std::string HandlerOutputOfExitingChild(const char* text) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    static int out;
    out = fds[1];
    nacl_io_init_ppapi(1, nullptr);
    int tty = open("/dev/tty", O_WRONLY);
    tioc_nacl_output handler = {&ForwardToPipe, &out};
    if (tty < 0 || ioctl(tty, TIOCNACLOUTPUT, &handler) != 0) _exit(3);
    dup2(tty, 2);
    setvbuf(stderr, nullptr, _IOLBF, 0);
    fputs(text, stderr);
    exit(1);
  }
  close(fds[1]);
  std::string received = kelmora_test::ReadToEnd(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 1) return "child failed";
  return received;
}

TEST(TtyExitTest, OutputWrittenJustBeforeExitReachesTheHandler) {
  // Without a line end the text waits in the stream's buffer until exit;
  // tried many times, since the reader losing the race is a matter of luck.
  for (int i = 0; i < 12; ++i) {
    ASSERT_EQ("fatal error: audio failed", HandlerOutputOfExitingChild("fatal error: audio failed"))
        << "run " << i;
  }
}

}  // namespace
