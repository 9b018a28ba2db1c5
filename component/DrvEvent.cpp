// Application events of the runtime that start and stop the FINS server. Subscribed at hook 4,
// dropped at hook 12; the runtime delivers the events on its own thread, one at a time, and never
// while hook 12 runs, so nothing here takes a lock.
#include "component/DrvEvent.h"

#include <exception>

#include "appmem/AppAreaMem.h"
#include "base/CmpImports.h"
#include "base/kellog.h"
#include "component/FinsServer.h"
#include "utility/Singleton.h"

namespace {

constexpr char kBadProviderFmt[] = "Error EventParam->CmpIdProvider:%u";
constexpr char kResetPrepareMsg[] = "ResetPrePareEvent......";
constexpr char kDownloadPrepareMsg[] = "DownLoadPrepareEvent......";
constexpr char kDownloadDoneMsg[] = "DownLoadDoneEvent......";
constexpr char kPrepareDeleteMsg[] = "PrepareDeleteEvent......";
constexpr char kHandlerFailedFmt[] = "event 0x%x failed: %s";

struct EventSubscription
{
    uint32_t eventId;
    RTS_HANDLE hEvent; // RTS_INVALID_HANDLE while not open
};

constexpr int kEventCount = 4;

// Written by Register/UnregisterEventCallback at hooks 4 and 12 on the runtime's thread; no
// other thread touches it.
EventSubscription s_hEventset[kEventCount] = {
    {EVT_ResetPrepare, RTS_INVALID_HANDLE},
    {EVT_DownloadPrepare, RTS_INVALID_HANDLE},
    {EVT_DownloadDone, RTS_INVALID_HANDLE},
    {EVT_PrepareDelete, RTS_INVALID_HANDLE},
};

typedef int (CDrvIoEvent::*EventHandler)(uint32_t eventId);

// The handler of each subscribed event; null for any other id.
EventHandler HandlerFor(uint32_t eventId)
{
    switch (eventId) {
    case EVT_ResetPrepare:
        return &CDrvIoEvent::ResetPrePareEvent;
    case EVT_DownloadPrepare:
        return &CDrvIoEvent::DownLoadPrepareEvent;
    case EVT_DownloadDone:
        return &CDrvIoEvent::DownLoadDoneEvent;
    case EVT_PrepareDelete:
        return &CDrvIoEvent::PrepareDeleteEvent;
    default:
        return nullptr;
    }
}

void StopServer()
{
    CFinsServer* server = utility::Singleton<CFinsServer>::instance();
    if (server != nullptr) {
        server->stop();
    }
}

} // namespace

int CDrvIoEvent::RegisterEventCallback()
{
    PF_EVENTOPEN open = pfEventOpen;
    PF_EVENTREGISTERCALLBACKFUNCTION registerCallback = pfEventRegisterCallbackFunction;
    if (open == nullptr || registerCallback == nullptr) {
        return 0; // imports never ran: nothing to subscribe with
    }
    for (EventSubscription& entry : s_hEventset) {
        entry.hEvent = open(entry.eventId, CMPID_AppProvider, nullptr);
        (void)registerCallback(entry.hEvent, &RTE_EventCallback, 0);
    }
    return 0;
}

int CDrvIoEvent::UnregisterEventCallback()
{
    PF_EVENTUNREGISTERCALLBACKFUNCTION unregisterCallback = pfEventUnregisterCallbackFunction;
    PF_EVENTCLOSE close = pfEventClose;
    if (unregisterCallback == nullptr || close == nullptr) {
        return 0;
    }
    for (EventSubscription& entry : s_hEventset) {
        (void)unregisterCallback(entry.hEvent, &RTE_EventCallback);
        (void)close(entry.hEvent);
        entry.hEvent = RTS_INVALID_HANDLE;
    }
    return 0;
}

int CDrvIoEvent::ResetPrePareEvent(uint32_t)
{
    kelLogAddInfoF(kResetPrepareMsg);
    return 0;
}

int CDrvIoEvent::DownLoadPrepareEvent(uint32_t)
{
    kelLogAddInfoF(kDownloadPrepareMsg);
    StopServer();
    return 0;
}

// The server starts also when no application or no segment was found: the lookup logs that, and
// requests to an absent segment are answered with a range error. A loop still running (a download
// done without a prepare) is stopped before the segments are looked up: its reader thread must
// never pair a segment's old size with a new, smaller segment.
int CDrvIoEvent::DownLoadDoneEvent(uint32_t)
{
    kelLogAddInfoF(kDownloadDoneMsg);
    StopServer();
    (void)utility::Singleton<CAppAreaMemmory>::instance()->LoadAppMemoryAddr();
    CFinsServer* server = utility::Singleton<CFinsServer>::instance();
    if (server == nullptr) {
        return 0;
    }
    (void)server->initServer();
    server->start();
    return 0;
}

int CDrvIoEvent::PrepareDeleteEvent(uint32_t)
{
    kelLogAddInfoF(kPrepareDeleteMsg);
    StopServer();
    return 0;
}

// Events of any provider but the application manager are refused; unknown ids of that provider
// are ignored. Nothing may unwind into the runtime's event manager.
extern "C" void RTE_EventCallback(EventParam* param)
{
    if (param == nullptr) {
        return;
    }
    if (param->CmpIdProvider != CMPID_AppProvider) {
        kelLogAddErrorF(kBadProviderFmt, param->CmpIdProvider);
        return;
    }
    EventHandler handler = HandlerFor(param->EventId);
    if (handler == nullptr) {
        return;
    }
    try {
        CDrvIoEvent* events = utility::Singleton<CDrvIoEvent>::instance();
        if (events != nullptr) {
            (void)(events->*handler)(param->EventId);
        }
    } catch (const std::exception& e) {
        kelLogAddErrorF(kHandlerFailedFmt, param->EventId, e.what());
    } catch (...) {
        kelLogAddErrorF(kHandlerFailedFmt, param->EventId, "unknown exception");
    }
}
