#ifndef PPAPI_CPP_INSTANCE_HANDLE_H_
#define PPAPI_CPP_INSTANCE_HANDLE_H_

#include "ppapi/c/pp_instance.h"

namespace pp {

class Instance;

// Names an instance without owning or reaching it; safe to keep on any
// thread.
class InstanceHandle {
 public:
  InstanceHandle(Instance* instance);
  explicit InstanceHandle(PP_Instance pp_instance) : pp_instance_(pp_instance) {}

  PP_Instance pp_instance() const { return pp_instance_; }

 private:
  PP_Instance pp_instance_;
};

}  // namespace pp

#endif  // PPAPI_CPP_INSTANCE_HANDLE_H_
