#ifndef PPPLATFORM_PENDING_COMPLETION_H_
#define PPPLATFORM_PENDING_COMPLETION_H_

// How the browser completes asynchronous calls; every resource uses it.
//
// The rules, as a browser applies them:
// - A required callback (what CompletionCallbackFactory::NewCallback makes)
//   never runs inside the call: the call returns PP_OK_COMPLETIONPENDING
//   and the callback runs later on the loop of the calling thread, also
//   when the call fails at once (bad argument, wrong state, a request
//   already in progress).
// - An optional callback gets an immediate failure as the call's result,
//   and is then not run.
// - A blocking callback (an empty one) is refused on the main thread with
//   PP_ERROR_BLOCKS_MAIN_THREAD; elsewhere the call waits for its result
//   and returns it.
// - A call still pending when its resource is closed, released by the
//   module or left by its destroyed instance completes with
//   PP_ERROR_ABORTED, also when its result was already on its way.
//
// The one example to copy, for a new resource FooImpl with a call DoIt:
//
//   class FooImpl : public ResourceObject {   // ppplatform/foo_impl.h
//    public:
//     int32_t DoIt(const CompletionCallbackWithOutput<Var>& callback) {
//       std::lock_guard<std::mutex> lock(mutex_);
//       // Immediate failures are plain return values; RunCall below
//       // delivers them as the rules say.
//       if (closed_) return PP_ERROR_FAILED;
//       if (pending_.is_pending()) return PP_ERROR_INPROGRESS;
//       return pending_.Bind(callback, &calls_);   // bind last
//     }
//     // From any thread, once the result is known, with a DeferredReleases
//     // |later| declared before the lock:
//     //   pending_.Complete(PP_OK, [output = pending_.callback().output(),
//     //                              value] { if (output) *output = value; },
//     //                     &later);
//     void Close() {
//       // The callbacks may hold the module's last reference to this
//       // object: they go once the lock is released.
//       DeferredReleases later;
//       std::lock_guard<std::mutex> lock(mutex_);
//       closed_ = true;
//       calls_.AbortAll(&later);
//       pending_.Abort(&later);
//     }
//    private:
//     void LastModuleReferenceReleased() override { Close(); }
//     std::mutex mutex_;
//     bool closed_ = false;
//     CompletionGroup calls_;
//     PendingCompletion<CompletionCallbackWithOutput<Var>> pending_;
//   };
//
//   // The module's wrapper (ppapi/cpp/foo.cc):
//   Foo::Foo(const InstanceHandle& instance)
//       : Resource(platform::NewInstanceResource<platform::FooImpl>(instance)) {}
//   int32_t Foo::DoIt(const CompletionCallbackWithOutput<Var>& callback) {
//     return platform::RunCall(callback, [&] {
//       auto impl = object_as<platform::FooImpl>();
//       return impl ? impl->DoIt(callback) : PP_ERROR_BADRESOURCE;
//     });
//   }
//
// Thread use: PendingCompletion and CompletionGroup may be called from any
// thread; a PendingCompletion is guarded by its owner's lock.

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "ppapi/c/pp_errors.h"
#include "ppapi/cpp/completion_callback.h"
#include "ppplatform/deferred_releases.h"
#include "ppplatform/message_loop_impl.h"

namespace pp {
namespace platform {

namespace internal {
struct CompletionRecord;
}  // namespace internal

// The calls in flight of one resource, for aborting them together.
class CompletionGroup {
 public:
  CompletionGroup();
  // Aborts what is still in flight.
  ~CompletionGroup();
  CompletionGroup(const CompletionGroup&) = delete;
  CompletionGroup& operator=(const CompletionGroup&) = delete;

  // Every call of the group whose callback has not run yet completes with
  // PP_ERROR_ABORTED: one still pending at once, one whose result is
  // already scheduled in place of that result (its output is not
  // delivered). Calls bound later are not affected. With |later|, the
  // records are let go with it.
  void AbortAll(DeferredReleases* later = nullptr);

  void Add(const std::shared_ptr<internal::CompletionRecord>& record);

 private:
  std::mutex mutex_;
  std::vector<std::weak_ptr<internal::CompletionRecord>> records_;
};

namespace internal {

// One call in flight, shared by its PendingCompletion, its group and the
// work item that delivers it.
struct CompletionRecord {
  std::mutex mutex;
  std::condition_variable finished_wait;
  CompletionCallback callback;  // empty for a blocking call
  std::shared_ptr<MessageLoopImpl> loop;
  bool finished = false;  // the result is decided
  bool delivered = false;  // the callback ran or the waiter took the result
  bool aborted = false;
  int32_t result = PP_OK;
  std::function<void()> deliver;
};

// Decides |record| with |result|; |deliver| stores the output on the
// caller's thread just before the callback runs. False when it was decided
// already.
bool FinishRecord(const std::shared_ptr<CompletionRecord>& record, int32_t result,
                  std::function<void()> deliver, bool abort);

// A new record for |callback| on the calling thread; null with |*error|
// set when the call cannot be made from here.
std::shared_ptr<CompletionRecord> NewRecord(const CompletionCallback& callback,
                                            int32_t* error);

}  // namespace internal

// The completion of one asynchronous call, for the platform objects that
// implement such calls: bound to the calling thread (its message loop, or
// the thread itself for a blocking call), completed from any thread.
template <typename Callback = CompletionCallback>
class PendingCompletion {
 public:
  PendingCompletion() = default;

  // PP_OK_COMPLETIONPENDING; PP_ERROR_NO_MESSAGE_LOOP when the calling
  // thread has no loop; PP_ERROR_BLOCKS_MAIN_THREAD for a blocking
  // callback on the main thread. With |group|, the call is aborted with
  // the group.
  int32_t Bind(const Callback& callback, CompletionGroup* group = nullptr) {
    int32_t error = PP_OK;
    std::shared_ptr<internal::CompletionRecord> record =
        internal::NewRecord(callback, &error);
    if (!record) return error;
    if (group) group->Add(record);
    callback_ = callback;
    record_ = std::move(record);
    return PP_OK_COMPLETIONPENDING;
  }

  // Bound and neither completed nor aborted.
  bool is_pending() const {
    if (!record_) return false;
    std::lock_guard<std::mutex> lock(record_->mutex);
    return !record_->finished;
  }

  // Where a callback with output gets its value before Complete (null for
  // a blocking call without output).
  Callback& callback() { return callback_; }

  // Schedules the callback with |result| on the caller's loop (or wakes
  // the blocked caller) and forgets it. |deliver|, when given, runs on the
  // caller's thread just before the callback, and not at all when the
  // call is aborted meanwhile. Nothing happens when the call was aborted
  // already; the result is dropped when the caller's loop is gone. With
  // |later|, the callback is let go with it.
  void Complete(int32_t result, std::function<void()> deliver = nullptr,
                DeferredReleases* later = nullptr) {
    std::shared_ptr<internal::CompletionRecord> record = std::move(record_);
    Callback callback = std::move(callback_);
    callback_ = Callback();
    if (record) internal::FinishRecord(record, result, std::move(deliver), false);
    Defer(std::move(record), std::move(callback), later);
  }

  // Completes with PP_ERROR_ABORTED.
  void Abort(DeferredReleases* later = nullptr) {
    std::shared_ptr<internal::CompletionRecord> record = std::move(record_);
    Callback callback = std::move(callback_);
    callback_ = Callback();
    if (record) internal::FinishRecord(record, PP_ERROR_ABORTED, nullptr, true);
    Defer(std::move(record), std::move(callback), later);
  }

 private:
  static void Defer(std::shared_ptr<internal::CompletionRecord> record, Callback callback,
                    DeferredReleases* later) {
    if (!later || !record) return;
    later->Keep(std::move(record));
    later->Keep(std::make_shared<Callback>(std::move(callback)));
  }

  Callback callback_;
  std::shared_ptr<internal::CompletionRecord> record_;
};

// The module-facing end of every asynchronous call (the wrappers in
// ppapi/cpp use it). Checks the calling thread, runs |call| (the
// resource's own work, returning PP_OK_COMPLETIONPENDING once it bound a
// PendingCompletion, or an immediate result), then applies the rules
// above: an immediate result reaches a required callback later on this
// thread's loop; a blocking call waits here for its result.
int32_t CheckCallThread(const CompletionCallback& callback);
int32_t FinishCall(const CompletionCallback& callback, int32_t result);

template <typename Callback, typename Call>
int32_t RunCall(const Callback& callback, Call&& call) {
  int32_t check = CheckCallThread(callback);
  if (check != PP_OK) return check;
  return FinishCall(callback, call());
}

}  // namespace platform
}  // namespace pp

#endif  // PPPLATFORM_PENDING_COMPLETION_H_
