#ifndef PPAPI_CPP_MESSAGE_LOOP_H_
#define PPAPI_CPP_MESSAGE_LOOP_H_

#include "ppapi/c/pp_stdint.h"
#include "ppapi/cpp/completion_callback.h"
#include "ppapi/cpp/instance_handle.h"
#include "ppapi/cpp/resource.h"

namespace pp {

// A queue of work run one item at a time on the thread it is attached to.
// Completions of asynchronous calls run on the loop of the thread that made
// the call; the browser's main thread has its own loop.
class MessageLoop : public Resource {
 public:
  MessageLoop();  // null
  // A new loop, not yet attached to a thread.
  explicit MessageLoop(const InstanceHandle& instance);
  MessageLoop(const MessageLoop& other);
  explicit MessageLoop(const Resource& resource);
  ~MessageLoop() override;
  MessageLoop& operator=(const MessageLoop& other);

  // The loop of the browser's main thread (null before the browser made
  // one).
  static MessageLoop GetForMainThread();
  // The loop attached to the calling thread, or null.
  static MessageLoop GetCurrent();

  // PP_ERROR_INPROGRESS when this thread already has a loop or this loop a
  // thread.
  int32_t AttachToCurrentThread();
  // Runs work until a quit is reached. PP_ERROR_WRONG_THREAD off the loop's
  // thread; PP_ERROR_INPROGRESS when already running or for the main
  // thread's loop, which the browser runs.
  int32_t Run();
  // Queues |callback| to run with PP_OK after |delay_ms|. Work that is due
  // at the same time runs in the order posted. PP_ERROR_BADARGUMENT for an
  // empty callback, PP_ERROR_FAILED once the loop is destroyed.
  int32_t PostWork(const CompletionCallback& callback, int64_t delay_ms = 0);
  // Queues a quit: work posted earlier that is due by now still runs, then
  // Run returns. With |should_destroy| the loop then detaches from its
  // thread, takes no more work and drops the delayed work still queued.
  int32_t PostQuit(bool should_destroy);
};

}  // namespace pp

#endif  // PPAPI_CPP_MESSAGE_LOOP_H_
