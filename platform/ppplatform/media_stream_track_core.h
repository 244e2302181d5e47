#ifndef PPPLATFORM_MEDIA_STREAM_TRACK_CORE_H_
#define PPPLATFORM_MEDIA_STREAM_TRACK_CORE_H_

#include <algorithm>
#include <atomic>
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
#include "ppplatform/media_stream_hooks.h"
#include "ppplatform/pending_completion.h"

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
void RegisterMediaStreamTrack(const std::string& id, std::weak_ptr<MediaStreamTrackControl> track);
// The result that this call must give instead of its own, or PP_OK.
int32_t TakeMediaStreamFailure(MediaStreamCall call);

// Calls of one kind whose callback has not run yet. A call whose result is
// decided but still on its way to the caller's loop counts, as it does for
// a browser: a second request made before the first one's callback ran is
// refused. Any thread.
class CallsInFlight {
 public:
  bool any() const { return count_->load() > 0; }
  void Add() { ++*count_; }
  // For PendingCompletion::Complete: runs |store| (which delivers the
  // output) and counts the call as done, just before its callback runs.
  std::function<void()> Done(std::function<void()> store = nullptr) const {
    std::shared_ptr<std::atomic<int>> count = count_;
    return [count, store] {
      if (store) store();
      --*count;
    };
  }
  // Aborted calls never reach Done: forget them all.
  void Reset() { count_ = std::make_shared<std::atomic<int>>(0); }

 private:
  std::shared_ptr<std::atomic<int>> count_ = std::make_shared<std::atomic<int>>(0);
};

// What video and audio tracks share: the buffers lent to the module, the
// queue of filled buffers, the one pending request, the pending Configure,
// end and close. |Buffer| is the module's wrapper (pp::VideoFrame,
// pp::AudioBuffer), |Impl| the object behind it.
//
// The module calls from any thread with a message loop; completions go to
// the loop of the calling thread. The source side (Reserve, Offer, End) is
// called from the source's own thread. A Configure takes effect at once:
// its completion only reports it.
template <typename Buffer, typename Impl>
class MediaStreamTrackCore : public ResourceObject, public MediaStreamTrackControl {
 public:
  typedef CompletionCallbackWithOutput<Buffer> Request;

  MediaStreamTrackCore(std::string id, MediaStreamCall configure_call, MediaStreamCall get_call,
                       size_t default_capacity)
      : id_(std::move(id)),
        configure_call_(configure_call),
        get_call_(get_call),
        default_capacity_(default_capacity),
        capacity_(default_capacity) {}

  ~MediaStreamTrackCore() override { Detach(false); }

  const std::string& track_id() const { return id_; }

  bool HasEnded() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_ || closed_;
  }

  MediaStreamTrackRecord record() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return record_;
  }

  // Immediate results are return values; the wrapper's RunCall delivers
  // them as the completion rules say.
  int32_t Get(const Request& callback) {
    // A blocking request needs a place for the buffer.
    if (!callback.output()) return PP_ERROR_BADARGUMENT;
    DeferredReleases later;
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_ || closed_) return PP_ERROR_FAILED;
    if (requests_.any()) return PP_ERROR_INPROGRESS;
    int32_t failure = TakeMediaStreamFailure(get_call_);
    if (failure != PP_OK) return failure;
    int32_t bound = request_.Bind(callback, &calls_);
    if (bound != PP_OK_COMPLETIONPENDING) return bound;
    requests_.Add();
    if (!queued_.empty()) DeliverLocked(&later);
    return PP_OK_COMPLETIONPENDING;
  }

  int32_t Recycle(const Buffer& buffer) {
    std::shared_ptr<Impl> item = buffer.template object_as<Impl>();
    std::lock_guard<std::mutex> lock(mutex_);
    auto lent = item ? lent_.find(item.get()) : lent_.end();
    if (lent == lent_.end()) return PP_ERROR_BADRESOURCE;
    lent_.erase(lent);
    item->Reclaim();
    return PP_OK;
  }

  // The module is done with the track: pending calls are aborted, lent
  // buffers are taken back, nothing more is delivered.
  void Close() { Detach(true); }

  // The source ended: a waiting request fails, queued buffers go.
  void End() override {
    DeferredReleases later;
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_ || closed_) return;
    ended_ = true;
    if (request_.is_pending()) request_.Complete(PP_ERROR_FAILED, requests_.Done(), &later);
    queued_.clear();
  }

 protected:
  // Checks what every Configure checks, then runs |apply| with the lock
  // held (it validates and stores the settings: PP_OK or a failure);
  // queued buffers of the old settings go.
  int32_t ConfigureWith(const CompletionCallback& callback, const std::function<int32_t()>& apply) {
    DeferredReleases later;
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_ || closed_) return PP_ERROR_FAILED;
    if (configures_.any() || requests_.any() || !lent_.empty()) return PP_ERROR_INPROGRESS;
    int32_t result = apply();
    if (result == PP_OK) result = TakeMediaStreamFailure(configure_call_);
    if (result != PP_OK) return result;
    int32_t bound = configure_.Bind(callback, &calls_);
    if (bound != PP_OK_COMPLETIONPENDING) return bound;
    configures_.Add();
    ++record_.configures;
    ++generation_;
    queued_.clear();
    configure_.Complete(PP_OK, configures_.Done(), &later);
    return PP_OK_COMPLETIONPENDING;
  }

  // The module let go of the track (its last reference, or its instance):
  // what it asked for is aborted and what it held is taken back, but the
  // page may hand the track over again.
  void LastModuleReferenceReleased() override { Detach(false); }

  // The lock of the settings that subclasses keep.
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
    DeferredReleases later;
    std::lock_guard<std::mutex> lock(mutex_);
    --reserved_;
    if (!item || ended_ || closed_ || generation != generation_) return;
    queued_.push_back(std::move(item));
    if (request_.is_pending()) DeliverLocked(&later);
  }

 private:
  // Lends the oldest queued buffer to the pending request; the request's
  // callback goes with |later|.
  void DeliverLocked(DeferredReleases* later) {
    std::shared_ptr<Impl> item = std::move(queued_.front());
    queued_.pop_front();
    item->Lend();
    lent_[item.get()] = item;
    ++record_.delivered;
    record_.max_lent = std::max(record_.max_lent, static_cast<int>(lent_.size()));
    Buffer* output = request_.callback().output();
    request_.Complete(PP_OK, requests_.Done([output, item] {
      if (output) *output = Buffer(Resource(item));
    }), later);
  }

  // Aborts the calls in flight, takes every buffer back and forgets the
  // settings; with |close| the track takes no more calls.
  void Detach(bool close) {
    // The aborted callbacks may hold the module's last reference to this
    // track: they go once the lock is released.
    DeferredReleases later;
    std::lock_guard<std::mutex> lock(mutex_);
    if (close) closed_ = true;
    calls_.AbortAll(&later);
    request_.Abort(&later);
    configure_.Abort(&later);
    requests_.Reset();
    configures_.Reset();
    queued_.clear();
    for (auto& lent : lent_) lent.second->Reclaim();
    lent_.clear();
    capacity_ = default_capacity_;
    ++generation_;
  }

  const std::string id_;
  const MediaStreamCall configure_call_;
  const MediaStreamCall get_call_;
  const size_t default_capacity_;

  mutable std::mutex mutex_;
  size_t capacity_;
  uint64_t generation_ = 0;
  size_t reserved_ = 0;
  bool ended_ = false;
  bool closed_ = false;
  CompletionGroup calls_;
  PendingCompletion<> configure_;
  PendingCompletion<Request> request_;
  CallsInFlight configures_;
  CallsInFlight requests_;
  std::deque<std::shared_ptr<Impl>> queued_;
  std::map<Impl*, std::shared_ptr<Impl>> lent_;
  MediaStreamTrackRecord record_;
};

}  // namespace platform
}  // namespace pp

#endif  // PPPLATFORM_MEDIA_STREAM_TRACK_CORE_H_
