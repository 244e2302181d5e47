#ifndef PPHOST_TRACK_SET_H_
#define PPHOST_TRACK_SET_H_

#include <memory>
#include <mutex>
#include <vector>

namespace pphost {

// The tracks one source feeds. Every time the page hands its track over,
// the module gets a resource of its own (as from a browser), all fed by the
// one source; a resource the module has let go of is fed no more. Any
// thread.
template <typename Track>
class TrackSet {
 public:
  void Add(std::shared_ptr<Track> track) {
    std::lock_guard<std::mutex> lock(mutex_);
    tracks_.push_back(std::move(track));
  }

  // Calls |visit| with each track that still exists, without the lock.
  template <typename Visit>
  void ForEach(Visit visit) {
    std::vector<std::shared_ptr<Track>> live;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto it = tracks_.begin(); it != tracks_.end();) {
        std::shared_ptr<Track> track = it->lock();
        if (!track) {
          it = tracks_.erase(it);
          continue;
        }
        live.push_back(std::move(track));
        ++it;
      }
    }
    for (auto& track : live) visit(*track);
  }

 private:
  std::mutex mutex_;
  std::vector<std::weak_ptr<Track>> tracks_;
};

}  // namespace pphost

#endif  // PPHOST_TRACK_SET_H_
