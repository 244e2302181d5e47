#ifndef KELMORA_EDIT_INSTANCE_H_
#define KELMORA_EDIT_INSTANCE_H_

#include <string>

#include "ppapi/c/pp_instance.h"
#include "ppapi/cpp/var.h"
#include "ppapi/cpp/var_dictionary.h"
#include "ppapi/utility/completion_callback_factory.h"
#include "worker_base_instance.h"

namespace kelmora {

// The plug-in instance of edit_module: takes the page's "start" and
// "cancel" commands.
class EditInstance : public WorkerBaseInstance {
 public:
  explicit EditInstance(PP_Instance instance);
  ~EditInstance() override;

  // Main thread.
  bool Init(uint32_t argc, const char* argn[], const char* argv[]) override;
  void HandleMessage(const pp::Var& message) override;

 private:
  // Worker thread.
  void Start(int32_t result, const pp::VarDictionary& data);
  // Main thread.
  void Cancel();

  pp::CompletionCallbackFactory<EditInstance, pp::ThreadSafeThreadTraits> callback_factory_;
};

}  // namespace kelmora

#endif  // KELMORA_EDIT_INSTANCE_H_
