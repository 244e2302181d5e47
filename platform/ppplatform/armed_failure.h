#ifndef PPPLATFORM_ARMED_FAILURE_H_
#define PPPLATFORM_ARMED_FAILURE_H_

#include <cstdint>

#include "ppapi/c/pp_errors.h"

namespace pp {
namespace platform {

// A failure that a test arms for the nth call of one step of a platform
// object (see the *_hooks.h headers). Guarded by its owner's lock.
struct ArmedFailure {
  bool armed = false;
  int32_t result = PP_OK;
  int remaining = 0;

  void Arm(int32_t failure, int nth) {
    armed = true;
    result = failure;
    remaining = nth < 1 ? 1 : nth;
  }
  // The result that this call must give instead of its own, or PP_OK.
  int32_t Take() {
    if (!armed || --remaining > 0) return PP_OK;
    armed = false;
    return result;
  }
};

}  // namespace platform
}  // namespace pp

#endif  // PPPLATFORM_ARMED_FAILURE_H_
