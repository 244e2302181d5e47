#include "ppapi/cpp/core.h"

#include <chrono>

#include "ppplatform/message_loop_impl.h"

namespace pp {

PP_Time Core::GetTime() {
  auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(since_epoch).count();
}

PP_TimeTicks Core::GetTimeTicks() {
  auto since_origin = std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration<double>(since_origin).count();
}

void Core::CallOnMainThread(int32_t delay_ms, const CompletionCallback& callback,
                            int32_t result) {
  auto main_loop = platform::GetMainLoopImpl();
  if (main_loop) main_loop->PostWork(callback, delay_ms, result);
}

bool Core::IsMainThread() {
  auto loop = platform::MessageLoopImpl::Current();
  return loop && loop->is_main();
}

}  // namespace pp
