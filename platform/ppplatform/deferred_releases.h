#ifndef PPPLATFORM_DEFERRED_RELEASES_H_
#define PPPLATFORM_DEFERRED_RELEASES_H_

#include <memory>
#include <utility>
#include <vector>

namespace pp {
namespace platform {

// What an owner lets go of only once its own lock is released. A finished
// call's record holds the caller's callback, which may hold the last
// reference to the owner itself; dropping it under the owner's lock would
// run the owner's release, which takes that lock again. Declare one before
// the lock, hand it to Complete, Abort and AbortAll (see
// pending_completion.h), and it lets go after the lock does.
//
// Thread use: one thread, the one that holds the owner's lock.
class DeferredReleases {
 public:
  DeferredReleases() = default;
  DeferredReleases(const DeferredReleases&) = delete;
  DeferredReleases& operator=(const DeferredReleases&) = delete;

  void Keep(std::shared_ptr<void> held) {
    if (held) held_.push_back(std::move(held));
  }

 private:
  std::vector<std::shared_ptr<void>> held_;
};

}  // namespace platform
}  // namespace pp

#endif  // PPPLATFORM_DEFERRED_RELEASES_H_
