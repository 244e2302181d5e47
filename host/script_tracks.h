#ifndef PPHOST_SCRIPT_TRACKS_H_
#define PPHOST_SCRIPT_TRACKS_H_

#include <json/json.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "media_source.h"
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

  bool MakeVideo(const Json::Value& options, pp::Var* var, std::string* error);
  bool MakeAudio(const Json::Value& options, pp::Var* var, std::string* error);
  bool Reference(const Json::Value& name, pp::Var* var, std::string* error);
  bool Change(const Json::Value& line, std::string* error);

 private:
  struct Track {
    bool video;
    MediaSource* source;
  };

  // What every source's object says.
  struct SourceOptions {
    std::string kind;  // "source"
    std::string id;
    int64_t start_ms = 0;
    std::vector<SourceChange> changes;
    std::string path;  // "file"
    bool loop = false;
  };
  // Reads the keys that every source has, and those of a file; |kinds|
  // lists each source kind with the keys of its own.
  typedef std::map<std::string, std::set<std::string>> SourceKinds;
  bool ReadOptions(const Json::Value& options, bool video, const SourceKinds& kinds,
                   SourceOptions* read, std::string* error);
  // Makes the source that |options| asks for (a file, else |synthetic|'s) and
  // its track.
  typedef std::function<std::unique_ptr<MediaSource>(const SourceOptions& read, std::string* error)>
      SyntheticSource;
  bool Make(const Json::Value& options, bool video, const SourceKinds& kinds,
            const SyntheticSource& synthetic, pp::Var* var, std::string* error);
  // The track's id: the "id" of the options or a new one; false when taken.
  bool TakeId(const Json::Value& options, bool video, std::string* id, std::string* error);
  // Starts the source of a new track and makes its first resource.
  void Keep(const std::string& id, bool video, std::unique_ptr<MediaSource> source, pp::Var* var);
  // A new resource for the page's track |id|, fed by its source: what the
  // module gets each time the page hands the track over.
  pp::Var HandOver(const std::string& id);

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
