#include "ppplatform/browser.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <set>

#include "ppapi/c/pp_errors.h"
#include "ppapi/cpp/var_array.h"
#include "ppapi/cpp/var_dictionary.h"
#include "ppplatform/instance_resources.h"
#include "ppplatform/message_loop_impl.h"
#include "ppplatform/tty.h"

namespace pp {

namespace platform {

namespace {

std::atomic<BrowserDelegate*> browser_delegate{nullptr};
Module* module_singleton = nullptr;

const void* GetNoInterface(const char* interface_name) { return nullptr; }

std::mutex destroyed_mutex;
std::set<PP_Instance> destroyed_instances;

void SetInstanceDestroyed(PP_Instance id, bool destroyed) {
  std::lock_guard<std::mutex> lock(destroyed_mutex);
  if (destroyed) {
    destroyed_instances.insert(id);
  } else {
    destroyed_instances.erase(id);
  }
}

}  // namespace

BrowserDelegate::~BrowserDelegate() = default;

void SetBrowserDelegate(BrowserDelegate* delegate) { browser_delegate.store(delegate); }

BrowserDelegate* GetBrowserDelegate() { return browser_delegate.load(); }

Module* GetModuleSingleton() { return module_singleton; }

bool BecomeMainThread() {
  auto loop = std::make_shared<MessageLoopImpl>(true);
  if (!SetMainLoopImpl(loop)) return false;
  return loop->Attach(loop) == PP_OK;
}

bool RunMainLoopUntil(const std::function<bool()>& done, int64_t timeout_ms) {
  auto loop = GetMainLoopImpl();
  if (!loop) return done();
  auto deadline = MessageLoopImpl::Clock::now() + std::chrono::milliseconds(timeout_ms);
  return loop->RunUntil(done, deadline);
}

void RunMainLoopUntilIdle() {
  auto loop = GetMainLoopImpl();
  if (loop) loop->RunUntil([] { return false; }, MessageLoopImpl::Clock::now());
}

void WakeMainLoop() {
  auto loop = GetMainLoopImpl();
  if (loop) loop->Wake();
}

bool ModuleHost::InitializeModule(Module* module, PP_Module id) {
  module_singleton = module;
  if (!module->InternalInit(id, &GetNoInterface) || !module->Init()) {
    delete module;
    module_singleton = nullptr;
    return false;
  }
  return true;
}

void ModuleHost::ShutdownModule() {
  delete module_singleton;
  module_singleton = nullptr;
}

Instance* ModuleHost::CreateInstance(PP_Instance id, uint32_t argc, const char* argn[],
                                     const char* argv[]) {
  Module* module = module_singleton;
  if (!module) return nullptr;
  SetInstanceDestroyed(id, false);
  Instance* instance = module->CreateInstance(id);
  if (!instance) return nullptr;
  module->current_instances_[id] = instance;
  if (!instance->Init(argc, argn, argv)) {
    module->current_instances_.erase(id);
    delete instance;
    return nullptr;
  }
  return instance;
}

void ModuleHost::DestroyInstance(PP_Instance id) {
  Module* module = module_singleton;
  if (!module) return;
  auto found = module->current_instances_.find(id);
  if (found == module->current_instances_.end()) return;
  Instance* instance = found->second;
  module->current_instances_.erase(found);
  SetInstanceDestroyed(id, true);
  delete instance;
  InstanceResources::Release(id);
}

void ModuleHost::HandleMessage(PP_Instance id, const Var& message) {
  Module* module = module_singleton;
  Instance* instance = module ? module->InstanceForPPInstance(id) : nullptr;
  if (!instance) return;
  InstanceResources::AddIn(id, message);
  instance->HandleMessage(message);
}

bool IsInstanceDestroyed(PP_Instance instance) {
  std::lock_guard<std::mutex> lock(destroyed_mutex);
  return destroyed_instances.count(instance) != 0;
}

namespace {

class FunctionCallbackBody : public internal::CallbackBody {
 public:
  explicit FunctionCallbackBody(std::function<void(int32_t)> function)
      : function_(std::move(function)) {}

 protected:
  void Run(int32_t result) override { function_(result); }

 private:
  std::function<void(int32_t)> function_;
};

}  // namespace

CompletionCallback MakeFunctionCallback(std::function<void(int32_t)> function) {
  return CompletionCallback(std::make_shared<FunctionCallbackBody>(std::move(function)));
}

Var DeepCopy(const Var& var) {
  if (var.is_array()) {
    VarArray source(var);
    VarArray copy;
    for (uint32_t i = 0; i < source.GetLength(); ++i) copy.Set(i, DeepCopy(source.Get(i)));
    return copy;
  }
  if (var.is_dictionary()) {
    VarDictionary source(var);
    VarDictionary copy;
    VarArray keys = source.GetKeys();
    for (uint32_t i = 0; i < keys.GetLength(); ++i) {
      copy.Set(keys.Get(i), DeepCopy(source.Get(keys.Get(i))));
    }
    return copy;
  }
  return var;
}

}  // namespace platform

}  // namespace pp
