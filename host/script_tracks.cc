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

bool IsTrackRate(int rate) { return pp::platform::MediaStreamAudioTrackImpl::CarriesRate(rate); }

// |options|[key] as a number in [low, high], or |fallback| when absent.
bool ReadNumber(const Json::Value& options, const std::string& key, double low, double high,
                double fallback, double* value, std::string* error) {
  if (!options.isMember(key)) {
    *value = fallback;
    return true;
  }
  const Json::Value& member = options[key];
  if (!member.isNumeric() || member.asDouble() < low || member.asDouble() > high) {
    *error = "\"" + key + "\" wants a number from " + std::to_string(static_cast<int64_t>(low)) +
             " to " + std::to_string(static_cast<int64_t>(high));
    return false;
  }
  *value = member.asDouble();
  return true;
}

bool ReadInt(const Json::Value& options, const std::string& key, int low, int high, int fallback,
             int* value, std::string* error) {
  double number;
  if (!ReadNumber(options, key, low, high, fallback, &number, error)) return false;
  *value = static_cast<int>(number);
  return true;
}

bool ReadTrue(const Json::Value& options, const std::string& key, bool* value, std::string* error) {
  if (!options.isMember(key)) return true;
  if (!options[key].isBool()) {
    *error = "\"" + key + "\" wants true or false";
    return false;
  }
  *value = options[key].asBool();
  return true;
}

// Fails for keys of |options| outside |known|.
bool OnlyKeys(const Json::Value& options, const std::set<std::string>& known,
              const std::string& what, std::string* error) {
  for (const std::string& key : options.getMemberNames()) {
    if (!known.count(key)) {
      *error = what + " has no key \"" + key + "\"";
      return false;
    }
  }
  return true;
}

// "start_ms" and "changes", which every source takes.
bool ReadTiming(const Json::Value& options, bool video, int64_t* start_ms,
                std::vector<SourceChange>* changes, std::string* error) {
  double start;
  if (!ReadNumber(options, "start_ms", 0, 1e9, 0, &start, error)) return false;
  *start_ms = static_cast<int64_t>(start);
  if (!options.isMember("changes")) return true;
  const Json::Value& list = options["changes"];
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

bool ScriptTracks::TakeId(const Json::Value& options, bool video, std::string* id,
                          std::string* error) {
  ++made_;
  if (!options.isMember("id")) {
    *id = (video ? "video-" : "audio-") + std::to_string(made_);
    return true;
  }
  if (!options["id"].isString() || options["id"].asString().empty()) {
    *error = "\"id\" wants a name";
    return false;
  }
  *id = options["id"].asString();
  if (tracks_.count(*id)) {
    *error = "a track named \"" + *id + "\" exists already";
    return false;
  }
  return true;
}

void ScriptTracks::Keep(const std::string& id, bool video, std::unique_ptr<MediaSource> source,
                        pp::Var* var) {
  tracks_[id] = Track{video, source.get()};
  sources_.push_back(std::move(source));
  // The first resource is there before the first frame.
  *var = HandOver(id);
  sources_.back()->Start();
}

pp::Var ScriptTracks::HandOver(const std::string& id) {
  const Track& track = tracks_.at(id);
  // The module's resource; this side keeps no reference to it, so that
  // letting go of it is the module's own.
  std::shared_ptr<pp::platform::ResourceObject> object;
  if (track.video) {
    auto video = pp::platform::MediaStreamVideoTrackImpl::Create(id);
    track.source->AddTrack(video);
    object = video;
  } else {
    auto audio = pp::platform::MediaStreamAudioTrackImpl::Create(id);
    track.source->AddTrack(audio);
    object = audio;
  }
  return pp::Var(pp::Resource(object));
}

bool ScriptTracks::ReadOptions(const Json::Value& options, bool video, const SourceKinds& kinds,
                               SourceOptions* read, std::string* error) {
  const std::string object = video ? "$video" : "$audio";
  if (!options.isObject()) {
    *error = object + " wants an object";
    return false;
  }
  read->kind = options.get("source", video ? "pattern" : "tone").asString();
  auto kind = kinds.find(read->kind);
  if (kind == kinds.end()) {
    *error = object + " has no source \"" + read->kind + "\"";
    return false;
  }
  std::set<std::string> known = {"id", "source", "start_ms", "changes"};
  known.insert(kind->second.begin(), kind->second.end());
  if (!OnlyKeys(options, known, object + " \"" + read->kind + "\"", error) ||
      !ReadTiming(options, video, &read->start_ms, &read->changes, error) ||
      !TakeId(options, video, &read->id, error)) {
    return false;
  }
  if (read->kind != "file") return true;
  if (!options["path"].isString()) {
    *error = object + " \"file\" wants a \"path\"";
    return false;
  }
  read->path = options["path"].asString();
  return ReadTrue(options, "loop", &read->loop, error);
}

bool ScriptTracks::Make(const Json::Value& options, bool video, const SourceKinds& kinds,
                        const SyntheticSource& synthetic, pp::Var* var, std::string* error) {
  SourceOptions read;
  if (!ReadOptions(options, video, kinds, &read, error)) return false;
  std::unique_ptr<MediaSource> source =
      read.kind == "file"
          ? FileMediaSource::Open(video, read.path, read.loop, read.start_ms, read.changes, error)
          : synthetic(read, error);
  if (!source) return false;
  Keep(read.id, video, std::move(source), var);
  return true;
}

bool ScriptTracks::MakeVideo(const Json::Value& options, pp::Var* var, std::string* error) {
  auto pattern = [&options](const SourceOptions& read,
                            std::string* error) -> std::unique_ptr<MediaSource> {
    int width, height, flash_frames;
    double fps;
    if (!ReadInt(options, "width", 1, 4096, 640, &width, error) ||
        !ReadInt(options, "height", 1, 4096, 480, &height, error) ||
        !ReadNumber(options, "fps", 1, 120, 30, &fps, error) ||
        !ReadInt(options, "flash_frames", 1, 30, 1, &flash_frames, error)) {
      return nullptr;
    }
    if (read.kind != "sync") flash_frames = 0;
    return std::make_unique<PatternVideoSource>(width, height, fps, flash_frames, read.start_ms,
                                                read.changes);
  };
  return Make(options, true,
              {{"pattern", {"width", "height", "fps"}},
               {"sync", {"width", "height", "fps", "flash_frames"}},
               {"file", {"path", "loop"}}},
              pattern, var, error);
}

bool ScriptTracks::MakeAudio(const Json::Value& options, pp::Var* var, std::string* error) {
  auto tone = [&options](const SourceOptions& read,
                         std::string* error) -> std::unique_ptr<MediaSource> {
    int rate, channels;
    double frequency;
    if (!ReadInt(options, "rate", 8000, 192000, 48000, &rate, error) ||
        !ReadInt(options, "channels", 1, 2, 2, &channels, error) ||
        !ReadNumber(options, "frequency", 1, 20000, 440, &frequency, error)) {
      return nullptr;
    }
    if (!IsTrackRate(rate)) {
      *error = "\"rate\" " + std::to_string(rate) + " is not a rate a track carries";
      return nullptr;
    }
    return std::make_unique<ToneAudioSource>(frequency, rate, channels, read.kind == "sync",
                                             read.start_ms, read.changes);
  };
  return Make(options, false,
              {{"tone", {"frequency", "rate", "channels"}},
               {"sync", {"rate", "channels"}},
               {"file", {"path", "loop"}}},
              tone, var, error);
}

bool ScriptTracks::Reference(const Json::Value& name, pp::Var* var, std::string* error) {
  auto found = name.isString() ? tracks_.find(name.asString()) : tracks_.end();
  if (found == tracks_.end()) {
    *error = "no track named " + name.toStyledString();
    return false;
  }
  *var = HandOver(found->first);
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
