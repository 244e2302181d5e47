#ifndef KELMORA_TESTS_SUPPORT_CHILD_SESSION_H_
#define KELMORA_TESTS_SUPPORT_CHILD_SESSION_H_

// Runs a browser session in a forked child, so that instances may take the
// child's standard descriptors over while the test runner's own output stays
// intact. Everything the page receives streams back to the parent as it
// arrives, so that even the messages of a child that dies are seen.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <json/json.h>

#include "browser.h"
#include "page_printer.h"
#include "ppapi/cpp/var_dictionary.h"
#include "support/run_program.h"
#include "var_json.h"

namespace kelmora_test {

struct ChildResult {
  bool exited = false;
  int exit_code = -1;
  int term_signal = 0;
  bool timed_out = false;
  std::string failure;              // set by ChildSession::Fail
  std::vector<Json::Value> events;  // in arrival order

  // {"type", "data"} messages of |instance| (0: of any instance).
  std::vector<Json::Value> Messages(int instance = 0) const {
    std::vector<Json::Value> found;
    for (const auto& event : events) {
      if (event.isMember("message") && (!instance || event["instance"].asInt() == instance))
        found.push_back(event["message"]);
    }
    return found;
  }
  std::vector<Json::Value> MessagesOfType(const std::string& type, int instance = 0) const {
    std::vector<Json::Value> found;
    for (const auto& message : Messages(instance)) {
      if (message["type"].asString() == type) found.push_back(message);
    }
    return found;
  }
  // Console lines as "LOG <text>" / "ERROR <text>", texts unchanged.
  std::vector<std::string> Console(int instance = 0) const {
    std::vector<std::string> found;
    for (const auto& event : events) {
      if (event.isMember("console") && (!instance || event["instance"].asInt() == instance))
        found.push_back(event["console"].asString() + " " + event["text"].asString());
    }
    return found;
  }
  // "tty" data of |instance|, joined.
  std::string TtyText(int instance = 0) const {
    std::string text;
    for (const auto& message : MessagesOfType("tty", instance)) text += message["data"].asString();
    return text;
  }
  bool Succeeded() const { return exited && exit_code == 0 && failure.empty(); }
  std::string Describe() const {
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    std::string text = exited ? "exit " + std::to_string(exit_code)
                              : "signal " + std::to_string(term_signal);
    if (timed_out) text += " (timed out)";
    if (!failure.empty()) text += ", failure: " + failure;
    for (const auto& event : events) text += "\n  " + Json::writeString(writer, event);
    return text;
  }
};

// What a scenario gets in the child.
class ChildSession : public pphost::PageObserver {
 public:
  ChildSession(pphost::Browser* browser, int fd) : browser_(browser), fd_(fd) {}

  pphost::Browser& browser() { return *browser_; }

  // Ends the child at once with a failure the parent reports.
  [[noreturn]] void Fail(const std::string& text) {
    Json::Value event;
    event["failure"] = text;
    Emit(event);
    _exit(3);
  }

  // Loads the module or fails.
  void Load(const std::string& path) {
    std::string error;
    if (!browser_->LoadModule(path, &error)) Fail(error);
  }
  PP_Instance Create() {
    std::string error;
    PP_Instance instance = browser_->CreateInstance(&error);
    if (!instance) Fail(error);
    return instance;
  }
  // Waits for a message of |type| of |instance| or fails.
  pp::Var Await(PP_Instance instance, const std::string& type, int64_t timeout_ms = 30000) {
    pp::Var message;
    auto is_type = [&](const pp::Var& var) {
      return var.is_dictionary() &&
             pp::VarDictionary(var).Get(pp::Var("type")) == pp::Var(type);
    };
    if (!browser_->Await(instance, is_type, timeout_ms, &message))
      Fail("no \"" + type + "\" message");
    return message;
  }

  void OnMessage(PP_Instance instance, const pp::Var& message) override {
    pphost::WriteAll(fd_, "{\"instance\":" + std::to_string(instance) +
                              ",\"message\":" + pphost::VarToJson(message) + "}\n");
  }
  void OnConsole(PP_Instance instance, PP_LogLevel level, const std::string& text) override {
    Json::Value event;
    event["instance"] = instance;
    event["console"] = pphost::PagePrinter::LevelName(level);
    event["text"] = text;
    Emit(event);
  }

 private:
  void Emit(const Json::Value& event) {
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    pphost::WriteAll(fd_, Json::writeString(writer, event) + "\n");
  }

  pphost::Browser* browser_;
  int fd_;
};

// Forks; the child makes a Browser (its main thread and saved descriptors),
// runs |scenario|, destroys the browser and exits 0. The parent collects
// the child's events until it ends (killed after |timeout_ms|).
inline ChildResult RunInChild(const std::function<void(ChildSession&)>& scenario,
                              int timeout_ms = 120000) {
  ChildResult result;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    result.failure = "pipe failed";
    return result;
  }
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) {
    result.failure = "fork failed";
    return result;
  }
  if (pid == 0) {
    close(fds[0]);
    // The runner has written to these streams already; switching a used
    // unbuffered stream to line buffering would keep its one-byte buffer.
    // Real buffers make the instance's start-up behave as in a new process.
    static char out_buffer[BUFSIZ];
    static char err_buffer[BUFSIZ];
    setvbuf(stdout, out_buffer, _IOLBF, sizeof(out_buffer));
    setvbuf(stderr, err_buffer, _IOLBF, sizeof(err_buffer));
    {
      pphost::Browser browser;
      ChildSession session(&browser, fds[1]);
      browser.SetObserver(&session);
      scenario(session);
      browser.SetObserver(nullptr);
    }
    _exit(0);
  }
  close(fds[1]);
  std::string data;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    deadline - std::chrono::steady_clock::now())
                                    .count());
    if (left <= 0) {
      result.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    struct pollfd readable{fds[0], POLLIN, 0};
    if (poll(&readable, 1, left) <= 0) continue;
    char buffer[4096];
    ssize_t count = read(fds[0], buffer, sizeof(buffer));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    data.append(buffer, count);
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exited = WIFEXITED(status);
  result.exit_code = result.exited ? WEXITSTATUS(status) : -1;
  result.term_signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  for (const std::string& line : SplitLines(data)) {
    Json::Value event;
    std::string errors;
    if (reader->parse(line.data(), line.data() + line.size(), &event, &errors)) {
      if (event.isMember("failure")) {
        result.failure = event["failure"].asString();
      } else {
        result.events.push_back(event);
      }
    }
  }
  return result;
}

// A new empty directory under the system's temporary directory.
// A new directory under the build tree's test output, so that runs leave
// nothing behind outside it.
inline std::string MakeTempDir() {
  std::string parent = std::string(KELMORA_BUILD_DIR) + "/test_output";
  mkdir(parent.c_str(), 0755);
  std::string path = parent + "/dir-XXXXXX";
  const char* made = mkdtemp(&path[0]);
  return made ? path : std::string();
}

// Contents of a file ("" when it cannot be read).
inline std::string ReadFile(const std::string& path) {
  std::string text;
  FILE* file = fopen(path.c_str(), "rb");
  if (!file) return text;
  char buffer[4096];
  size_t count;
  while ((count = fread(buffer, 1, sizeof(buffer), file)) > 0) text.append(buffer, count);
  fclose(file);
  return text;
}

// Path of a built file (modules, programs).
inline std::string BuildPath(const std::string& name) {
  return std::string(KELMORA_BUILD_DIR) + "/" + name;
}

}  // namespace kelmora_test

#endif  // KELMORA_TESTS_SUPPORT_CHILD_SESSION_H_
