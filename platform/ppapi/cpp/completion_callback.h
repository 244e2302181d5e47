#ifndef PPAPI_CPP_COMPLETION_CALLBACK_H_
#define PPAPI_CPP_COMPLETION_CALLBACK_H_

#include <atomic>
#include <memory>

#include "ppapi/c/pp_completion_callback.h"
#include "ppapi/c/pp_errors.h"
#include "ppapi/c/pp_stdint.h"

namespace pp {

namespace internal {

// What a completion callback runs. Shared by every copy of the callback;
// it runs at most once and is freed with the last copy, so a callback that
// is dropped without running (a loop that quits, a factory that is gone)
// leaks nothing.
class CallbackBody {
 public:
  virtual ~CallbackBody();
  // Runs the body once; running the same callback twice is a programming
  // error and stops the module.
  void RunOnce(int32_t result);

 protected:
  virtual void Run(int32_t result) = 0;

 private:
  std::atomic<bool> ran_{false};
};

template <typename T>
class OutputCallbackBody : public CallbackBody {
 public:
  T* output() { return &output_; }

 protected:
  T output_{};
};

}  // namespace internal

// A function to run when an asynchronous call completes, with the call's
// result. An empty callback (default constructed) is the blocking form: the
// call waits for its result and returns it, which the main thread may not
// do.
class CompletionCallback {
 public:
  CompletionCallback();
  CompletionCallback(PP_CompletionCallback_Func func, void* user_data);
  CompletionCallback(PP_CompletionCallback_Func func, void* user_data, int32_t flags);
  explicit CompletionCallback(std::shared_ptr<internal::CallbackBody> body,
                              int32_t flags = PP_COMPLETIONCALLBACK_FLAG_NONE);
  virtual ~CompletionCallback();

  void set_flags(int32_t flags) { flags_ = flags; }
  int32_t flags() const { return flags_; }
  bool IsOptional() const { return (flags_ & PP_COMPLETIONCALLBACK_FLAG_OPTIONAL) != 0; }
  bool is_empty() const { return !body_; }

  // Runs the callback now, on the calling thread.
  void Run(int32_t result) const;
  // For a call that returned |result| at once: a non-optional callback is
  // still run, later, on the main thread; returns PP_OK_COMPLETIONPENDING
  // then, else |result|.
  int32_t MayForce(int32_t result) const;

 protected:
  const std::shared_ptr<internal::CallbackBody>& body() const { return body_; }

 private:
  std::shared_ptr<internal::CallbackBody> body_;
  int32_t flags_;
};

// A callback whose call also delivers a value of type T; the platform stores
// it through output() before the callback runs.
template <typename T>
class CompletionCallbackWithOutput : public CompletionCallback {
 public:
  typedef T OutputStorageType;

  CompletionCallbackWithOutput() = default;
  // The blocking form: the call waits for its result and stores the value
  // in |output| (off the main thread only).
  explicit CompletionCallbackWithOutput(T* output) : blocking_output_(output) {}
  explicit CompletionCallbackWithOutput(
      std::shared_ptr<internal::OutputCallbackBody<T>> body,
      int32_t flags = PP_COMPLETIONCALLBACK_FLAG_NONE)
      : CompletionCallback(body, flags), output_body_(std::move(body)) {}

  // Where the value goes; null for an empty callback made without one.
  T* output() const { return output_body_ ? output_body_->output() : blocking_output_; }

 private:
  std::shared_ptr<internal::OutputCallbackBody<T>> output_body_;
  T* blocking_output_ = nullptr;
};

}  // namespace pp

#endif  // PPAPI_CPP_COMPLETION_CALLBACK_H_
