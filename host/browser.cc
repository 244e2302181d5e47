#include "browser.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cstdio>

#include "ppapi/cpp/core.h"
#include "ppapi/cpp/instance.h"
#include "ppapi/cpp/var_dictionary.h"
#include "ppplatform/file_systems.h"

namespace pphost {

namespace {

// The module factory, as the deliverables export it.
const char kCreateModuleSymbol[] = "_ZN2pp12CreateModuleEv";

int SaveDescriptor(int fd) { return fcntl(fd, F_DUPFD_CLOEXEC, 3); }

void RestoreDescriptor(int saved, int fd) {
  if (saved < 0) return;
  dup2(saved, fd);
  close(saved);
}

std::string TypeOf(const pp::Var& message) {
  if (!message.is_dictionary()) return std::string();
  pp::Var type = pp::VarDictionary(message).Get(pp::Var("type"));
  return type.is_string() ? type.AsString() : std::string();
}

}  // namespace

PageObserver::~PageObserver() = default;

Browser::Browser()
    : saved_stdin_(SaveDescriptor(0)),
      saved_stdout_(SaveDescriptor(1)),
      saved_stderr_(SaveDescriptor(2)),
      next_instance_(1),
      module_ready_(false),
      observer_(nullptr) {
  if (!pp::platform::BecomeMainThread()) {
    // A browser made earlier in this process already claimed this thread.
    assert(pp::Module::Get() == nullptr);
  }
  pp::platform::SetBrowserDelegate(this);
}

Browser::~Browser() {
  std::vector<PP_Instance> live = live_;
  for (PP_Instance instance : live) DestroyInstance(instance);
  if (module_ready_) pp::platform::ModuleHost::ShutdownModule();
  pp::platform::SetBrowserDelegate(nullptr);
  fflush(stdout);
  fflush(stderr);
  RestoreDescriptor(saved_stdin_, 0);
  RestoreDescriptor(saved_stdout_, 1);
  RestoreDescriptor(saved_stderr_, 2);
}

void Browser::SetObserver(PageObserver* observer) {
  std::lock_guard<std::mutex> lock(mutex_);
  observer_ = observer;
}

void Browser::SetFileSystems(const std::string& persistent_dir,
                             const std::string& temporary_dir) {
  pp::platform::SetHtml5FileSystem(pp::platform::Html5FileSystemType::kPersistent,
                                   persistent_dir);
  pp::platform::SetHtml5FileSystem(pp::platform::Html5FileSystemType::kTemporary,
                                   temporary_dir);
}

bool Browser::LoadModule(const std::string& path, std::string* error) {
  // A name without a directory is a file here, not one for the library
  // search path to find.
  std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  // Local: the module's own symbols stay its own, as in a plug-in process.
  void* library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    *error = std::string("cannot load module: ") + dlerror();
    return false;
  }
  auto create_module = reinterpret_cast<pp::Module* (*)()>(dlsym(library, kCreateModuleSymbol));
  if (!create_module) {
    dlclose(library);
    *error = "module " + path + " has no pp::CreateModule";
    return false;
  }
  return UseModule(create_module(), error);
}

bool Browser::UseModule(pp::Module* module, std::string* error) {
  if (module_ready_ || pp::Module::Get()) {
    delete module;
    *error = "a module is loaded already";
    return false;
  }
  if (!module || !pp::platform::ModuleHost::InitializeModule(module, 1)) {
    *error = "module initialisation failed";
    return false;
  }
  module_ready_ = true;
  return true;
}

PP_Instance Browser::CreateInstance(std::string* error) {
  if (!module_ready_) {
    *error = "no module loaded";
    return 0;
  }
  PP_Instance id = next_instance_++;
  if (!pp::platform::ModuleHost::CreateInstance(id, 0, nullptr, nullptr)) {
    *error = "instance initialisation failed";
    return 0;
  }
  live_.push_back(id);
  return id;
}

void Browser::DestroyInstance(PP_Instance instance) {
  auto found = std::find(live_.begin(), live_.end(), instance);
  if (found == live_.end()) return;
  live_.erase(found);
  pp::platform::ModuleHost::DestroyInstance(instance);
  // The main thread goes on after an instance is gone: work that the module
  // posted to it before still runs, as it would in the browser.
  RunUntilIdle();
}

std::vector<PP_Instance> Browser::LiveInstances() const { return live_; }

void Browser::PostToInstance(PP_Instance instance, const pp::Var& message) {
  pp::Var copy = pp::platform::DeepCopy(message);
  pp::Module::Get()->core()->CallOnMainThread(
      0, pp::platform::MakeFunctionCallback([instance, copy](int32_t) {
        pp::platform::ModuleHost::HandleMessage(instance, copy);
      }));
}

bool Browser::RunUntil(const std::function<bool()>& done, int64_t timeout_ms) {
  return pp::platform::RunMainLoopUntil(done, timeout_ms);
}

void Browser::RunFor(int64_t ms) {
  pp::platform::RunMainLoopUntil([] { return false; }, ms);
}

void Browser::RunUntilIdle() { pp::platform::RunMainLoopUntilIdle(); }

bool Browser::Await(PP_Instance instance, const std::function<bool(const pp::Var&)>& match,
                    int64_t timeout_ms, pp::Var* message) {
  // From the start each time: older messages may have gone meanwhile.
  auto take = [&]() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (ReceivedMessage& received : messages_) {
      if (received.awaited || received.instance != instance) continue;
      if (!match(received.message)) continue;
      received.awaited = true;
      if (message) *message = received.message;
      return true;
    }
    return false;
  };
  return RunUntil(take, timeout_ms);
}

std::vector<ReceivedMessage> Browser::Messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::vector<ReceivedMessage>(messages_.begin(), messages_.end());
}

std::vector<ConsoleLine> Browser::ConsoleLines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return console_;
}

void Browser::OnPostMessage(PP_Instance instance, const pp::Var& message) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(ReceivedMessage{instance, message, false});
    if (observer_) observer_->OnMessage(instance, message);
    ForgetOldestUnawaited(instance, TypeOf(message));
  }
  pp::platform::WakeMainLoop();
}

void Browser::ForgetOldestUnawaited(PP_Instance instance, const std::string& type) {
  auto same = [&](const ReceivedMessage& received) {
    return !received.awaited && received.instance == instance && TypeOf(received.message) == type;
  };
  if (static_cast<size_t>(std::count_if(messages_.begin(), messages_.end(), same)) <=
      kUnawaitedKeptPerType) {
    return;
  }
  messages_.erase(std::find_if(messages_.begin(), messages_.end(), same));
}

void Browser::OnLogToConsole(PP_Instance instance, PP_LogLevel level,
                             const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    console_.push_back(ConsoleLine{instance, level, text});
    if (observer_) observer_->OnConsole(instance, level, text);
  }
  pp::platform::WakeMainLoop();
}

}  // namespace pphost
