// Application events of the runtime that start and stop the FINS server.
#pragma once

#include <cstdint>

#include "base/RuntimeApi.h"

class CDrvIoEvent
{
public:
    // Opens the four events of provider 2 and registers RTE_EventCallback. Returns 0.
    int RegisterEventCallback();
    int UnregisterEventCallback();

    // Handlers; each logs its line first. The "PrePare"/"DownLoad" spellings are the system's own.
    int ResetPrePareEvent(uint32_t eventId);
    int DownLoadPrepareEvent(uint32_t eventId);
    int DownLoadDoneEvent(uint32_t eventId);
    int PrepareDeleteEvent(uint32_t eventId);
};

// The callback registered with the runtime's event manager.
extern "C" void RTE_EventCallback(EventParam* param);
