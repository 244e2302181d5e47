#include "script_tracks.h"

#include <set>

#include "file_media_source.h"
#include "pattern_video_source.h"
#include "ppplatform/media_stream_audio_track_impl.h"
#include "ppplatform/media_stream_video_track_impl.h"
#include "tone_audio_source.h"

namespace pphost {

namespace {

// Keys that a change may have, by kind.
const std::set<std::string> kChangeKeys = {"silent", "resume", "end"};
const std::set<std::string> kVideoChangeKeys = {"width", "height"};
const std::set<std::string> kAudioChangeKeys = {"rate", "channels"};

bool IsTrackRate(int rate) {
  for (int known : {8000, 16000, 22050, 32000, 44100, 48000, 96000, 192000}) {
    if (rate == known) return true;
  }
  return false;
}

// |spec|[key] as a number in [low, high], or |fallback| when absent.
bool ReadNumber(const Json::Value& spec, const std::string& key, double low, double high,
                double fallback, double* value, std::string* error) {
  if (!spec.isMember(key)) {
    *value = fallback;
    return true;
  }
  const Json::Value& member = spec[key];
  if (!member.isNumeric() || member.asDouble() < low || member.asDouble() > high) {
    *error = "\"" + key + "\" wants a number from " + std::to_string(static_cast<int64_t>(low)) +
             " to " + std::to_string(static_cast<int64_t>(high));
    return false;
  }
  *value = member.asDouble();
  return true;
}

bool ReadInt(const Json::Value& spec, const std::string& key, int low, int high, int fallback,
             int* value, std::string* error) {
  double number;
  if (!ReadNumber(spec, key, low, high, fallback, &number, error)) return false;
  *value = static_cast<int>(number);
  return true;
}

bool ReadTrue(const Json::Value& spec, const std::string& key, bool* value, std::string* error) {
  if (!spec.isMember(key)) return true;
  if (!spec[key].isBool()) {
    *error = "\"" + key + "\" wants true or false";
    return false;
  }
  *value = spec[key].asBool();
  return true;
}

// Fails for keys of |spec| outside |known|.
bool OnlyKeys(const Json::Value& spec, const std::set<std::string>& known, const std::string& what,
              std::string* error) {
  for (const std::string& key : spec.getMemberNames()) {
    if (!known.count(key)) {
      *error = what + " has no key \"" + key + "\"";
      return false;
    }
  }
  return true;
}

// "start_ms" and "changes", which every source takes.
bool ReadTiming(const Json::Value& spec, bool video, int64_t* start_ms,
                std::vector<SourceChange>* changes, std::string* error) {
  double start;
  if (!ReadNumber(spec, "start_ms", 0, 1e9, 0, &start, error)) return false;
  *start_ms = static_cast<int64_t>(start);
  if (!spec.isMember("changes")) return true;
  const Json::Value& list = spec["changes"];
  if (!list.isArray()) {
    *error = "\"changes\" wants a list of changes";
    return false;
  }
  for (const Json::Value& entry : list) {
    SourceChange change;
    if (!ParseSourceChange(entry, video, true, &change, error)) return false;
    changes->push_back(change);
  }
  return true;
}

}  // namespace

bool ParseSourceChange(const Json::Value& value, bool video, bool allow_at, SourceChange* change,
                       std::string* error) {
  if (!value.isObject()) {
    *error = "a change is an object";
    return false;
  }
  std::set<std::string> known = kChangeKeys;
  const std::set<std::string>& kind = video ? kVideoChangeKeys : kAudioChangeKeys;
  known.insert(kind.begin(), kind.end());
  if (allow_at) known.insert("at_ms");
  if (!allow_at) known.insert("$track");
  if (!OnlyKeys(value, known, video ? "a video change" : "an audio change", error)) return false;
  double at = 0;
  if (allow_at) {
    if (!value.isMember("at_ms")) {
      *error = "a change in \"changes\" wants \"at_ms\"";
      return false;
    }
    if (!ReadNumber(value, "at_ms", 0, 1e9, 0, &at, error)) return false;
  }
  change->at_ms = static_cast<int64_t>(at);
  if (!ReadTrue(value, "silent", &change->silent, error) ||
      !ReadTrue(value, "resume", &change->resume, error) ||
      !ReadTrue(value, "end", &change->end, error)) {
    return false;
  }
  if (video) {
    if (value.isMember("width") != value.isMember("height")) {
      *error = "a size change wants both \"width\" and \"height\"";
      return false;
    }
    if (!ReadInt(value, "width", 1, 4096, 0, &change->width, error) ||
        !ReadInt(value, "height", 1, 4096, 0, &change->height, error)) {
      return false;
    }
  } else {
    if (!ReadInt(value, "rate", 8000, 192000, 0, &change->rate, error) ||
        !ReadInt(value, "channels", 1, 2, 0, &change->channels, error)) {
      return false;
    }
    if (change->rate && !IsTrackRate(change->rate)) {
      *error = "\"rate\" " + std::to_string(change->rate) + " is not a rate a track carries";
      return false;
    }
  }
  return true;
}

ScriptTracks::ScriptTracks() = default;

ScriptTracks::~ScriptTracks() {
  for (auto& source : sources_) source->Stop();
}

bool ScriptTracks::TakeId(const Json::Value& spec, bool video, std::string* id,
                          std::string* error) {
  ++made_;
  if (!spec.isMember("id")) {
    *id = (video ? "video-" : "audio-") + std::to_string(made_);
    return true;
  }
  if (!spec["id"].isString() || spec["id"].asString().empty()) {
    *error = "\"id\" wants a name";
    return false;
  }
  *id = spec["id"].asString();
  if (tracks_.count(*id)) {
    *error = "a track named \"" + *id + "\" exists already";
    return false;
  }
  return true;
}

void ScriptTracks::Keep(const std::string& id, bool video, pp::Resource resource,
                        std::unique_ptr<MediaSource> source, pp::Var* var) {
  source->Start();
  tracks_[id] = Track{resource, video, source.get()};
  sources_.push_back(std::move(source));
  *var = pp::Var(resource);
}

bool ScriptTracks::MakeVideo(const Json::Value& spec, pp::Var* var, std::string* error) {
  if (!spec.isObject()) {
    *error = "$video wants an object";
    return false;
  }
  std::string kind = spec.get("source", "pattern").asString();
  std::set<std::string> known = {"id", "source", "start_ms", "changes"};
  if (kind == "pattern" || kind == "sync") {
    known.insert({"width", "height", "fps"});
  } else if (kind == "file") {
    known.insert({"path", "loop"});
  } else {
    *error = "$video has no source \"" + kind + "\"";
    return false;
  }
  if (!OnlyKeys(spec, known, "$video \"" + kind + "\"", error)) return false;
  int64_t start_ms;
  std::vector<SourceChange> changes;
  std::string id;
  if (!ReadTiming(spec, true, &start_ms, &changes, error) || !TakeId(spec, true, &id, error))
    return false;
  auto track = pp::platform::MediaStreamVideoTrackImpl::Create(id);
  std::unique_ptr<MediaSource> source;
  if (kind == "file") {
    bool loop = false;
    if (!spec["path"].isString() || !ReadTrue(spec, "loop", &loop, error)) {
      if (error->empty()) *error = "$video \"file\" wants a \"path\"";
      return false;
    }
    source = FileMediaSource::Open(track, nullptr, spec["path"].asString(), loop, start_ms,
                                   changes, error);
    if (!source) return false;
  } else {
    int width, height;
    double fps;
    if (!ReadInt(spec, "width", 1, 4096, 640, &width, error) ||
        !ReadInt(spec, "height", 1, 4096, 480, &height, error) ||
        !ReadNumber(spec, "fps", 1, 120, 30, &fps, error)) {
      return false;
    }
    source.reset(new PatternVideoSource(track, width, height, fps, kind == "sync", start_ms,
                                        changes));
  }
  Keep(id, true, pp::Resource(track), std::move(source), var);
  return true;
}

bool ScriptTracks::MakeAudio(const Json::Value& spec, pp::Var* var, std::string* error) {
  if (!spec.isObject()) {
    *error = "$audio wants an object";
    return false;
  }
  std::string kind = spec.get("source", "tone").asString();
  std::set<std::string> known = {"id", "source", "start_ms", "changes"};
  if (kind == "tone") {
    known.insert({"frequency", "rate", "channels"});
  } else if (kind == "sync") {
    known.insert({"rate", "channels"});
  } else if (kind == "file") {
    known.insert({"path", "loop"});
  } else {
    *error = "$audio has no source \"" + kind + "\"";
    return false;
  }
  if (!OnlyKeys(spec, known, "$audio \"" + kind + "\"", error)) return false;
  int64_t start_ms;
  std::vector<SourceChange> changes;
  std::string id;
  if (!ReadTiming(spec, false, &start_ms, &changes, error) || !TakeId(spec, false, &id, error))
    return false;
  auto track = pp::platform::MediaStreamAudioTrackImpl::Create(id);
  std::unique_ptr<MediaSource> source;
  if (kind == "file") {
    bool loop = false;
    if (!spec["path"].isString() || !ReadTrue(spec, "loop", &loop, error)) {
      if (error->empty()) *error = "$audio \"file\" wants a \"path\"";
      return false;
    }
    source = FileMediaSource::Open(nullptr, track, spec["path"].asString(), loop, start_ms,
                                   changes, error);
    if (!source) return false;
  } else {
    int rate, channels;
    double frequency;
    if (!ReadInt(spec, "rate", 8000, 192000, 48000, &rate, error) ||
        !ReadInt(spec, "channels", 1, 2, 2, &channels, error) ||
        !ReadNumber(spec, "frequency", 1, 20000, 440, &frequency, error)) {
      return false;
    }
    if (!IsTrackRate(rate)) {
      *error = "\"rate\" " + std::to_string(rate) + " is not a rate a track carries";
      return false;
    }
    source.reset(
        new ToneAudioSource(track, frequency, rate, channels, kind == "sync", start_ms, changes));
  }
  Keep(id, false, pp::Resource(track), std::move(source), var);
  return true;
}

bool ScriptTracks::Reference(const Json::Value& name, pp::Var* var, std::string* error) {
  auto found = name.isString() ? tracks_.find(name.asString()) : tracks_.end();
  if (found == tracks_.end()) {
    *error = "no track named " + name.toStyledString();
    return false;
  }
  *var = pp::Var(found->second.resource);
  return true;
}

bool ScriptTracks::Change(const Json::Value& line, std::string* error) {
  const Json::Value& name = line["$track"];
  auto found = name.isString() ? tracks_.find(name.asString()) : tracks_.end();
  if (found == tracks_.end()) {
    *error = "$track: no track named " + name.toStyledString();
    return false;
  }
  SourceChange change;
  if (!ParseSourceChange(line, found->second.video, false, &change, error)) {
    *error = "$track: " + *error;
    return false;
  }
  found->second.source->Apply(change);
  return true;
}

}  // namespace pphost
