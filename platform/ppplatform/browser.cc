#include "ppplatform/browser.h"

#include <atomic>
#include <memory>

#include "ppapi/c/pp_errors.h"
#include "ppapi/cpp/var_array.h"
#include "ppapi/cpp/var_dictionary.h"
#include "ppplatform/message_loop_impl.h"
#include "ppplatform/tty.h"

namespace pp {

namespace platform {

std::shared_ptr<MessageLoopImpl> GetMainLoopImpl();
bool SetMainLoopImpl(const std::shared_ptr<MessageLoopImpl>& loop);

namespace {

std::atomic<BrowserDelegate*> browser_delegate{nullptr};
Module* module_singleton = nullptr;

const void* GetNoInterface(const char* interface_name) { return nullptr; }

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
  delete instance;
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
