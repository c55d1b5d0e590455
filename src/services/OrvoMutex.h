// The device's mutex class: a process-local, non-recursive lock.
//
// While one thread holds it, other threads calling Lock() wait. Not copyable:
// a copy would be a second, unrelated lock.

#ifndef TOLVANE_SRC_SERVICES_ORVOMUTEX_H_
#define TOLVANE_SRC_SERVICES_ORVOMUTEX_H_

#include <pthread.h>

#include "tolvane_export.h"

class TOLVANE_EXPORT OrvoMutex {
 public:
  OrvoMutex();
  ~OrvoMutex();
  OrvoMutex(const OrvoMutex&) = delete;
  OrvoMutex& operator=(const OrvoMutex&) = delete;

  void Lock();
  // REQUIRES: the calling thread holds the lock.
  void Unlock();

 private:
  pthread_mutex_t mutex_;
};

// Holds `mutex` from construction to the end of the scope.
class OrvoMutexLock {
 public:
  explicit OrvoMutexLock(OrvoMutex* mutex) : mutex_(mutex) { mutex_->Lock(); }
  ~OrvoMutexLock() { mutex_->Unlock(); }
  OrvoMutexLock(const OrvoMutexLock&) = delete;
  OrvoMutexLock& operator=(const OrvoMutexLock&) = delete;

 private:
  OrvoMutex* const mutex_;
};

#endif  // TOLVANE_SRC_SERVICES_ORVOMUTEX_H_
