#include "edit_instance.h"

#include "video_encoder_rule.h"

namespace kelmora {

EditInstance::EditInstance(PP_Instance instance)
    : WorkerBaseInstance(instance, "kelmoraEdit:"), callback_factory_(this) {}

EditInstance::~EditInstance() {
  // Work on the worker uses the members below.
  JoinWorker();
  UnregisterPPEncoders(this);
}

bool EditInstance::Init(uint32_t argc, const char* argn[], const char* argv[]) {
  WorkerBaseInstance::Init(argc, argn, argv);
  RegisterPPEncoders(this);
  return true;
}

void EditInstance::HandleMessage(const pp::Var& message) {
  std::string type;
  pp::VarDictionary data;
  if (!CheckMessage(message, &type, &data)) return;
  if (type == "start") {
    worker_loop().PostWork(callback_factory_.NewCallback(&EditInstance::Start, data), 0);
  } else if (type == "cancel") {
    Cancel();
  } else {
    LogUnknownMessageType();
  }
}

void EditInstance::Start(int32_t result, const pp::VarDictionary& data) {}

void EditInstance::Cancel() {}

}  // namespace kelmora
