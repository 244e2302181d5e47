#include "ppplatform/message_loop_impl.h"

#include <algorithm>
#include <mutex>

#include "ppapi/c/pp_errors.h"

namespace pp {

namespace platform {

namespace {

thread_local std::shared_ptr<MessageLoopImpl> current_loop;

std::mutex main_loop_mutex;
std::shared_ptr<MessageLoopImpl> main_loop;

}  // namespace

std::shared_ptr<MessageLoopImpl> GetMainLoopImpl() {
  std::lock_guard<std::mutex> lock(main_loop_mutex);
  return main_loop;
}

bool SetMainLoopImpl(const std::shared_ptr<MessageLoopImpl>& loop) {
  std::lock_guard<std::mutex> lock(main_loop_mutex);
  if (main_loop) return false;
  main_loop = loop;
  return true;
}

MessageLoopImpl::MessageLoopImpl(bool is_main) : is_main_(is_main) {}

MessageLoopImpl::~MessageLoopImpl() = default;

std::shared_ptr<MessageLoopImpl> MessageLoopImpl::Current() { return current_loop; }

bool MessageLoopImpl::IsAttachedToCallingThread() const {
  return attached_ && thread_ == std::this_thread::get_id();
}

int32_t MessageLoopImpl::Attach(const std::shared_ptr<MessageLoopImpl>& self) {
  if (current_loop) return PP_ERROR_INPROGRESS;
  std::lock_guard<std::mutex> lock(mutex_);
  if (destroyed_) return PP_ERROR_FAILED;
  if (attached_) return PP_ERROR_INPROGRESS;
  attached_ = true;
  thread_ = std::this_thread::get_id();
  current_loop = self;
  return PP_OK;
}

void MessageLoopImpl::RunUnlocked(Task* task) {
  task->callback.Run(task->result);
  task->callback = CompletionCallback();
}

void MessageLoopImpl::Push(Task task) {
  tasks_.push(std::move(task));
  ++wake_count_;
  wake_.notify_all();
}

int32_t MessageLoopImpl::PostWork(const CompletionCallback& callback, int64_t delay_ms,
                                  int32_t result) {
  if (callback.is_empty()) return PP_ERROR_BADARGUMENT;
  auto due = Clock::now() + std::chrono::milliseconds(std::max<int64_t>(delay_ms, 0));
  std::lock_guard<std::mutex> lock(mutex_);
  if (destroyed_) return PP_ERROR_FAILED;
  Push(Task{due, next_sequence_++, callback, result, false, false});
  return PP_OK;
}

int32_t MessageLoopImpl::PostQuit(bool should_destroy) {
  // The browser runs the main loop; nothing may end it.
  if (is_main_) return PP_ERROR_WRONG_THREAD;
  std::lock_guard<std::mutex> lock(mutex_);
  if (destroyed_) return PP_ERROR_FAILED;
  Push(Task{Clock::now(), next_sequence_++, CompletionCallback(), 0, true, should_destroy});
  return PP_OK;
}

int32_t MessageLoopImpl::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!IsAttachedToCallingThread()) return PP_ERROR_WRONG_THREAD;
  if (is_main_ || running_) return PP_ERROR_INPROGRESS;
  running_ = true;
  for (;;) {
    if (tasks_.empty()) {
      wake_.wait(lock);
      continue;
    }
    if (tasks_.top().due > Clock::now()) {
      // A copy: the queue may grow, and move its tasks, while this waits.
      const Clock::time_point due = tasks_.top().due;
      wake_.wait_until(lock, due);
      continue;
    }
    Task task = tasks_.top();
    tasks_.pop();
    if (task.is_quit) {
      running_ = false;
      if (!task.should_destroy) return PP_OK;
      destroyed_ = true;
      attached_ = false;
      std::vector<Task> dropped;
      while (!tasks_.empty()) {
        dropped.push_back(tasks_.top());
        tasks_.pop();
      }
      lock.unlock();
      // Keeps this loop alive while it detaches; the dropped work is freed
      // here, on the loop's own thread.
      std::shared_ptr<MessageLoopImpl> self = std::move(current_loop);
      dropped.clear();
      return PP_OK;
    }
    lock.unlock();
    RunUnlocked(&task);
    lock.lock();
  }
}

bool MessageLoopImpl::RunUntil(const std::function<bool()>& done,
                               Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    uint64_t seen = wake_count_;
    lock.unlock();
    if (done()) return true;
    lock.lock();
    auto now = Clock::now();
    if (!tasks_.empty() && tasks_.top().due <= now) {
      Task task = tasks_.top();
      tasks_.pop();
      lock.unlock();
      RunUnlocked(&task);
      lock.lock();
      continue;
    }
    if (now >= deadline) {
      lock.unlock();
      return done();
    }
    auto until = std::min(deadline, now + std::chrono::milliseconds(5));
    if (!tasks_.empty()) until = std::min(until, tasks_.top().due);
    wake_.wait_until(lock, until, [&] { return wake_count_ != seen; });
  }
}

void MessageLoopImpl::Wake() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++wake_count_;
  wake_.notify_all();
}

}  // namespace platform

}  // namespace pp
