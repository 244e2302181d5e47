#include "core_clock.h"

#include "ppapi/cpp/core.h"

namespace kelmora {

// The recorder's clock reads the module's core.
template class CoreClock<pp::Core>;

}  // namespace kelmora
