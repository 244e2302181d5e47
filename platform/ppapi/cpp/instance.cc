#include "ppapi/cpp/instance.h"

#include "ppapi/cpp/instance_handle.h"
#include "ppplatform/browser.h"
#include "ppplatform/tty.h"

namespace pp {

namespace platform {
BrowserDelegate* GetBrowserDelegate();
}  // namespace platform

InstanceHandle::InstanceHandle(Instance* instance)
    : pp_instance_(instance ? instance->pp_instance() : 0) {}

Instance::Instance(PP_Instance instance) : pp_instance_(instance) {}

Instance::~Instance() = default;

bool Instance::Init(uint32_t argc, const char* argn[], const char* argv[]) { return true; }

void Instance::DidChangeView(const View& view) {}

void Instance::DidChangeView(const Rect& position, const Rect& clip) {}

void Instance::DidChangeFocus(bool has_focus) {}

bool Instance::HandleInputEvent(const InputEvent& event) { return false; }

bool Instance::HandleDocumentLoad(const URLLoader& url_loader) { return false; }

void Instance::HandleMessage(const Var& message) {}

void Instance::PostMessage(const Var& message) {
  // The page of a destroyed instance is gone.
  if (platform::IsInstanceDestroyed(pp_instance_)) return;
  // Terminal output written before this message reaches the page first, as
  // it would when the terminal handler runs on the writing thread.
  platform::WaitForTtyDelivery();
  platform::BrowserDelegate* delegate = platform::GetBrowserDelegate();
  if (delegate) delegate->OnPostMessage(pp_instance_, platform::DeepCopy(message));
}

void Instance::LogToConsole(PP_LogLevel level, const Var& value) {
  platform::BrowserDelegate* delegate = platform::GetBrowserDelegate();
  if (!delegate) return;
  delegate->OnLogToConsole(pp_instance_, level,
                           value.is_string() ? value.AsString() : value.DebugString());
}

}  // namespace pp
