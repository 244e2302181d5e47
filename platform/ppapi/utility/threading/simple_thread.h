#ifndef PPAPI_UTILITY_THREADING_SIMPLE_THREAD_H_
#define PPAPI_UTILITY_THREADING_SIMPLE_THREAD_H_

#include <pthread.h>

#include <cstddef>

#include "ppapi/cpp/instance_handle.h"
#include "ppapi/cpp/message_loop.h"

namespace pp {

// A thread that runs its own message loop. The loop exists from
// construction, so work may be posted before the thread starts.
class SimpleThread {
 public:
  typedef void (*ThreadFunc)(MessageLoop& message_loop, void* user_data);

  explicit SimpleThread(const InstanceHandle& instance);
  // |stack_size| 0 is the default.
  SimpleThread(const InstanceHandle& instance, size_t stack_size);
  // Joins.
  ~SimpleThread();
  SimpleThread(const SimpleThread&) = delete;
  SimpleThread& operator=(const SimpleThread&) = delete;

  // Starts the thread running the loop; false when already started or the
  // thread cannot be made.
  bool Start();
  // Starts the thread running |func| with the loop attached.
  bool StartWithFunction(ThreadFunc func, void* user_data);
  // Asks the loop to quit (work already due still runs, the running item
  // finishes) and waits for the thread to end. False when not running or
  // called on the thread itself.
  bool Join();

  const InstanceHandle& instance() const { return instance_; }
  const MessageLoop& message_loop() const { return message_loop_; }
  MessageLoop& message_loop() { return message_loop_; }

 private:
  struct StartData;
  static void* RunThread(void* data);

  InstanceHandle instance_;
  MessageLoop message_loop_;
  size_t stack_size_;
  pthread_t thread_;
  bool started_;
};

}  // namespace pp

#endif  // PPAPI_UTILITY_THREADING_SIMPLE_THREAD_H_
