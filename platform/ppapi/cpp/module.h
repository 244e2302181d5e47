#ifndef PPAPI_CPP_MODULE_H_
#define PPAPI_CPP_MODULE_H_

#include <map>

#include "ppapi/c/pp_instance.h"
#include "ppapi/c/pp_module.h"
#include "ppapi/c/ppb.h"
#include "ppapi/cpp/core.h"

namespace pp {

class Instance;
namespace platform {
class ModuleHost;
}  // namespace platform

// The loaded plug-in module. The deliverable provides pp::CreateModule,
// which the browser calls once; the module then creates one instance per
// embed element.
class Module {
 public:
  typedef std::map<PP_Instance, Instance*> InstanceMap;

  Module();
  virtual ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // The module of this process; null before it is initialised.
  static Module* Get();

  // After the browser set the module up; false fails the module.
  virtual bool Init();
  virtual Instance* CreateInstance(PP_Instance instance) = 0;

  PP_Module pp_module() const { return pp_module_; }
  PPB_GetInterface get_browser_interface() const { return get_browser_interface_; }
  const void* GetBrowserInterface(const char* interface_name);
  Core* core() { return core_; }

  // Instances that exist now (main thread).
  const InstanceMap& current_instances() const { return current_instances_; }
  Instance* InstanceForPPInstance(PP_Instance instance);

  // Browser side: sets the module up before Init.
  bool InternalInit(PP_Module module, PPB_GetInterface get_browser_interface);

 private:
  friend class platform::ModuleHost;
  InstanceMap current_instances_;
  PP_Module pp_module_;
  PPB_GetInterface get_browser_interface_;
  Core* core_;
};

// Implemented by each deliverable.
Module* CreateModule();

}  // namespace pp

#endif  // PPAPI_CPP_MODULE_H_
