#ifndef KELMORA_EDIT_INSTANCE_H_
#define KELMORA_EDIT_INSTANCE_H_

#include <atomic>
#include <cstdint>
#include <string>

#include "edit_job.h"
#include "ppapi/c/pp_instance.h"
#include "ppapi/cpp/core.h"
#include "ppapi/cpp/var.h"
#include "ppapi/cpp/var_dictionary.h"
#include "ppapi/utility/completion_callback_factory.h"
#include "worker_base_instance.h"

namespace kelmora {

// The plug-in instance of edit_module: runs one edit that the page's
// "start" describes, reports its progress about once a second, and stops
// it on "cancel". Construction, Init, HandleMessage, Cancel and
// destruction run on the main thread; Start, RunEdit, SendState and every
// call into the job on the worker thread.
class EditInstance : public WorkerBaseInstance {
 public:
  explicit EditInstance(PP_Instance instance);
  ~EditInstance() override;

  // Main thread.
  bool Init(uint32_t argc, const char* argn[], const char* argv[]) override;
  void HandleMessage(const pp::Var& message) override;

 private:
  enum State : int {
    kInactive = 0,
    kStarted = 1,
    kCancelled = 2,
    kDone = 3,
  };

  // Worker thread.
  void Start(int32_t result, const pp::VarDictionary& data);
  void RunEdit();
  void SendState();
  // Main thread.
  void Cancel();

  pp::CompletionCallbackFactory<EditInstance, pp::ThreadSafeThreadTraits> callback_factory_;
  EditJob job_;
  // Set by the main thread on an accepted cancel, cleared by the worker
  // when an edit starts; both by exchange.
  std::atomic<bool> cancel_requested_{false};
  std::atomic<int> state_{kInactive};
  // Set once the instance is being destroyed: no edit starts any more, and
  // a running one ends after its current step.
  std::atomic<bool> destroying_{false};
  pp::Core* core_ = nullptr;
};

}  // namespace kelmora

#endif  // KELMORA_EDIT_INSTANCE_H_
