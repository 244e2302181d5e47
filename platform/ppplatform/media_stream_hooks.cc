#include "ppplatform/media_stream_hooks.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "ppapi/c/pp_errors.h"
#include "ppplatform/armed_failure.h"
#include "ppplatform/media_stream_track_core.h"

namespace pp {
namespace platform {

namespace {

constexpr int kCallCount = 4;

struct Hooks {
  std::mutex mutex;
  ArmedFailure calls[kCallCount];
  // Every resource made for a page's track has the track's id.
  std::map<std::string, std::vector<std::weak_ptr<MediaStreamTrackControl>>> tracks;
};

Hooks& GetHooks() {
  static Hooks* hooks = new Hooks;
  return *hooks;
}

// The live tracks with this id, the newest last.
std::vector<std::shared_ptr<MediaStreamTrackControl>> FindTracks(const std::string& id) {
  Hooks& hooks = GetHooks();
  std::lock_guard<std::mutex> lock(hooks.mutex);
  std::vector<std::shared_ptr<MediaStreamTrackControl>> live;
  auto found = hooks.tracks.find(id);
  if (found == hooks.tracks.end()) return live;
  for (auto& weak : found->second) {
    if (auto track = weak.lock()) live.push_back(std::move(track));
  }
  return live;
}

}  // namespace

MediaStreamTrackControl::~MediaStreamTrackControl() = default;

void RegisterMediaStreamTrack(const std::string& id, std::weak_ptr<MediaStreamTrackControl> track) {
  Hooks& hooks = GetHooks();
  std::lock_guard<std::mutex> lock(hooks.mutex);
  // Forget tracks that are gone, so that the map stays small.
  for (auto it = hooks.tracks.begin(); it != hooks.tracks.end();) {
    auto& list = it->second;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [](const std::weak_ptr<MediaStreamTrackControl>& weak) {
                                return weak.expired();
                              }),
               list.end());
    it = list.empty() ? hooks.tracks.erase(it) : std::next(it);
  }
  hooks.tracks[id].push_back(std::move(track));
}

int32_t TakeMediaStreamFailure(MediaStreamCall call) {
  Hooks& hooks = GetHooks();
  std::lock_guard<std::mutex> lock(hooks.mutex);
  return hooks.calls[static_cast<int>(call)].Take();
}

void FailMediaStreamCall(MediaStreamCall call, int32_t result, int nth) {
  Hooks& hooks = GetHooks();
  std::lock_guard<std::mutex> lock(hooks.mutex);
  hooks.calls[static_cast<int>(call)].Arm(result, nth);
}

bool EndMediaStreamTrack(const std::string& id) {
  std::vector<std::shared_ptr<MediaStreamTrackControl>> tracks = FindTracks(id);
  for (auto& track : tracks) track->End();
  return !tracks.empty();
}

bool GetMediaStreamTrackRecord(const std::string& id, MediaStreamTrackRecord* record) {
  std::vector<std::shared_ptr<MediaStreamTrackControl>> tracks = FindTracks(id);
  if (tracks.empty()) return false;
  *record = tracks.back()->record();
  return true;
}

void ResetMediaStreamHooks() {
  Hooks& hooks = GetHooks();
  std::lock_guard<std::mutex> lock(hooks.mutex);
  for (ArmedFailure& armed : hooks.calls) armed = ArmedFailure();
}

}  // namespace platform
}  // namespace pp
