#include "ppapi/cpp/completion_callback.h"

#include <cstdio>
#include <cstdlib>

#include "ppapi/cpp/core.h"
#include "ppapi/cpp/module.h"

namespace pp {

namespace internal {

namespace {

class FunctionBody : public CallbackBody {
 public:
  FunctionBody(PP_CompletionCallback_Func func, void* user_data)
      : func_(func), user_data_(user_data) {}

 protected:
  void Run(int32_t result) override { func_(user_data_, result); }

 private:
  PP_CompletionCallback_Func func_;
  void* user_data_;
};

}  // namespace

CallbackBody::~CallbackBody() = default;

void CallbackBody::RunOnce(int32_t result) {
  if (ran_.exchange(true)) {
    fprintf(stderr, "completion callback run twice\n");
    abort();
  }
  Run(result);
}

}  // namespace internal

CompletionCallback::CompletionCallback() : flags_(PP_COMPLETIONCALLBACK_FLAG_NONE) {}

CompletionCallback::CompletionCallback(PP_CompletionCallback_Func func, void* user_data)
    : CompletionCallback(func, user_data, PP_COMPLETIONCALLBACK_FLAG_NONE) {}

CompletionCallback::CompletionCallback(PP_CompletionCallback_Func func, void* user_data,
                                       int32_t flags)
    : flags_(flags) {
  if (func) body_ = std::make_shared<internal::FunctionBody>(func, user_data);
}

CompletionCallback::CompletionCallback(std::shared_ptr<internal::CallbackBody> body,
                                       int32_t flags)
    : body_(std::move(body)), flags_(flags) {}

CompletionCallback::~CompletionCallback() = default;

void CompletionCallback::Run(int32_t result) const {
  if (body_) body_->RunOnce(result);
}

int32_t CompletionCallback::MayForce(int32_t result) const {
  if (result == PP_OK_COMPLETIONPENDING || IsOptional() || !body_) return result;
  Module::Get()->core()->CallOnMainThread(0, *this, result);
  return PP_OK_COMPLETIONPENDING;
}

}  // namespace pp
