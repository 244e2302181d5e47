#ifndef PPPLATFORM_MEDIA_STREAM_TRACK_CORE_H_
#define PPPLATFORM_MEDIA_STREAM_TRACK_CORE_H_

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "ppapi/c/pp_errors.h"
#include "ppapi/cpp/completion_callback.h"
#include "ppapi/cpp/resource.h"
#include "ppplatform/browser.h"
#include "ppplatform/media_stream_hooks.h"
#include "ppplatform/message_loop_impl.h"

namespace pp {
namespace platform {

// What the host's registry of live tracks needs of any track.
class MediaStreamTrackControl {
 public:
  virtual ~MediaStreamTrackControl();
  virtual void End() = 0;
  virtual MediaStreamTrackRecord record() const = 0;
};

// Live tracks by id, for the hooks. Any thread.
void RegisterMediaStreamTrack(const std::string& id,
                              std::weak_ptr<MediaStreamTrackControl> track);
// The result that this call must give instead of its own, or PP_OK.
int32_t TakeMediaStreamFailure(MediaStreamCall call);

// What video and audio tracks share: the buffers lent to the module, the
// queue of filled buffers, the one pending request, the pending Configure,
// end and close. |Buffer| is the module's wrapper (pp::VideoFrame,
// pp::AudioBuffer), |Impl| the object behind it.
//
// The module calls from any thread with a message loop; completions go to
// the loop of the calling thread. The source side (Reserve, Offer, End) is
// called from the source's own thread.
template <typename Buffer, typename Impl>
class MediaStreamTrackCore : public ResourceObject,
                             public MediaStreamTrackControl,
                             public std::enable_shared_from_this<MediaStreamTrackCore<Buffer, Impl>> {
 public:
  typedef CompletionCallbackWithOutput<Buffer> Request;

  MediaStreamTrackCore(std::string id, MediaStreamCall configure_call, MediaStreamCall get_call,
                       size_t capacity)
      : id_(std::move(id)),
        configure_call_(configure_call),
        get_call_(get_call),
        capacity_(capacity) {}

  ~MediaStreamTrackCore() override { DropAll(); }

  const std::string& track_id() const { return id_; }

  bool HasEnded() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_ || closed_;
  }

  MediaStreamTrackRecord record() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return record_;
  }

  int32_t Get(const Request& callback) {
    std::shared_ptr<MessageLoopImpl> loop;
    int32_t check = CheckCall(callback, &loop);
    if (check != PP_OK) return check;
    std::unique_lock<std::mutex> lock(mutex_);
    if (ended_ || closed_) return Reply(loop, callback, PP_ERROR_FAILED);
    if (request_pending_ || configure_pending_) return Reply(loop, callback, PP_ERROR_INPROGRESS);
    int32_t failure = TakeMediaStreamFailure(get_call_);
    if (failure != PP_OK) return Reply(loop, callback, failure);
    if (!queued_.empty()) {
      std::shared_ptr<Impl> item = TakeQueuedLocked();
      if (callback.IsOptional()) {
        *callback.output() = Buffer(Resource(item));
        return PP_OK;
      }
      request_pending_ = true;
      PostDelivery(loop, callback, item);
      return PP_OK_COMPLETIONPENDING;
    }
    request_pending_ = true;
    waiting_loop_ = loop;
    waiting_ = callback;
    return PP_OK_COMPLETIONPENDING;
  }

  int32_t Recycle(const Buffer& buffer) {
    std::shared_ptr<Impl> item = buffer.template object_as<Impl>();
    std::lock_guard<std::mutex> lock(mutex_);
    auto lent = item ? lent_.find(item.get()) : lent_.end();
    if (lent == lent_.end()) return PP_ERROR_BADRESOURCE;
    lent_.erase(lent);
    item->DropData();
    return PP_OK;
  }

  // The module is done with the track: pending calls are aborted, lent
  // buffers lose their data, nothing more is delivered.
  void Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    closed_ = true;
    AbortLocked();
  }

  // The source ended: a waiting request fails, queued buffers go.
  void End() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_ || closed_) return;
    ended_ = true;
    if (request_pending_ && waiting_loop_) {
      Post(waiting_loop_, waiting_, PP_ERROR_FAILED, nullptr);
      waiting_loop_.reset();
      waiting_ = Request();
    }
    for (auto& item : queued_) item->DropData();
    queued_.clear();
  }

 protected:
  // Checks what every Configure checks, then runs |apply| with the lock
  // held (it validates and stores the settings: PP_OK or a failure);
  // queued buffers of the old settings go.
  int32_t ConfigureWith(const CompletionCallback& callback, const std::function<int32_t()>& apply) {
    std::shared_ptr<MessageLoopImpl> loop;
    int32_t check = CheckCall(callback, &loop);
    if (check != PP_OK) return check;
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_ || closed_) return Reply(loop, callback, PP_ERROR_FAILED);
    if (configure_pending_ || request_pending_ || !lent_.empty())
      return Reply(loop, callback, PP_ERROR_INPROGRESS);
    int32_t result = apply();
    if (result == PP_OK) result = TakeMediaStreamFailure(configure_call_);
    if (result != PP_OK) return Reply(loop, callback, result);
    ++record_.configures;
    ++generation_;
    for (auto& item : queued_) item->DropData();
    queued_.clear();
    configure_pending_ = true;
    std::shared_ptr<MediaStreamTrackCore> self = this->shared_from_this();
    CompletionCallback done = callback;
    loop->PostWork(MakeFunctionCallback([self, done](int32_t) {
                     bool aborted;
                     {
                       std::lock_guard<std::mutex> lock(self->mutex_);
                       self->configure_pending_ = false;
                       aborted = self->closed_;
                     }
                     done.Run(aborted ? PP_ERROR_ABORTED : PP_OK);
                   }),
                   0, PP_OK);
    return PP_OK_COMPLETIONPENDING;
  }

  // With the lock held by the caller of the source side.
  std::mutex& mutex() const { return mutex_; }
  void set_capacity_locked(size_t capacity) { capacity_ = capacity; }
  size_t capacity_locked() const { return capacity_; }
  // Changes with every accepted Configure.
  uint64_t generation_locked() const { return generation_; }
  bool ended_locked() const { return ended_ || closed_; }

  // Source side: room for one more buffer? Counts a drop when there is
  // none. On true, the generation to hand back with Offer.
  bool Reserve(uint64_t* generation) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_ || closed_) return false;
    if (queued_.size() + lent_.size() + reserved_ >= capacity_) {
      ++record_.dropped;
      return false;
    }
    ++reserved_;
    *generation = generation_;
    return true;
  }

  // Source side: hands over a reserved buffer (null gives the reservation
  // back). A buffer made for settings that changed meanwhile is dropped.
  void Offer(std::shared_ptr<Impl> item, uint64_t generation) {
    std::lock_guard<std::mutex> lock(mutex_);
    --reserved_;
    if (!item || ended_ || closed_ || generation != generation_) return;
    queued_.push_back(std::move(item));
    if (waiting_loop_) {
      std::shared_ptr<Impl> next = TakeQueuedLocked();
      PostDelivery(waiting_loop_, waiting_, next);
      waiting_loop_.reset();
      waiting_ = Request();
    }
  }

 private:
  static int32_t CheckCall(const CompletionCallback& callback,
                           std::shared_ptr<MessageLoopImpl>* loop) {
    // Blocking calls (no callback) are not offered by this browser.
    if (callback.is_empty()) return PP_ERROR_BADARGUMENT;
    *loop = MessageLoopImpl::Current();
    if (!*loop) return PP_ERROR_NO_MESSAGE_LOOP;
    return PP_OK;
  }

  // A call that failed at once: an optional callback gets the result now,
  // a required one later through its loop, as a browser delivers it.
  int32_t Reply(const std::shared_ptr<MessageLoopImpl>& loop, const CompletionCallback& callback,
                int32_t result) {
    if (callback.IsOptional()) return result;
    loop->PostWork(callback, 0, result);
    return PP_OK_COMPLETIONPENDING;
  }

  // Runs |callback| with |result| on |loop|, after |deliver|; the request
  // counts as pending until then, and a close meanwhile turns the result
  // into PP_ERROR_ABORTED.
  void Post(const std::shared_ptr<MessageLoopImpl>& loop, const Request& callback, int32_t result,
            std::shared_ptr<Impl> item) {
    std::shared_ptr<MediaStreamTrackCore> self = this->shared_from_this();
    Request request = callback;
    loop->PostWork(MakeFunctionCallback([self, request, result, item](int32_t) {
                     bool aborted;
                     {
                       std::lock_guard<std::mutex> lock(self->mutex_);
                       self->request_pending_ = false;
                       aborted = self->closed_;
                     }
                     if (aborted) {
                       request.Run(PP_ERROR_ABORTED);
                       return;
                     }
                     if (item && request.output()) *request.output() = Buffer(Resource(item));
                     request.Run(result);
                   }),
                   0, PP_OK);
  }

  void PostDelivery(const std::shared_ptr<MessageLoopImpl>& loop, const Request& callback,
                    const std::shared_ptr<Impl>& item) {
    Post(loop, callback, PP_OK, item);
  }

  std::shared_ptr<Impl> TakeQueuedLocked() {
    std::shared_ptr<Impl> item = std::move(queued_.front());
    queued_.pop_front();
    lent_[item.get()] = item;
    ++record_.delivered;
    record_.max_lent = std::max(record_.max_lent, static_cast<int>(lent_.size()));
    return item;
  }

  void AbortLocked() {
    if (waiting_loop_) {
      waiting_loop_->PostWork(waiting_, 0, PP_ERROR_ABORTED);
      waiting_loop_.reset();
      waiting_ = Request();
      // Not pending any more for the module, whose loop now holds the abort.
    }
    DropAllLocked();
  }

  void DropAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    DropAllLocked();
  }

  void DropAllLocked() {
    for (auto& item : queued_) item->DropData();
    queued_.clear();
    for (auto& lent : lent_) lent.second->DropData();
    lent_.clear();
  }

  const std::string id_;
  const MediaStreamCall configure_call_;
  const MediaStreamCall get_call_;

  mutable std::mutex mutex_;
  size_t capacity_;
  uint64_t generation_ = 0;
  size_t reserved_ = 0;
  bool ended_ = false;
  bool closed_ = false;
  bool configure_pending_ = false;
  bool request_pending_ = false;
  std::shared_ptr<MessageLoopImpl> waiting_loop_;  // set while a request waits for a buffer
  Request waiting_;
  std::deque<std::shared_ptr<Impl>> queued_;
  std::map<Impl*, std::shared_ptr<Impl>> lent_;
  MediaStreamTrackRecord record_;
};

}  // namespace platform
}  // namespace pp

#endif  // PPPLATFORM_MEDIA_STREAM_TRACK_CORE_H_
