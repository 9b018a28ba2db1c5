// The loop's threads: joinable, with real-time scheduling when the process may have it, a stack of
// their own size and a name. Owner thread (NameThread: the named thread itself).
#pragma once

#include <pthread.h>

#include <cstddef>

constexpr size_t kThreadStackBytes = 8u * 1024u * 1024u;
constexpr unsigned int kMaxThreadPriority = 99;

// How a thread is made: pthread_create, or a test's stand-in.
using ThreadCreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

// One joinable thread, SCHED_FIFO at min(priority, 99) (SCHED_OTHER for 0), 8 MiB stack; without
// the right to real-time scheduling it runs at ordinary priority (logged). 0, or -1 after a logged
// failure, with *tid 0.
int StartRealtimeThread(ThreadCreateFn create, pthread_t* tid, void* (*start)(void*), void* arg,
                        unsigned int priority);
// Names the calling thread; a failure is logged.
void NameThread(const char* name);
