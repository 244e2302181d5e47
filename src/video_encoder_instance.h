#ifndef KELMORA_VIDEO_ENCODER_INSTANCE_H_
#define KELMORA_VIDEO_ENCODER_INSTANCE_H_

#include <string>

#include "ppapi/c/pp_instance.h"
#include "ppapi/cpp/core.h"
#include "ppapi/cpp/var.h"
#include "ppapi/cpp/var_dictionary.h"
#include "ppapi/utility/completion_callback_factory.h"
#include "worker_base_instance.h"

namespace kelmora {

// The plug-in instance of encoder_module: takes the page's recording
// commands.
class VideoEncoderInstance : public WorkerBaseInstance {
 public:
  explicit VideoEncoderInstance(PP_Instance instance);
  ~VideoEncoderInstance() override;

  // Main thread.
  bool Init(uint32_t argc, const char* argn[], const char* argv[]) override;
  void HandleMessage(const pp::Var& message) override;

 private:
  // Command handlers, worker thread.
  void Start(int32_t result, const pp::VarDictionary& data);
  void Stop(int32_t result, const pp::VarDictionary& data);
  void Pause(int32_t result, const pp::VarDictionary& data);
  void Resume(int32_t result, const pp::VarDictionary& data);
  void ReplaceTracks(int32_t result, const pp::VarDictionary& data);

  pp::CompletionCallbackFactory<VideoEncoderInstance, pp::ThreadSafeThreadTraits>
      callback_factory_;
  pp::Core* core_;
};

}  // namespace kelmora

#endif  // KELMORA_VIDEO_ENCODER_INSTANCE_H_
