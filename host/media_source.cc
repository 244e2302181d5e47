#include "media_source.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>

#include "ppapi/cpp/core.h"
#include "ppapi/cpp/module.h"

namespace pphost {

MediaSource::MediaSource(std::string thread_name, int64_t start_delay_ms,
                         std::vector<SourceChange> changes)
    : thread_name_(std::move(thread_name)),
      start_delay_ms_(std::max<int64_t>(0, start_delay_ms)),
      changes_(std::move(changes)) {
  std::stable_sort(changes_.begin(), changes_.end(),
                   [](const SourceChange& a, const SourceChange& b) { return a.at_ms < b.at_ms; });
}

MediaSource::~MediaSource() { Stop(); }

PP_TimeTicks MediaSource::Now() {
  // The clock a module reads: a capture time and a module's own reading
  // compare directly.
  return pp::Module::Get()->core()->GetTimeTicks();
}

void MediaSource::Start() {
  origin_ = Now();
  thread_ = std::thread([this] { Run(); });
}

void MediaSource::Apply(const SourceChange& change) {
  std::lock_guard<std::mutex> lock(mutex_);
  applied_.push_back(change);
  wake_.notify_all();
}

void MediaSource::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    wake_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

void MediaSource::EndTracks() {
  video_tracks_.ForEach([](pp::platform::MediaStreamVideoTrackImpl& track) { track.End(); });
  audio_tracks_.ForEach([](pp::platform::MediaStreamAudioTrackImpl& track) { track.End(); });
}

bool MediaSource::ApplyOnThread(const SourceChange& change, PP_TimeTicks now, bool* silent) {
  if (change.end) {
    EndTracks();
    return true;
  }
  if (change.silent) *silent = true;
  if (change.resume && *silent) {
    *silent = false;
    Restart(now);
  }
  if (change.width > 0 && change.height > 0) Resize(change.width, change.height);
  if (change.rate > 0 || change.channels > 0) Reformat(change.rate, change.channels);
  return false;
}

void MediaSource::Run() {
  pthread_setname_np(pthread_self(), thread_name_.substr(0, 15).c_str());
  const PP_TimeTicks start = origin_ + start_delay_ms_ / 1000.0;
  bool started = false;
  bool silent = false;
  size_t next_change = 0;
  PP_TimeTicks next_item = start;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    PP_TimeTicks now = Now();
    // Changes, timed and directed, in the order they are due.
    std::deque<SourceChange> due;
    due.swap(applied_);
    lock.unlock();
    bool end = false;
    while (!end && next_change < changes_.size() &&
           origin_ + changes_[next_change].at_ms / 1000.0 <= now) {
      end = ApplyOnThread(changes_[next_change++], now, &silent);
    }
    while (!end && !due.empty()) {
      end = ApplyOnThread(due.front(), now, &silent);
      due.pop_front();
    }
    if (end) return;
    if (!started && now >= start) {
      started = true;
      Restart(now);
    }
    if (started) next_item = Produce(now, silent);
    lock.lock();
    PP_TimeTicks wake_at = started ? next_item : start;
    if (next_change < changes_.size())
      wake_at = std::min(wake_at, origin_ + changes_[next_change].at_ms / 1000.0);
    double wait = wake_at - Now();
    if (wait > 0 && applied_.empty() && !stopping_) {
      wake_.wait_for(lock, std::chrono::duration<double>(std::min(wait, 1.0)));
    }
  }
}

}  // namespace pphost
