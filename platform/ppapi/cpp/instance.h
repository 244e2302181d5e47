#ifndef PPAPI_CPP_INSTANCE_H_
#define PPAPI_CPP_INSTANCE_H_

#include "ppapi/c/pp_instance.h"
#include "ppapi/c/pp_stdint.h"
#include "ppapi/c/ppb_console.h"
#include "ppapi/cpp/var.h"

namespace pp {

class InputEvent;
class Rect;
class URLLoader;
class View;

// One embed element's plug-in object. The browser creates it through the
// module, calls Init once, then HandleMessage for every page message, all
// on the main thread, and deletes it on the main thread.
class Instance {
 public:
  explicit Instance(PP_Instance instance);
  virtual ~Instance();
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  PP_Instance pp_instance() const { return pp_instance_; }

  // The embed element's attributes; false fails the instance.
  virtual bool Init(uint32_t argc, const char* argn[], const char* argv[]);
  virtual void DidChangeView(const View& view);
  virtual void DidChangeView(const Rect& position, const Rect& clip);
  virtual void DidChangeFocus(bool has_focus);
  virtual bool HandleInputEvent(const InputEvent& event);
  virtual bool HandleDocumentLoad(const URLLoader& url_loader);
  virtual void HandleMessage(const Var& message);

  // To the page; any thread. The page gets its own copy of |message|;
  // nothing once the instance's destruction began (the page is gone).
  void PostMessage(const Var& message);
  // A line on the browser's console; any thread.
  void LogToConsole(PP_LogLevel level, const Var& value);

 private:
  PP_Instance pp_instance_;
};

}  // namespace pp

#endif  // PPAPI_CPP_INSTANCE_H_
