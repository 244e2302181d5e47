#ifndef PPAPI_CPP_CORE_H_
#define PPAPI_CPP_CORE_H_

#include "ppapi/c/pp_stdint.h"
#include "ppapi/c/pp_time.h"
#include "ppapi/cpp/completion_callback.h"

namespace pp {

// The browser's core services; one per module (Module::core()).
class Core {
 public:
  // Wall-clock time.
  PP_Time GetTime();
  // Monotonic clock in seconds; only differences mean anything.
  PP_TimeTicks GetTimeTicks();
  // Runs |callback| with |result| on the main thread after |delay_ms|.
  void CallOnMainThread(int32_t delay_ms, const CompletionCallback& callback,
                        int32_t result = 0);
  bool IsMainThread();

 private:
  friend class Module;
  Core() = default;
  Core(const Core&) = delete;
  Core& operator=(const Core&) = delete;
};

}  // namespace pp

#endif  // PPAPI_CPP_CORE_H_
