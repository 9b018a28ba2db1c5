// Component manager, logger and application manager of the simulated runtime, as C functions.
#include "host/RuntimeServices.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include "base/CmpImports.h"
#include "host/Application.h"
#include "host/EventManager.h"
#include "host/HostLog.h"
#include "host/ServeWatch.h"

namespace {

constexpr RTS_HANDLE kHostLogger = 1;
constexpr size_t kLogTextBytes = 1024;

// The services every C entry point reaches; set by the one RuntimeServices alive.
RuntimeServices* s_current = nullptr;

void SetResult(RTS_RESULT* result, RTS_RESULT value)
{
    if (result != nullptr) {
        *result = value;
    }
}

extern "C" RTS_RESULT HostNotImplemented()
{
    return kHostErrNotImplemented;
}

extern "C" RTS_HANDLE HostLogGetFirstLogger(RTS_RESULT* result)
{
    SetResult(result, 0);
    return kHostLogger;
}

// The entry text is a printf format, formatted with whatever follows it, as a runtime does.
extern "C" __attribute__((format(printf, 6, 7))) RTS_RESULT
HostLogAdd(RTS_HANDLE, uint32_t cmpId, uint32_t classId, uint32_t, uint32_t, const char* info, ...)
{
    if (info == nullptr) {
        return kHostErrNoObject;
    }
    char text[kLogTextBytes];
    va_list args;
    va_start(args, info);
    vsnprintf(text, sizeof(text), info, args);
    va_end(args);
    // The watch sees every entry, whatever is printed: the settings line that names the port is
    // an info entry, and a failure must be told with that port at any level.
    ServeWatchEntry(cmpId, classId, text);
    if (!HostComponentLogWanted(classId)) {
        return 0;
    }
    char source[16];
    snprintf(source, sizeof(source), "%08" PRIX32, cmpId);
    HostLogLine(HostLogLevelName(classId), source, text);
    return 0;
}

extern "C" RTS_HANDLE HostEventOpen(uint32_t eventId, uint32_t provider, RTS_RESULT* result)
{
    SetResult(result, 0);
    return s_current->Events().open(eventId, provider);
}

extern "C" RTS_RESULT HostEventRegisterCallback(RTS_HANDLE h, PF_EVENTCALLBACK cb, int)
{
    return s_current->Events().registerCallback(h, cb);
}

extern "C" RTS_RESULT HostEventUnregisterCallback(RTS_HANDLE h, PF_EVENTCALLBACK cb)
{
    return s_current->Events().unregisterCallback(h, cb);
}

extern "C" RTS_RESULT HostEventClose(RTS_HANDLE h)
{
    return s_current->Events().close(h);
}

extern "C" void* HostAppGetFirstApp(RTS_RESULT* result)
{
    Application* app = s_current->App();
    SetResult(result, app != nullptr ? 0 : kHostErrNoObject);
    return app;
}

extern "C" uint8_t* HostAppGetSegmentAddress(void* app, uint32_t areaCode, RTS_RESULT* result)
{
    Application* known = s_current->App();
    uint8_t* segment = app != nullptr && app == known ? known->Segment(areaCode) : nullptr;
    SetResult(result, segment != nullptr ? 0 : kHostErrNoObject);
    return segment;
}

extern "C" uint32_t HostAppGetSegmentSize(void* app, uint32_t areaCode, RTS_RESULT* result)
{
    Application* known = s_current->App();
    bool found = app != nullptr && app == known && known->Segment(areaCode) != nullptr;
    SetResult(result, found ? 0 : kHostErrNoObject);
    return found ? known->SegmentSize(areaCode) : 0;
}

extern "C" RTS_RESULT HostCMGetAPI2(const char* name, RTS_VOID_FCT* slot, int importOption,
                                    uint32_t, uint32_t)
{
    return s_current->GetApi(name, slot, importOption);
}

extern "C" RTS_RESULT HostCMRegisterAPI(const ApiTableEntry* table, uintptr_t, int external,
                                        uint32_t cmpId)
{
    return s_current->RegisterApi(table, external, cmpId);
}

template <typename F>
RTS_VOID_FCT Generic(F function)
{
    return reinterpret_cast<RTS_VOID_FCT>(function);
}

} // namespace

RuntimeServices::RuntimeServices(EventManager& events, Application* app)
    : m_events(events), m_app(app)
{
#define HOST_OFFER_STUB(name, type, option) m_offered[#name] = Generic(&HostNotImplemented);
    DRVFINS_IMPORT_LIST(HOST_OFFER_STUB)
#undef HOST_OFFER_STUB
    m_offered["LogGetFirstLogger"] = Generic(&HostLogGetFirstLogger);
    m_offered["LogAdd"] = Generic(&HostLogAdd);
    m_offered["EventOpen"] = Generic(&HostEventOpen);
    m_offered["EventRegisterCallbackFunction"] = Generic(&HostEventRegisterCallback);
    m_offered["EventUnregisterCallbackFunction"] = Generic(&HostEventUnregisterCallback);
    m_offered["EventClose"] = Generic(&HostEventClose);
    m_offered["AppGetFirstApp"] = Generic(&HostAppGetFirstApp);
    m_offered["AppGetSegmentAddress"] = Generic(&HostAppGetSegmentAddress);
    m_offered["AppGetSegmentSize"] = Generic(&HostAppGetSegmentSize);
    s_current = this;
}

RuntimeServices::~RuntimeServices()
{
    s_current = nullptr;
}

RuntimeServices* RuntimeServices::Current()
{
    return s_current;
}

void RuntimeServices::Withhold(const std::string& name)
{
    m_offered.erase(name);
}

void RuntimeServices::FillInitRecord(ComponentInitRecord& record) const
{
    record.pfCMRegisterAPI = &HostCMRegisterAPI;
    record.pfCMGetAPI2 = &HostCMGetAPI2;
    // The component keeps these but never calls them.
    record.pfCMGetAPI = Generic(&HostNotImplemented);
    record.pfCMCallHook = Generic(&HostNotImplemented);
    record.pfCMRegisterClass = Generic(&HostNotImplemented);
    record.pfCMCreateInstance = Generic(&HostNotImplemented);
    record.pfCMRegisterAPI2 = Generic(&HostNotImplemented);
}

RTS_RESULT RuntimeServices::GetApi(const char* name, RTS_VOID_FCT* slot, int importOption)
{
    if (name == nullptr || slot == nullptr) {
        return kHostErrNotFound;
    }
    auto it = m_offered.find(name);
    if (it == m_offered.end()) {
        *slot = nullptr;
        HostLogLine(importOption == CM_IMPORT_OPTIONAL ? "info" : "error", "host",
                    (std::string("runtime function not offered: ") + name).c_str());
        return kHostErrNotFound;
    }
    *slot = it->second;
    return 0;
}

// A table ends with a null function; its name is "" (a null name ends it as well).
RTS_RESULT RuntimeServices::RegisterApi(const ApiTableEntry* table, int external, uint32_t cmpId)
{
    if (table == nullptr) {
        return kHostErrNoObject;
    }
    std::lock_guard<std::mutex> lock(m_registeredMutex);
    for (const ApiTableEntry* e = table; e->pfFunction != nullptr && e->pszName != nullptr; ++e) {
        m_registered.push_back(
            {e->pszName, e->pfFunction, e->ulSignature, e->ulVersion, external != 0, cmpId});
    }
    return 0;
}

RTS_VOID_FCT RuntimeServices::FindRegistered(const std::string& name) const
{
    std::lock_guard<std::mutex> lock(m_registeredMutex);
    for (const RegisteredFunction& f : m_registered) {
        if (f.name == name) {
            return f.function;
        }
    }
    return nullptr;
}
