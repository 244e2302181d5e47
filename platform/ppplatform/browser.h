#ifndef PPPLATFORM_BROWSER_H_
#define PPPLATFORM_BROWSER_H_

// The browser's side of the platform: what the host uses to load a module,
// run the main thread, create instances and receive what they send.

#include <chrono>
#include <functional>
#include <string>

#include "ppapi/c/pp_instance.h"
#include "ppapi/c/pp_module.h"
#include "ppapi/c/ppb_console.h"
#include "ppapi/cpp/completion_callback.h"
#include "ppapi/cpp/instance.h"
#include "ppapi/cpp/module.h"
#include "ppapi/cpp/var.h"

namespace pp {
namespace platform {

// Receives what instances send to the page and the console. Called on any
// thread, also from a crash handler; must not call back into the instance.
class BrowserDelegate {
 public:
  virtual ~BrowserDelegate();
  // |message| is the page's own copy.
  virtual void OnPostMessage(PP_Instance instance, const Var& message) = 0;
  virtual void OnLogToConsole(PP_Instance instance, PP_LogLevel level,
                              const std::string& text) = 0;
};

// Null stops delivery (messages are dropped).
void SetBrowserDelegate(BrowserDelegate* delegate);

// Makes the calling thread the browser's main thread, with its loop. Once
// per process; false when another thread already is.
bool BecomeMainThread();

// Main thread: runs main-thread work until |done| holds or |timeout_ms|
// passed; true when |done| held.
bool RunMainLoopUntil(const std::function<bool()>& done, int64_t timeout_ms);
// Main thread: runs the work that is due now, until none is.
void RunMainLoopUntilIdle();
// Any thread: makes a running RunMainLoopUntil test its condition again.
void WakeMainLoop();

// Module and instance life, main thread only.
class ModuleHost {
 public:
  // Sets |module| up as this process's module and runs its Init; takes
  // ownership (also on failure).
  static bool InitializeModule(Module* module, PP_Module id);
  // Deletes the module; every instance must be gone.
  static void ShutdownModule();
  // Creates the instance through the module and runs its Init; null (and
  // the instance deleted) when Init fails.
  static Instance* CreateInstance(PP_Instance id, uint32_t argc, const char* argn[],
                                  const char* argv[]);
  // Destroys the instance, then releases its resources (their calls in
  // flight abort). What the instance posts once this began is dropped.
  static void DestroyInstance(PP_Instance id);
  // Hands a page message to the instance's HandleMessage; the resources in
  // it become the instance's. Nothing for an instance that is gone.
  static void HandleMessage(PP_Instance id, const Var& message);
};

// Any thread: true once the destruction of |instance| began.
bool IsInstanceDestroyed(PP_Instance instance);

// A copy of |var| sharing nothing mutable with it (what the page gets).
Var DeepCopy(const Var& var);

// A completion callback that runs |function| (for browser-side work).
CompletionCallback MakeFunctionCallback(std::function<void(int32_t)> function);

}  // namespace platform
}  // namespace pp

#endif  // PPPLATFORM_BROWSER_H_
