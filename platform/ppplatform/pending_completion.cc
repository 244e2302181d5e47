#include "ppplatform/pending_completion.h"

#include <algorithm>

#include "ppplatform/browser.h"

namespace pp {
namespace platform {

namespace {

// The blocking call that the calling thread bound last, for FinishCall to
// wait on.
thread_local std::shared_ptr<internal::CompletionRecord> blocking_call;

bool OnMainThread() {
  std::shared_ptr<MessageLoopImpl> loop = MessageLoopImpl::Current();
  return loop && loop->is_main();
}

// On the caller's thread: what the caller gets, after the output is
// stored. The record must be decided.
int32_t TakeResultLocked(internal::CompletionRecord* record,
                         std::unique_lock<std::mutex>* lock) {
  record->delivered = true;
  int32_t result = record->aborted ? PP_ERROR_ABORTED : record->result;
  std::function<void()> deliver;
  if (!record->aborted) deliver = std::move(record->deliver);
  record->deliver = nullptr;
  lock->unlock();
  if (deliver) deliver();
  return result;
}

}  // namespace

namespace internal {

std::shared_ptr<CompletionRecord> NewRecord(const CompletionCallback& callback,
                                            int32_t* error) {
  auto record = std::make_shared<CompletionRecord>();
  if (callback.is_empty()) {
    if (OnMainThread()) {
      *error = PP_ERROR_BLOCKS_MAIN_THREAD;
      return nullptr;
    }
    blocking_call = record;
    return record;
  }
  record->loop = MessageLoopImpl::Current();
  if (!record->loop) {
    *error = PP_ERROR_NO_MESSAGE_LOOP;
    return nullptr;
  }
  record->callback = callback;
  return record;
}

bool FinishRecord(const std::shared_ptr<CompletionRecord>& record, int32_t result,
                  std::function<void()> deliver, bool abort) {
  std::unique_lock<std::mutex> lock(record->mutex);
  if (record->delivered) return false;
  if (abort) {
    record->aborted = true;
    // A result on its way turns into the abort when its turn comes.
    if (record->finished) return false;
  } else if (record->finished) {
    return false;
  }
  record->finished = true;
  record->result = result;
  record->deliver = std::move(deliver);
  if (record->callback.is_empty()) {
    record->finished_wait.notify_all();
    return true;
  }
  std::shared_ptr<MessageLoopImpl> loop = record->loop;
  lock.unlock();
  loop->PostWork(MakeFunctionCallback([record](int32_t) {
                   std::unique_lock<std::mutex> record_lock(record->mutex);
                   CompletionCallback callback = std::move(record->callback);
                   record->callback = CompletionCallback();
                   int32_t result = TakeResultLocked(record.get(), &record_lock);
                   callback.Run(result);
                 }),
                 0, PP_OK);
  return true;
}

}  // namespace internal

CompletionGroup::CompletionGroup() = default;

CompletionGroup::~CompletionGroup() { AbortAll(); }

void CompletionGroup::Add(const std::shared_ptr<internal::CompletionRecord>& record) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Calls that are over leave their slots behind; drop those first.
  records_.erase(std::remove_if(records_.begin(), records_.end(),
                                [](const std::weak_ptr<internal::CompletionRecord>& r) {
                                  return r.expired();
                                }),
                 records_.end());
  records_.push_back(record);
}

void CompletionGroup::AbortAll(DeferredReleases* later) {
  std::vector<std::weak_ptr<internal::CompletionRecord>> records;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    records.swap(records_);
  }
  for (const auto& weak : records) {
    if (auto record = weak.lock()) {
      internal::FinishRecord(record, PP_ERROR_ABORTED, nullptr, true);
      if (later) later->Keep(std::move(record));
    }
  }
}

int32_t CheckCallThread(const CompletionCallback& callback) {
  if (callback.is_empty()) return OnMainThread() ? PP_ERROR_BLOCKS_MAIN_THREAD : PP_OK;
  return MessageLoopImpl::Current() ? PP_OK : PP_ERROR_NO_MESSAGE_LOOP;
}

int32_t FinishCall(const CompletionCallback& callback, int32_t result) {
  std::shared_ptr<internal::CompletionRecord> blocking = std::move(blocking_call);
  blocking_call.reset();
  if (callback.is_empty()) {
    if (result != PP_OK_COMPLETIONPENDING || !blocking) return result;
    std::unique_lock<std::mutex> lock(blocking->mutex);
    blocking->finished_wait.wait(lock, [&] { return blocking->finished; });
    return TakeResultLocked(blocking.get(), &lock);
  }
  if (result == PP_OK_COMPLETIONPENDING || callback.IsOptional()) return result;
  // A required callback learns of an immediate failure later, on the
  // caller's loop, as it learns of everything else.
  std::shared_ptr<MessageLoopImpl> loop = MessageLoopImpl::Current();
  if (!loop || loop->PostWork(callback, 0, result) != PP_OK) return result;
  return PP_OK_COMPLETIONPENDING;
}

}  // namespace platform
}  // namespace pp
