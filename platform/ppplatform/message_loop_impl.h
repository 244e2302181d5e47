#ifndef PPPLATFORM_MESSAGE_LOOP_IMPL_H_
#define PPPLATFORM_MESSAGE_LOOP_IMPL_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

#include "ppapi/cpp/completion_callback.h"
#include "ppapi/cpp/resource.h"

namespace pp {
namespace platform {

// The object behind a pp::MessageLoop. Any thread; Run and RunUntil on the
// loop's own thread.
class MessageLoopImpl : public ResourceObject {
 public:
  typedef std::chrono::steady_clock Clock;

  explicit MessageLoopImpl(bool is_main);
  ~MessageLoopImpl() override;

  bool is_main() const { return is_main_; }

  int32_t Attach(const std::shared_ptr<MessageLoopImpl>& self);
  int32_t Run();
  int32_t PostWork(const CompletionCallback& callback, int64_t delay_ms, int32_t result);
  int32_t PostQuit(bool should_destroy);

  // For the browser's main loop: runs due work until |done| holds or the
  // deadline passes; true when |done| held. |done| is tested after every
  // item, on Wake, and every few milliseconds (it may depend on other
  // threads).
  bool RunUntil(const std::function<bool()>& done, Clock::time_point deadline);
  // Wakes a RunUntil so that it tests its condition again.
  void Wake();

  // The loop attached to the calling thread (may be null).
  static std::shared_ptr<MessageLoopImpl> Current();

 private:
  struct Task {
    Clock::time_point due;
    uint64_t sequence;
    CompletionCallback callback;
    int32_t result;
    bool is_quit;
    bool should_destroy;
  };
  struct Later {
    bool operator()(const Task& a, const Task& b) const {
      if (a.due != b.due) return a.due > b.due;
      return a.sequence > b.sequence;
    }
  };

  bool IsAttachedToCallingThread() const;
  void Push(Task task);
  // Without the lock: runs |task| and lets go of its callback before the
  // lock is taken again, since the callback may hold the last reference
  // to a resource whose release posts work to this loop.
  static void RunUnlocked(Task* task);

  const bool is_main_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::priority_queue<Task, std::vector<Task>, Later> tasks_;
  uint64_t next_sequence_ = 0;
  bool attached_ = false;
  std::thread::id thread_;
  bool running_ = false;
  bool destroyed_ = false;
  uint64_t wake_count_ = 0;
};

// The loop of the browser's main thread (null before there is one); any
// thread.
std::shared_ptr<MessageLoopImpl> GetMainLoopImpl();
// Once per process; false when there is one already.
bool SetMainLoopImpl(const std::shared_ptr<MessageLoopImpl>& loop);

}  // namespace platform
}  // namespace pp

#endif  // PPPLATFORM_MESSAGE_LOOP_IMPL_H_
