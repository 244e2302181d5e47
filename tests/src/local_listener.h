#ifndef KELMORA_TESTS_SRC_LOCAL_LISTENER_H_
#define KELMORA_TESTS_SRC_LOCAL_LISTENER_H_

// A TCP listener on the loopback interface that counts the connections
// made to it: whether a name reached the network. Each connection is
// closed at once, so that a client that got through never waits.

#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

namespace kelmora {
namespace testing_support {

class LocalListener {
 public:
  LocalListener() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (fd_ < 0 ||
        bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) < 0 ||
        listen(fd_, 16) < 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) < 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] {
      pthread_setname_np(pthread_self(), "test-listener");
      while (!stop_) AcceptPending(20);
    });
  }
  ~LocalListener() { Stop(); }
  LocalListener(const LocalListener&) = delete;
  LocalListener& operator=(const LocalListener&) = delete;

  // 0 when the listener could not be set up.
  int port() const { return port_; }
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }

  // Stops listening; the connections made since the start, also those
  // still waiting to be accepted.
  int Stop() {
    if (thread_.joinable()) {
      stop_ = true;
      thread_.join();
    }
    if (fd_ >= 0) {
      AcceptPending(0);
      close(fd_);
      fd_ = -1;
    }
    return connections_;
  }

 private:
  void AcceptPending(int timeout_ms) {
    pollfd ready = {fd_, POLLIN, 0};
    while (poll(&ready, 1, timeout_ms) > 0) {
      int connection = accept(fd_, nullptr, nullptr);
      if (connection < 0) return;
      ++connections_;
      close(connection);
      timeout_ms = 0;
    }
  }

  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
};

}  // namespace testing_support
}  // namespace kelmora

#endif  // KELMORA_TESTS_SRC_LOCAL_LISTENER_H_
