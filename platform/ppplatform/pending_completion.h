#ifndef PPPLATFORM_PENDING_COMPLETION_H_
#define PPPLATFORM_PENDING_COMPLETION_H_

#include <memory>
#include <utility>

#include "ppapi/c/pp_errors.h"
#include "ppapi/cpp/completion_callback.h"
#include "ppplatform/message_loop_impl.h"

namespace pp {
namespace platform {

// The completion of an asynchronous call, for the platform objects that
// implement such calls: bound to the message loop of the thread that made
// the call, and run there when the platform completes it, from any thread.
template <typename Callback = CompletionCallback>
class PendingCompletion {
 public:
  PendingCompletion() = default;

  // PP_OK_COMPLETIONPENDING; PP_ERROR_BADARGUMENT for an empty (blocking)
  // callback; PP_ERROR_NO_MESSAGE_LOOP when the calling thread has no loop.
  int32_t Bind(const Callback& callback) {
    if (callback.is_empty()) return PP_ERROR_BADARGUMENT;
    std::shared_ptr<MessageLoopImpl> loop = MessageLoopImpl::Current();
    if (!loop) return PP_ERROR_NO_MESSAGE_LOOP;
    callback_ = callback;
    loop_ = std::move(loop);
    return PP_OK_COMPLETIONPENDING;
  }

  bool is_pending() const { return loop_ != nullptr; }

  // Where a callback with output gets its value before Complete.
  Callback& callback() { return callback_; }

  // Queues the callback with |result| on its loop and forgets it. Dropped
  // when that loop is gone.
  void Complete(int32_t result) {
    if (!loop_) return;
    std::shared_ptr<MessageLoopImpl> loop = std::move(loop_);
    Callback callback = std::move(callback_);
    loop_.reset();
    callback_ = Callback();
    loop->PostWork(callback, 0, result);
  }

 private:
  Callback callback_;
  std::shared_ptr<MessageLoopImpl> loop_;
};

}  // namespace platform
}  // namespace pp

#endif  // PPPLATFORM_PENDING_COMPLETION_H_
