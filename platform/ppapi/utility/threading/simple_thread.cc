#include "ppapi/utility/threading/simple_thread.h"

#include <cstdio>

#include <atomic>

namespace pp {

struct SimpleThread::StartData {
  MessageLoop message_loop;
  ThreadFunc func;
  void* user_data;
};

SimpleThread::SimpleThread(const InstanceHandle& instance)
    : SimpleThread(instance, 0) {}

SimpleThread::SimpleThread(const InstanceHandle& instance, size_t stack_size)
    : instance_(instance),
      message_loop_(instance),
      stack_size_(stack_size),
      thread_(),
      started_(false) {}

SimpleThread::~SimpleThread() { Join(); }

bool SimpleThread::Start() { return StartWithFunction(nullptr, nullptr); }

bool SimpleThread::StartWithFunction(ThreadFunc func, void* user_data) {
  if (started_ || message_loop_.is_null()) return false;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  if (stack_size_ > 0) pthread_attr_setstacksize(&attributes, stack_size_);
  StartData* data = new StartData{message_loop_, func, user_data};
  int result = pthread_create(&thread_, &attributes, &RunThread, data);
  pthread_attr_destroy(&attributes);
  if (result != 0) {
    delete data;
    return false;
  }
  started_ = true;
  return true;
}

bool SimpleThread::Join() {
  if (!started_ || pthread_equal(thread_, pthread_self())) return false;
  message_loop_.PostQuit(true);
  pthread_join(thread_, nullptr);
  started_ = false;
  return true;
}

void* SimpleThread::RunThread(void* raw_data) {
  // Numbered, so that the threads of several instances tell apart in a
  // debugger or a sanitizer report.
  static std::atomic<unsigned> started{0};
  char name[16];
  snprintf(name, sizeof(name), "pp_thread_%u", started.fetch_add(1) % 100000);
  pthread_setname_np(pthread_self(), name);
  StartData* data = static_cast<StartData*>(raw_data);
  MessageLoop loop = data->message_loop;
  ThreadFunc func = data->func;
  void* user_data = data->user_data;
  delete data;
  loop.AttachToCurrentThread();
  if (func) {
    func(loop, user_data);
  } else {
    loop.Run();
  }
  return nullptr;
}

}  // namespace pp
