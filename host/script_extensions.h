#ifndef PPHOST_SCRIPT_EXTENSIONS_H_
#define PPHOST_SCRIPT_EXTENSIONS_H_

#include "browser.h"
#include "page_script.h"

namespace pphost {

// Adds the page's script objects (such as media-stream tracks handed to the
// module inside a message) and their directives to a page script. Called by
// plugin-host for every script it plays.
void InstallScriptExtensions(Browser* browser, PageScript* script);

}  // namespace pphost

#endif  // PPHOST_SCRIPT_EXTENSIONS_H_
