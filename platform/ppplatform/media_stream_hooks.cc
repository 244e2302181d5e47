#include "ppplatform/media_stream_hooks.h"

#include <map>
#include <memory>
#include <mutex>

#include "ppapi/c/pp_errors.h"
#include "ppplatform/media_stream_track_core.h"

namespace pp {
namespace platform {

namespace {

constexpr int kCallCount = 4;

struct Hooks {
  std::mutex mutex;
  struct Armed {
    bool armed = false;
    int32_t result = PP_OK;
    int remaining = 0;
  } calls[kCallCount];
  std::map<std::string, std::weak_ptr<MediaStreamTrackControl>> tracks;
};

Hooks& GetHooks() {
  static Hooks* hooks = new Hooks;
  return *hooks;
}

std::shared_ptr<MediaStreamTrackControl> FindTrack(const std::string& id) {
  Hooks& hooks = GetHooks();
  std::lock_guard<std::mutex> lock(hooks.mutex);
  auto found = hooks.tracks.find(id);
  return found == hooks.tracks.end() ? nullptr : found->second.lock();
}

}  // namespace

MediaStreamTrackControl::~MediaStreamTrackControl() = default;

void RegisterMediaStreamTrack(const std::string& id,
                              std::weak_ptr<MediaStreamTrackControl> track) {
  Hooks& hooks = GetHooks();
  std::lock_guard<std::mutex> lock(hooks.mutex);
  // Forget tracks that are gone, so that the map stays small.
  for (auto it = hooks.tracks.begin(); it != hooks.tracks.end();) {
    it = it->second.expired() ? hooks.tracks.erase(it) : std::next(it);
  }
  hooks.tracks[id] = std::move(track);
}

int32_t TakeMediaStreamFailure(MediaStreamCall call) {
  Hooks& hooks = GetHooks();
  std::lock_guard<std::mutex> lock(hooks.mutex);
  Hooks::Armed& armed = hooks.calls[static_cast<int>(call)];
  if (!armed.armed || --armed.remaining > 0) return PP_OK;
  armed.armed = false;
  return armed.result;
}

void FailMediaStreamCall(MediaStreamCall call, int32_t result, int nth) {
  Hooks& hooks = GetHooks();
  std::lock_guard<std::mutex> lock(hooks.mutex);
  Hooks::Armed& armed = hooks.calls[static_cast<int>(call)];
  armed.armed = true;
  armed.result = result;
  armed.remaining = nth < 1 ? 1 : nth;
}

bool EndMediaStreamTrack(const std::string& id) {
  std::shared_ptr<MediaStreamTrackControl> track = FindTrack(id);
  if (!track) return false;
  track->End();
  return true;
}

bool GetMediaStreamTrackRecord(const std::string& id, MediaStreamTrackRecord* record) {
  std::shared_ptr<MediaStreamTrackControl> track = FindTrack(id);
  if (!track) return false;
  *record = track->record();
  return true;
}

void ResetMediaStreamHooks() {
  Hooks& hooks = GetHooks();
  std::lock_guard<std::mutex> lock(hooks.mutex);
  for (Hooks::Armed& armed : hooks.calls) armed = Hooks::Armed();
}

}  // namespace platform
}  // namespace pp
