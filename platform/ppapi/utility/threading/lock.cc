#include "ppapi/utility/threading/lock.h"

namespace pp {

Lock::Lock() { pthread_mutex_init(&mutex_, nullptr); }

Lock::~Lock() { pthread_mutex_destroy(&mutex_); }

void Lock::Acquire() { pthread_mutex_lock(&mutex_); }

void Lock::Release() { pthread_mutex_unlock(&mutex_); }

}  // namespace pp
