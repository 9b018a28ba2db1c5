// The simulated runtime's event manager: components open events by id and provider, register
// callbacks on them, and the host posts events, which reach every callback synchronously on the
// posting thread. Components call it from the host's main thread (entry points and hooks).
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "base/RuntimeApi.h"

class EventManager
{
public:
    // A new handle for (eventId, provider); never RTS_INVALID_HANDLE or 0.
    RTS_HANDLE open(uint32_t eventId, uint32_t provider);
    // 0, or kEventErrInvalidHandle for a handle that is not open (or a null callback).
    RTS_RESULT registerCallback(RTS_HANDLE handle, PF_EVENTCALLBACK callback);
    RTS_RESULT unregisterCallback(RTS_HANDLE handle, PF_EVENTCALLBACK callback);
    RTS_RESULT close(RTS_HANDLE handle);
    // Calls every callback registered on an open event with this id and provider, in the order
    // they were registered. Returns the number of callbacks called.
    int post(uint32_t eventId, uint32_t provider);
    // Events still open (a component that unsubscribed cleanly leaves none).
    size_t openCount() const;

    static constexpr RTS_RESULT kEventErrInvalidHandle = 0x0003;

private:
    struct Event
    {
        uint32_t id;
        uint32_t provider;
        std::vector<PF_EVENTCALLBACK> callbacks;
    };

    mutable std::mutex m_mutex;         // not held while callbacks run
    std::map<RTS_HANDLE, Event> m_open; // guarded by m_mutex
    RTS_HANDLE m_next = 1;              // guarded by m_mutex
};
