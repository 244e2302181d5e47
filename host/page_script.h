#ifndef PPHOST_PAGE_SCRIPT_H_
#define PPHOST_PAGE_SCRIPT_H_

#include <functional>
#include <map>
#include <string>

#include <json/json.h>

#include "browser.h"
#include "var_json.h"

namespace pphost {

// Plays a page script against one instance. Each line is JSON: a message
// posted to the instance, or a directive, an object with one key that
// starts with "$":
//   {"$sleep": ms}                 run the page for ms milliseconds
//   {"$await": TYPE, "match": {...}, "timeout_ms": N}
//                                  wait for a message of TYPE (whose data
//                                  contains "match"), one no earlier await
//                                  took; messages that came already count
//   {"$destroy": true}             destroy the instance
// Blank lines are skipped.
class PageScript {
 public:
  // Handles one directive line; false with *error to end the run.
  typedef std::function<bool(const Json::Value& line, std::string* error)> Directive;

  static const int64_t kDefaultAwaitTimeoutMs = 30000;

  PageScript(Browser* browser, PP_Instance instance);

  void AddDirective(const std::string& name, Directive directive);
  void AddScriptObject(const std::string& name, ScriptObjectFactory factory);

  // One line of the script; false with *error (which names the line).
  bool RunLine(const std::string& text, std::string* error);
  // Every line from |fd| until its end.
  bool RunFrom(int fd, std::string* error);

  // 0 once destroyed.
  PP_Instance instance() const { return instance_; }
  // Destroys the instance unless the script did (main thread).
  void DestroyInstance();

 private:
  bool Await(const Json::Value& line, std::string* error);

  Browser* browser_;
  PP_Instance instance_;
  int line_number_;
  int destroyed_at_line_;
  std::map<std::string, Directive> directives_;
  ScriptObjectFactories script_objects_;
};

}  // namespace pphost

#endif  // PPHOST_PAGE_SCRIPT_H_
