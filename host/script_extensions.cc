#include "script_extensions.h"

#include <memory>

#include "script_tracks.h"

namespace pphost {

void InstallScriptExtensions(Browser* browser, PageScript* script) {
  // The script's lines keep the tracks, and their sources run, for as
  // long as the script lives.
  auto tracks = std::make_shared<ScriptTracks>();
  script->AddScriptObject("$video",
                          [tracks](const Json::Value& options, pp::Var* var, std::string* error) {
                            return tracks->MakeVideo(options, var, error);
                          });
  script->AddScriptObject("$audio",
                          [tracks](const Json::Value& options, pp::Var* var, std::string* error) {
                            return tracks->MakeAudio(options, var, error);
                          });
  script->AddScriptObject("$track",
                          [tracks](const Json::Value& name, pp::Var* var, std::string* error) {
                            return tracks->Reference(name, var, error);
                          });
  script->AddDirective("$track", [tracks](const Json::Value& line, std::string* error) {
    return tracks->Change(line, error);
  });
}

}  // namespace pphost
