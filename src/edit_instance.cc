#include "edit_instance.h"

#include <pthread.h>

#include <cstdint>

#include "edit_config_parser.h"
#include "page_numbers.h"
#include "ppapi/cpp/module.h"
#include "video_encoder_rule.h"

namespace kelmora {

namespace {

const char* StateName(int state) {
  if (state == 1) return "started";
  if (state == 2) return "cancelled";
  if (state >= 3) return "done";
  return "inactive";
}

// The worker runs the edit job.
void NameWorker(void*, int32_t) { pthread_setname_np(pthread_self(), "edit-worker"); }

}  // namespace

EditInstance::EditInstance(PP_Instance instance)
    : WorkerBaseInstance(instance, "kelmoraEdit:"), callback_factory_(this) {}

EditInstance::~EditInstance() {
  // A running edit ends after its current step, and a "start" still queued
  // behind it does not begin another.
  destroying_ = true;
  cancel_requested_.exchange(true);
  JoinWorker();
  UnregisterPPEncoders(this);
}

bool EditInstance::Init(uint32_t argc, const char* argn[], const char* argv[]) {
  WorkerBaseInstance::Init(argc, argn, argv);
  worker_loop().PostWork(pp::CompletionCallback(&NameWorker, nullptr), 0);
  core_ = pp::Module::Get()->core();
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

void EditInstance::Start(int32_t, const pp::VarDictionary& data) {
  if (destroying_) return;
  if (state_ != kInactive) {
    LogError("cannot start while not inactive");
    return;
  }
  // A version that no int32 holds is ignored rather than converted.
  int32_t version = 0;
  if (ReadPageInt(data.Get(pp::Var("chromeVersion")), INT32_MIN, INT32_MAX, &version)) {
    SetChromeVersion(version);
  }

  EditConfig config;
  pp::Var config_text = data.Get(pp::Var("config"));
  if (!config_text.is_string() || !ParseEditConfig(config_text.AsString(), &config)) {
    PostTypedMessage("start", pp::Var("parsing edit config failed"));
    return;
  }
  job_.config_ = config;
  if (job_.Init() < 0) {
    PostTypedMessage("start", pp::Var("failed to initialize filtering"));
    return;
  }
  cancel_requested_.exchange(false);
  state_ = kStarted;
  PostTypedMessage("start", pp::Var(false));
  RunEdit();
}

void EditInstance::RunEdit() {
  double last_report = core_->GetTimeTicks();
  for (;;) {
    if (job_.IsDone()) {
      state_ = kDone;
      SendState();
      return;
    }
    const int result = job_.Step();
    // The page is gone; nothing more goes to it.
    if (destroying_) return;
    if (result < 0) LogError("edit_failed");
    if (cancel_requested_) {
      PostTypedMessage("cancel", pp::Var(false));
      return;
    }
    const double now = core_->GetTimeTicks();
    if (now - last_report > 1.0) {
      SendState();
      last_report = now;
    }
  }
}

void EditInstance::SendState() {
  const int state = state_;
  pp::VarDictionary data;
  data.Set(pp::Var("state"), pp::Var(StateName(state)));
  if (state == kStarted) {
    data.Set(pp::Var("progressMs"), pp::Var(static_cast<double>(job_.GetProgressMs())));
    data.Set(pp::Var("totalMs"), pp::Var(static_cast<double>(job_.GetDurationMs())));
  }
  PostTypedMessage("state", data);
}

void EditInstance::Cancel() {
  if (state_ != kStarted) {
    LogError("cannot cancel while not started");
    return;
  }
  cancel_requested_.exchange(true);
  state_ = kCancelled;
}

}  // namespace kelmora
