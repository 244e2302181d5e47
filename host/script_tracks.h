#ifndef PPHOST_SCRIPT_TRACKS_H_
#define PPHOST_SCRIPT_TRACKS_H_

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <json/json.h>

#include "media_source.h"
#include "ppapi/cpp/resource.h"
#include "ppapi/cpp/var.h"

namespace pphost {

// The media-stream tracks of a page script and the sources that feed them:
//   {"$video": {...}}, {"$audio": {...}}  a new track (inside a message)
//   {"$track": NAME}                      the track made with "id": NAME
//   {"$track": NAME, CHANGE...}           (a line) changes its source now
// README.md lists the keys. Main thread; the sources run on their own
// threads until this object goes.
class ScriptTracks {
 public:
  ScriptTracks();
  ~ScriptTracks();
  ScriptTracks(const ScriptTracks&) = delete;
  ScriptTracks& operator=(const ScriptTracks&) = delete;

  bool MakeVideo(const Json::Value& spec, pp::Var* var, std::string* error);
  bool MakeAudio(const Json::Value& spec, pp::Var* var, std::string* error);
  bool Reference(const Json::Value& name, pp::Var* var, std::string* error);
  bool Change(const Json::Value& line, std::string* error);

 private:
  struct Track {
    pp::Resource resource;
    bool video;
    MediaSource* source;
  };

  // The track's id: the spec's "id" or a new one; false when taken.
  bool TakeId(const Json::Value& spec, bool video, std::string* id, std::string* error);
  void Keep(const std::string& id, bool video, pp::Resource resource,
            std::unique_ptr<MediaSource> source, pp::Var* var);

  int made_ = 0;
  std::map<std::string, Track> tracks_;
  std::vector<std::unique_ptr<MediaSource>> sources_;
};

// Reads a change ({"silent": true}, {"width": W, "height": H}, ...) for a
// video or an audio source; false with *error for keys that do not fit.
// |allow_at| accepts "at_ms" (entries of a "changes" list).
bool ParseSourceChange(const Json::Value& value, bool video, bool allow_at, SourceChange* change,
                       std::string* error);

}  // namespace pphost

#endif  // PPHOST_SCRIPT_TRACKS_H_
