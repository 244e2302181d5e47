#include "worker_base_instance.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <vector>

#include "error_handling/error_handling.h"
#include "nacl_io/ioctl.h"
#include "nacl_io/nacl_io.h"
#include "ppapi/cpp/instance_handle.h"
#include "ppapi/cpp/module.h"

namespace {

// Crash reports of the whole module go to the instance that started up
// last; when it goes, to the live one that started up last before it.
// Empty before the first start-up and once no instance is left.
std::mutex exception_binding_mutex;
std::function<void(const char*)> exception_binding;
const WorkerBaseInstance* exception_binding_owner = nullptr;
std::vector<WorkerBaseInstance*> exception_candidates;  // in start-up order

// The instance whose handler the terminal calls, chosen the same way among
// those that opened the terminal.
std::mutex tty_owner_mutex;
const WorkerBaseInstance* tty_owner = nullptr;
std::vector<WorkerBaseInstance*> tty_candidates;  // in start-up order

void Forget(std::vector<WorkerBaseInstance*>* candidates, const WorkerBaseInstance* gone) {
  candidates->erase(std::remove(candidates->begin(), candidates->end(), gone),
                    candidates->end());
}

// Points the standard descriptor |target| at |path|. The descriptor opened
// for it is closed again: a page makes an instance per job, and each would
// leave one behind.
void RedirectStream(const char* path, int flags, int target) {
  int fd = open(path, flags);
  if (fd < 0 || fd == target) return;
  dup2(fd, target);
  close(fd);
}

// Hooks that wake waits for the main thread at a join.
std::mutex join_hooks_mutex;
std::vector<WorkerBaseInstance::JoinHook>& JoinHooks() {
  static std::vector<WorkerBaseInstance::JoinHook> hooks;
  return hooks;
}

// The join flag of the instance the calling thread works for; null on
// threads that are not watched.
thread_local const std::atomic<bool>* thread_join_flag = nullptr;

std::string PepperErrorText(const std::string& text, int32_t pp_error) {
  return text + ", pp_error: " + std::to_string(pp_error);
}

}  // namespace

WorkerBaseInstance::WorkerBaseInstance(PP_Instance instance, const std::string& log_prefix)
    : pp::Instance(instance),
      log_prefix_(log_prefix),
      worker_thread_(pp::InstanceHandle(this)),
      tty_fd_(-1) {}

WorkerBaseInstance::~WorkerBaseInstance() {
  JoinWorker();
  // Nothing may reach this instance once it is gone: terminal output and
  // crash reports go to the live instance that started up last, or are
  // dropped when there is none.
  {
    std::lock_guard<std::mutex> lock(tty_owner_mutex);
    Forget(&tty_candidates, this);
    if (tty_owner == this) {
      tty_owner = nullptr;
      tioc_nacl_output none = {nullptr, nullptr};
      ioctl(tty_fd_, TIOCNACLOUTPUT, &none);
      if (!tty_candidates.empty()) tty_candidates.back()->TakeTtyOutputLocked();
    }
  }
  if (tty_fd_ >= 0) close(tty_fd_);
  std::lock_guard<std::mutex> lock(exception_binding_mutex);
  Forget(&exception_candidates, this);
  if (exception_binding_owner == this) {
    exception_binding = nullptr;
    exception_binding_owner = nullptr;
    if (!exception_candidates.empty()) exception_candidates.back()->TakeCrashReportsLocked();
  }
}

void WorkerBaseInstance::TakeTtyOutputLocked() {
  tioc_nacl_output handler = {&WorkerBaseInstance::OnTtyOutput, this};
  if (ioctl(tty_fd_, TIOCNACLOUTPUT, &handler) == 0) tty_owner = this;
}

void WorkerBaseInstance::TakeCrashReportsLocked() {
  exception_binding =
      std::bind(&WorkerBaseInstance::HandleExceptionJson, this, std::placeholders::_1);
  exception_binding_owner = this;
}

void WorkerBaseInstance::AddJoinHook(JoinHook hook) {
  std::lock_guard<std::mutex> lock(join_hooks_mutex);
  std::vector<JoinHook>& hooks = JoinHooks();
  if (std::find(hooks.begin(), hooks.end(), hook) == hooks.end()) hooks.push_back(hook);
}

bool WorkerBaseInstance::JoinPendingOnThisThread() {
  return thread_join_flag && thread_join_flag->load();
}

void WorkerBaseInstance::JoinWorker() {
  joining_ = true;
  std::vector<JoinHook> hooks;
  {
    std::lock_guard<std::mutex> lock(join_hooks_mutex);
    hooks = JoinHooks();
  }
  for (JoinHook hook : hooks) hook();
  worker_thread_.Join();
}

void WorkerBaseInstance::WatchJoinOnThisThread() { thread_join_flag = &joining_; }

void WorkerBaseInstance::WatchJoinOnWorker(void* user_data, int32_t) {
  static_cast<WorkerBaseInstance*>(user_data)->WatchJoinOnThisThread();
}

bool WorkerBaseInstance::Init(uint32_t argc, const char* argn[], const char* argv[]) {
  Log("initializing worker module\n");
  InitNaclIo();
  SetUpExceptionHandling();
  worker_thread_.Start();
  worker_loop().PostWork(pp::CompletionCallback(&WorkerBaseInstance::WatchJoinOnWorker, this), 0);
  return true;
}

void WorkerBaseInstance::InitNaclIo() {
  nacl_io_init_ppapi(pp_instance(), pp::Module::Get()->get_browser_interface());

  // A value already in the environment stays.
  setenv("PS_STDIN", "/dev/stdin", 0);
  setenv("PS_STDOUT", "/dev/tty", 0);
  setenv("PS_STDERR", "/dev/tty", 0);
  RedirectStream(getenv("PS_STDIN"), O_RDONLY, 0);
  RedirectStream(getenv("PS_STDOUT"), O_WRONLY, 1);
  RedirectStream(getenv("PS_STDERR"), O_WRONLY, 2);

  int tty = open("/dev/tty", O_WRONLY);
  if (tty < 0) {
    LogErrorToConsole("Failed to open /dev/tty.");
  } else {
    tty_fd_ = tty;
    std::lock_guard<std::mutex> lock(tty_owner_mutex);
    tty_candidates.push_back(this);
    TakeTtyOutputLocked();
  }

  setvbuf(stderr, nullptr, _IOLBF, 0);
  setvbuf(stdout, nullptr, _IOLBF, 0);

  bool persistent = mount("", "/html5_persistent", "html5fs", 0,
                          "type=PERSISTENT,expected_size=1048576") == 0;
  bool temporary = mount("", "/html5_temporary", "html5fs", 0,
                         "type=TEMPORARY,expected_size=1048576") == 0;
  if (!persistent && !temporary) {
    LogError("failed to mount any html5 filesystem");
  } else if (!persistent) {
    fprintf(stderr, "persistent html5 filesystem is not available\n");
  } else if (!temporary) {
    fprintf(stderr, "temporary html5 filesystem is not available\n");
  }
}

void WorkerBaseInstance::SetUpExceptionHandling() {
  {
    std::lock_guard<std::mutex> lock(exception_binding_mutex);
    exception_candidates.push_back(this);
    TakeCrashReportsLocked();
  }
  EHRequestExceptionsJson(&WorkerBaseInstance::OnExceptionJson);
  if (EHHanderInstalled()) {
    fprintf(stdout, "Stack traces are available.\n");
  } else {
    fprintf(stderr, "Stack traces NOT available.\n");
  }
}

ssize_t WorkerBaseInstance::OnTtyOutput(const char* buf, size_t count, void* user_data) {
  return static_cast<WorkerBaseInstance*>(user_data)->HandleTtyOutput(buf, count);
}

ssize_t WorkerBaseInstance::HandleTtyOutput(const char* buf, size_t count) {
  PostTypedMessage("tty", pp::Var(std::string(buf, count)));
  return static_cast<ssize_t>(count);
}

void WorkerBaseInstance::OnExceptionJson(const char* json) {
  // Runs in the crash handler of a dying process; a report that finds no
  // instance is dropped. The binding is called under the lock, so that the
  // instance it names cannot be destroyed while the report is posted.
  std::lock_guard<std::mutex> lock(exception_binding_mutex);
  if (exception_binding) exception_binding(json);
}

void WorkerBaseInstance::HandleExceptionJson(const char* json) {
  PostTypedMessage("stack_trace", pp::Var(json));
}

void WorkerBaseInstance::PostTypedMessage(const std::string& type, const pp::Var& data) {
  pp::VarDictionary message;
  message.Set(pp::Var("type"), pp::Var(type));
  message.Set(pp::Var("data"), data);
  PostMessage(message);
}

void WorkerBaseInstance::Log(const std::string& text) {
  LogToConsole(PP_LOGLEVEL_LOG, pp::Var(log_prefix_ + text));
}

void WorkerBaseInstance::LogErrorToConsole(const std::string& text) {
  LogToConsole(PP_LOGLEVEL_ERROR, pp::Var(log_prefix_ + text));
}

void WorkerBaseInstance::LogError(const std::string& text) {
  LogErrorToConsole(text);
  PostTypedMessage("error", pp::Var(text));
}

void WorkerBaseInstance::LogPepperError(const std::string& text, int32_t pp_error) {
  LogError(PepperErrorText(text, pp_error));
}

void WorkerBaseInstance::LogPepperErrorToConsole(const std::string& text, int32_t pp_error) {
  LogErrorToConsole(PepperErrorText(text, pp_error));
}

bool WorkerBaseInstance::CheckMessage(const pp::Var& message, std::string* type,
                                      pp::VarDictionary* data) {
  if (!message.is_dictionary()) {
    LogErrorToConsole("Got non-dict message");
    return false;
  }
  pp::VarDictionary dictionary(message);
  pp::Var type_var = dictionary.Get(pp::Var("type"));
  pp::Var data_var = dictionary.Get(pp::Var("data"));
  if (!type_var.is_string() || !data_var.is_dictionary()) {
    LogErrorToConsole("Invalid message format");
    return false;
  }
  *type = type_var.AsString();
  *data = pp::VarDictionary(data_var);
  return true;
}

void WorkerBaseInstance::LogUnknownMessageType() {
  LogErrorToConsole("unknown message type");
}
