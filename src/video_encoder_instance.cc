#include "video_encoder_instance.h"

#include "ppapi/cpp/module.h"
#include "video_encoder_rule.h"

namespace kelmora {

VideoEncoderInstance::VideoEncoderInstance(PP_Instance instance)
    : WorkerBaseInstance(instance, "ruzevUroviRodarav:"),
      callback_factory_(this),
      core_(nullptr) {}

VideoEncoderInstance::~VideoEncoderInstance() {
  // Work on the worker uses the members below.
  JoinWorker();
  UnregisterPPEncoders(this);
}

bool VideoEncoderInstance::Init(uint32_t argc, const char* argn[], const char* argv[]) {
  WorkerBaseInstance::Init(argc, argn, argv);
  Log("initializing encoder module\n");
  core_ = pp::Module::Get()->core();
  RegisterPPEncoders(this);
  return true;
}

void VideoEncoderInstance::HandleMessage(const pp::Var& message) {
  std::string type;
  pp::VarDictionary data;
  if (!CheckMessage(message, &type, &data)) return;
  void (VideoEncoderInstance::*handler)(int32_t, const pp::VarDictionary&) = nullptr;
  if (type == "start") {
    handler = &VideoEncoderInstance::Start;
  } else if (type == "stop") {
    handler = &VideoEncoderInstance::Stop;
  } else if (type == "pause") {
    handler = &VideoEncoderInstance::Pause;
  } else if (type == "resume") {
    handler = &VideoEncoderInstance::Resume;
  } else if (type == "replaceTracks") {
    handler = &VideoEncoderInstance::ReplaceTracks;
  } else {
    LogUnknownMessageType();
    return;
  }
  worker_loop().PostWork(callback_factory_.NewCallback(handler, data), 0);
}

void VideoEncoderInstance::Start(int32_t result, const pp::VarDictionary& data) {}

void VideoEncoderInstance::Stop(int32_t result, const pp::VarDictionary& data) {}

void VideoEncoderInstance::Pause(int32_t result, const pp::VarDictionary& data) {}

void VideoEncoderInstance::Resume(int32_t result, const pp::VarDictionary& data) {}

void VideoEncoderInstance::ReplaceTracks(int32_t result, const pp::VarDictionary& data) {}

}  // namespace kelmora
