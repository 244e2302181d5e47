#ifndef KELMORA_THREADING_H_
#define KELMORA_THREADING_H_

#include <pthread.h>

#include <cassert>

namespace kelmora {

// Non-recursive lock; failing to create or destroy it is a programming error.
class Mutex {
 public:
  Mutex() {
    int result = pthread_mutex_init(&mutex_, nullptr);
    assert(!result);
    (void)result;
  }
  ~Mutex() {
    int result = pthread_mutex_destroy(&mutex_);
    assert(!result);
    (void)result;
  }
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() { pthread_mutex_lock(&mutex_); }
  void Unlock() { pthread_mutex_unlock(&mutex_); }
  pthread_mutex_t* native() { return &mutex_; }

 private:
  pthread_mutex_t mutex_;
};

// Holds a Mutex for a scope, released on every way out.
class ScopedLock {
 public:
  explicit ScopedLock(Mutex& mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~ScopedLock() { mutex_.Unlock(); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  Mutex& mutex_;
};

}  // namespace kelmora

#endif  // KELMORA_THREADING_H_
