#include "ppapi/cpp/message_loop.h"

#include "ppapi/c/pp_errors.h"
#include "ppplatform/message_loop_impl.h"

namespace pp {

MessageLoop::MessageLoop() = default;

MessageLoop::MessageLoop(const InstanceHandle& instance)
    : Resource(std::make_shared<platform::MessageLoopImpl>(false)) {}

MessageLoop::MessageLoop(const MessageLoop& other) = default;

MessageLoop::MessageLoop(const Resource& resource)
    : Resource(resource.object_as<platform::MessageLoopImpl>()) {}

MessageLoop::~MessageLoop() = default;

MessageLoop& MessageLoop::operator=(const MessageLoop& other) = default;

MessageLoop MessageLoop::GetForMainThread() {
  return MessageLoop(Resource(platform::GetMainLoopImpl()));
}

MessageLoop MessageLoop::GetCurrent() {
  return MessageLoop(Resource(platform::MessageLoopImpl::Current()));
}

int32_t MessageLoop::AttachToCurrentThread() {
  auto loop = object_as<platform::MessageLoopImpl>();
  if (!loop) return PP_ERROR_BADRESOURCE;
  return loop->Attach(loop);
}

int32_t MessageLoop::Run() {
  auto loop = object_as<platform::MessageLoopImpl>();
  if (!loop) return PP_ERROR_BADRESOURCE;
  return loop->Run();
}

int32_t MessageLoop::PostWork(const CompletionCallback& callback, int64_t delay_ms) {
  auto loop = object_as<platform::MessageLoopImpl>();
  if (!loop) return PP_ERROR_BADRESOURCE;
  return loop->PostWork(callback, delay_ms, PP_OK);
}

int32_t MessageLoop::PostQuit(bool should_destroy) {
  auto loop = object_as<platform::MessageLoopImpl>();
  if (!loop) return PP_ERROR_BADRESOURCE;
  return loop->PostQuit(should_destroy);
}

}  // namespace pp
