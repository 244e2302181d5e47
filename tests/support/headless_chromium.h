#ifndef KELMORA_TESTS_SUPPORT_HEADLESS_CHROMIUM_H_
#define KELMORA_TESTS_SUPPORT_HEADLESS_CHROMIUM_H_

// A headless Chromium driven over its DevTools pipe, to play the files the
// modules write as a user's browser would. Nothing goes over the network:
// the page and its media are local files.
//
// Used from one test thread.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <json/json.h>

namespace kelmora_test {

class HeadlessChromium {
 public:
  static constexpr const char* kBinary = "/usr/bin/chromium";

  HeadlessChromium() = default;
  HeadlessChromium(const HeadlessChromium&) = delete;
  HeadlessChromium& operator=(const HeadlessChromium&) = delete;
  ~HeadlessChromium() { Stop(); }

  // Starts the browser with a new profile in |profile_dir| and its output
  // in |profile_dir|.log; empty on success, else what failed.
  std::string Start(const std::string& profile_dir) {
    if (access(kBinary, X_OK) != 0) return std::string(kBinary) + " is not installed";
    // The browser's own console output, for a failure's text.
    const std::string log_path = profile_dir + ".log";
    int to_browser[2], from_browser[2];
    if (pipe2(to_browser, O_CLOEXEC) || pipe2(from_browser, O_CLOEXEC)) return "pipe failed";
    // Made before the fork: the child allocates nothing (see RunProgram).
    const std::string profile = "--user-data-dir=" + profile_dir;
    pid_ = fork();
    if (pid_ < 0) return "fork failed";
    if (pid_ == 0) {
      // Its own process group, so that every helper process goes with it.
      setpgid(0, 0);
      // The DevTools pipe: commands on 3, replies on 4. Moved out of the
      // way first, as either end may itself be 3 or 4.
      const int commands = fcntl(to_browser[0], F_DUPFD, 10);
      const int replies = fcntl(from_browser[1], F_DUPFD, 10);
      dup2(commands, 3);
      dup2(replies, 4);
      int null_fd = open("/dev/null", O_RDWR);
      int log_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(null_fd, 0);
      dup2(log_fd >= 0 ? log_fd : null_fd, 1);
      dup2(log_fd >= 0 ? log_fd : null_fd, 2);
      execl(kBinary, kBinary, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
            "--no-first-run", "--disable-background-networking", "--disable-component-update",
            "--disable-sync", "--mute-audio", "--autoplay-policy=no-user-gesture-required",
            "--remote-debugging-pipe", profile.c_str(), "about:blank", static_cast<char*>(nullptr));
      _exit(127);
    }
    setpgid(pid_, pid_);
    close(to_browser[0]);
    close(from_browser[1]);
    to_fd_ = to_browser[1];
    from_fd_ = from_browser[0];
    signal(SIGPIPE, SIG_IGN);
    return "";
  }

  // Opens |url| in a new tab and attaches to it; empty on success.
  std::string Open(const std::string& url) {
    Json::Value params;
    params["url"] = url;
    Json::Value target;
    std::string error = Call("Target.createTarget", params, "", &target);
    if (!error.empty()) return error;
    Json::Value attach;
    attach["targetId"] = target["targetId"];
    attach["flatten"] = true;
    Json::Value attached;
    error = Call("Target.attachToTarget", attach, "", &attached);
    if (!error.empty()) return error;
    session_ = attached["sessionId"].asString();
    return session_.empty() ? "no session for the tab" : "";
  }

  // Evaluates |expression| in the tab every 200 ms until it gives a
  // non-empty string or |timeout_ms| have passed; empty on success.
  std::string WaitForText(const std::string& expression, int timeout_ms, std::string* text) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string last_error;
    while (std::chrono::steady_clock::now() < deadline) {
      Json::Value params;
      params["expression"] = expression;
      params["returnByValue"] = true;
      Json::Value result;
      // A page still loading has no context yet: try again.
      last_error = Call("Runtime.evaluate", params, session_, &result);
      if (last_error.empty() && result["result"]["value"].isString() &&
          !result["result"]["value"].asString().empty()) {
        *text = result["result"]["value"].asString();
        return "";
      }
      // A browser that went away gives no result later either.
      if (!pipe_open_) return last_error;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return "the page gave no result within " + std::to_string(timeout_ms) + " ms" +
           (last_error.empty() ? "" : " (last: " + last_error + ")");
  }

  void Stop() {
    if (pid_ <= 0) return;
    Json::Value ignored;
    if (to_fd_ >= 0) Call("Browser.close", Json::Value(Json::objectValue), "", &ignored, 5000);
    // Whatever is left of the browser after its close, or after it hung.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(-pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(-pid_, SIGKILL);
    pid_ = -1;
    if (to_fd_ >= 0) close(to_fd_);
    if (from_fd_ >= 0) close(from_fd_);
    to_fd_ = from_fd_ = -1;
  }

 private:
  // Sends one command and waits for its reply, skipping events; empty on
  // success, else the browser's error or what failed.
  std::string Call(const std::string& method, const Json::Value& params,
                   const std::string& session, Json::Value* result, int timeout_ms = 30000) {
    Json::Value command;
    const int id = ++last_id_;
    command["id"] = id;
    command["method"] = method;
    command["params"] = params;
    if (!session.empty()) command["sessionId"] = session;
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    std::string text = Json::writeString(builder, command);
    text.push_back('\0');
    size_t written = 0;
    while (written < text.size()) {
      ssize_t count = write(to_fd_, text.data() + written, text.size() - written);
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) {
        pipe_open_ = false;
        return method + ": the browser's pipe is closed";
      }
      written += count;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      size_t end;
      while ((end = buffer_.find('\0')) != std::string::npos) {
        std::string message = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        Json::Value reply;
        Json::CharReaderBuilder reader_builder;
        std::string errors;
        std::unique_ptr<Json::CharReader> reader(reader_builder.newCharReader());
        if (!reader->parse(message.data(), message.data() + message.size(), &reply, &errors)) {
          continue;
        }
        if (!reply.isMember("id") || reply["id"].asInt() != id) continue;
        if (reply.isMember("error")) return method + ": " + reply["error"]["message"].asString();
        *result = reply["result"];
        if (result->isMember("exceptionDetails")) {
          return method + ": " + (*result)["exceptionDetails"]["text"].asString();
        }
        return "";
      }
      const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - std::chrono::steady_clock::now())
                                            .count());
      if (left <= 0) return method + ": no reply within " + std::to_string(timeout_ms) + " ms";
      struct pollfd fd = {from_fd_, POLLIN, 0};
      if (poll(&fd, 1, left) <= 0) continue;
      char chunk[65536];
      ssize_t count = read(from_fd_, chunk, sizeof(chunk));
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) {
        pipe_open_ = false;
        return method + ": the browser closed its pipe";
      }
      buffer_.append(chunk, count);
    }
  }

  pid_t pid_ = -1;
  int to_fd_ = -1;
  int from_fd_ = -1;
  int last_id_ = 0;
  bool pipe_open_ = true;
  std::string session_;
  std::string buffer_;
};

}  // namespace kelmora_test

#endif  // KELMORA_TESTS_SUPPORT_HEADLESS_CHROMIUM_H_
