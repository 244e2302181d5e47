#include "script_extensions.h"

namespace pphost {

void InstallScriptExtensions(Browser* browser, PageScript* script) {
  // Nothing yet: the page hands the modules no objects so far.
}

}  // namespace pphost
