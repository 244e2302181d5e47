// The module object of edit_module.

#include "edit_instance.h"
#include "ppapi/cpp/instance.h"
#include "ppapi/cpp/module.h"

class EditModule : public pp::Module {
 public:
  EditModule() : pp::Module() {}
  ~EditModule() override {}

  pp::Instance* CreateInstance(PP_Instance instance) override {
    return new kelmora::EditInstance(instance);
  }
};

namespace pp {

Module* CreateModule() { return new EditModule(); }

}  // namespace pp
