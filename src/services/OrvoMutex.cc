#include "services/OrvoMutex.h"

OrvoMutex::OrvoMutex() { pthread_mutex_init(&mutex_, nullptr); }

OrvoMutex::~OrvoMutex() { pthread_mutex_destroy(&mutex_); }

void OrvoMutex::Lock() { pthread_mutex_lock(&mutex_); }

void OrvoMutex::Unlock() { pthread_mutex_unlock(&mutex_); }
