#include "ppapi/cpp/module.h"

namespace pp {

namespace platform {
Module* GetModuleSingleton();
}  // namespace platform

Module::Module() : pp_module_(0), get_browser_interface_(nullptr), core_(nullptr) {}

Module::~Module() { delete core_; }

Module* Module::Get() { return platform::GetModuleSingleton(); }

bool Module::Init() { return true; }

const void* Module::GetBrowserInterface(const char* interface_name) {
  return get_browser_interface_ ? get_browser_interface_(interface_name) : nullptr;
}

Instance* Module::InstanceForPPInstance(PP_Instance instance) {
  auto found = current_instances_.find(instance);
  return found == current_instances_.end() ? nullptr : found->second;
}

bool Module::InternalInit(PP_Module module, PPB_GetInterface get_browser_interface) {
  pp_module_ = module;
  get_browser_interface_ = get_browser_interface;
  if (!core_) core_ = new Core();
  return true;
}

}  // namespace pp
