#include "ppplatform/tty.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace pp {
namespace platform {

namespace {

thread_local bool on_tty_thread = false;

class Tty {
 public:
  // Null when the pipe cannot be made.
  static Tty* Get(bool create);

  int Open(int flags);
  bool IsTty(int fd) const;
  void SetHandler(const tioc_nacl_output* handler);
  void WaitForDelivery();

 private:
  Tty() = default;
  bool Start();
  void ReadLoop();

  int read_fd_ = -1;
  int write_fd_ = -1;
  dev_t dev_ = 0;
  ino_t ino_ = 0;

  // Guards the reads and the counters.
  std::mutex mutex_;
  std::condition_variable delivered_;
  uint64_t consumed_ = 0;
  uint64_t in_flight_ = 0;

  // Held while a chunk is handed over, so that a new handler never sees
  // the chunk of the old one.
  std::mutex handler_mutex_;
  tioc_nacl_output handler_{nullptr, nullptr};
};

std::atomic<Tty*> the_tty{nullptr};
std::mutex create_mutex;

// A child process starts without the terminal's thread; it makes its own
// terminal (the parent's is left alone).
void ForgetTtyInChild() { the_tty.store(nullptr); }

// At exit the reader thread dies with the process, so what was written
// last ("fatal error: ..." just before exit(1)) would be lost: the
// streams are flushed and the handler is given everything first.
void DeliverBeforeExit() {
  fflush(nullptr);
  WaitForTtyDelivery();
}

Tty* Tty::Get(bool create) {
  static bool fork_handler = pthread_atfork(nullptr, nullptr, &ForgetTtyInChild) == 0;
  (void)fork_handler;
  Tty* tty = the_tty.load();
  if (tty || !create) return tty;
  std::lock_guard<std::mutex> lock(create_mutex);
  tty = the_tty.load();
  if (tty) return tty;
  // Never freed: writers may outlive every static destructor.
  tty = new Tty();
  if (!tty->Start()) {
    delete tty;
    return nullptr;
  }
  the_tty.store(tty);
  static bool exit_handler = atexit(&DeliverBeforeExit) == 0;
  (void)exit_handler;
  return tty;
}

bool Tty::Start() {
  int fds[2];
  // O_DIRECT: packet mode, each write is read back as one chunk.
  if (pipe2(fds, O_DIRECT | O_CLOEXEC) != 0) return false;
  read_fd_ = fds[0];
  write_fd_ = fds[1];
  fcntl(read_fd_, F_SETFL, fcntl(read_fd_, F_GETFL) | O_NONBLOCK);
  struct stat info;
  if (fstat(write_fd_, &info) != 0) return false;
  dev_ = info.st_dev;
  ino_ = info.st_ino;
  std::thread([this] { ReadLoop(); }).detach();
  return true;
}

void Tty::ReadLoop() {
  pthread_setname_np(pthread_self(), "pp-tty-reader");
  on_tty_thread = true;
  char buffer[PIPE_BUF];
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    ssize_t count = read(read_fd_, buffer, sizeof(buffer));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      lock.unlock();
      struct pollfd wait_for{read_fd_, POLLIN, 0};
      poll(&wait_for, 1, -1);
      lock.lock();
      continue;
    }
    in_flight_ = count;
    lock.unlock();
    {
      std::lock_guard<std::mutex> handler_lock(handler_mutex_);
      const char* data = buffer;
      size_t left = count;
      while (left > 0 && handler_.handler) {
        ssize_t taken = handler_.handler(data, left, handler_.user_data);
        if (taken <= 0) break;
        data += taken;
        left -= taken;
      }
    }
    lock.lock();
    in_flight_ = 0;
    consumed_ += count;
    delivered_.notify_all();
  }
}

int Tty::Open(int flags) {
  return fcntl(write_fd_, (flags & O_CLOEXEC) ? F_DUPFD_CLOEXEC : F_DUPFD, 0);
}

bool Tty::IsTty(int fd) const {
  struct stat info;
  return fstat(fd, &info) == 0 && S_ISFIFO(info.st_mode) && info.st_dev == dev_ &&
         info.st_ino == ino_;
}

void Tty::SetHandler(const tioc_nacl_output* handler) {
  // What was written before goes to the handler of its time, as when the
  // handler runs on the writing thread.
  if (!on_tty_thread) WaitForDelivery();
  std::lock_guard<std::mutex> lock(handler_mutex_);
  handler_ = handler ? *handler : tioc_nacl_output{nullptr, nullptr};
}

void Tty::WaitForDelivery() {
  std::unique_lock<std::mutex> lock(mutex_);
  int pending = 0;
  if (ioctl(read_fd_, FIONREAD, &pending) != 0) pending = 0;
  uint64_t target = consumed_ + in_flight_ + pending;
  // Bounded, so that a handler that blocks cannot hang every sender.
  delivered_.wait_for(lock, std::chrono::seconds(10), [&] { return consumed_ >= target; });
}

}  // namespace

int OpenTty(int flags) {
  Tty* tty = Tty::Get(true);
  if (!tty) {
    errno = ENXIO;
    return -1;
  }
  return tty->Open(flags);
}

int SetTtyOutputHandler(int fd, const tioc_nacl_output* handler) {
  Tty* tty = Tty::Get(false);
  if (!tty || !tty->IsTty(fd)) {
    errno = ENOTTY;
    return -1;
  }
  tty->SetHandler(handler);
  return 0;
}

void WaitForTtyDelivery() {
  Tty* tty = Tty::Get(false);
  if (tty && !on_tty_thread) tty->WaitForDelivery();
}

}  // namespace platform
}  // namespace pp
