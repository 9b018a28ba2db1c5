#include "net/RealtimeThread.h"

#include <sched.h>

#include <algorithm>
#include <cerrno>

#include "base/SysErrText.h"
#include "base/kellog.h"

namespace {

constexpr const char* kLogThreadCreate = "pthread_create realtime thread fail,error:%d,%s";
constexpr const char* kLogThreadOrdinary =
    "realtime scheduling refused (priority %u): thread runs with ordinary scheduling";
constexpr const char* kLogThreadName = "pthread_setname_np fail:,%d,%s";

} // namespace

void NameThread(const char* name)
{
    const int rc = pthread_setname_np(pthread_self(), name);
    if (rc != 0) {
        kelLogAddErrorF(kLogThreadName, rc, SysErrText(rc).text);
    }
}

namespace {

// One joinable thread with explicit scheduling and an 8 MiB stack. The priority is set before
// and again after the policy, as the policy decides which priorities are valid.
int StartThread(ThreadCreateFn create, pthread_t* tid, void* (*start)(void*), void* arg, int policy,
                int priority)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    (void)pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
    (void)pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
    sched_param param{};
    param.sched_priority = priority;
    (void)pthread_attr_setschedparam(&attr, &param);
    (void)pthread_attr_setschedpolicy(&attr, policy);
    (void)pthread_attr_setschedparam(&attr, &param);
    (void)pthread_attr_setstacksize(&attr, kThreadStackBytes);
    const int rc = create(tid, &attr, start, arg);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        *tid = 0; // the id may have been written for a thread that never ran
    }
    return rc;
}

} // namespace

int StartRealtimeThread(ThreadCreateFn create, pthread_t* tid, void* (*start)(void*), void* arg,
                        unsigned int priority)
{
    const int level = static_cast<int>(std::min(priority, kMaxThreadPriority));
    const int policy = level != 0 ? SCHED_FIFO : SCHED_OTHER;
    int rc = StartThread(create, tid, start, arg, policy, level);
    if (rc == 0) {
        return 0;
    }
    kelLogAddErrorF(kLogThreadCreate, rc, SysErrText(rc).text);
    if (rc != EPERM || policy == SCHED_OTHER) {
        return -1;
    }
    // Without the right to real-time scheduling the server still runs, at ordinary priority.
    rc = StartThread(create, tid, start, arg, SCHED_OTHER, 0);
    if (rc != 0) {
        kelLogAddErrorF(kLogThreadCreate, rc, SysErrText(rc).text);
        return -1;
    }
    kelLogAddWarnF(kLogThreadOrdinary, priority);
    return 0;
}
