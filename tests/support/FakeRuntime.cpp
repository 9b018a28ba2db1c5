#include "tests/support/FakeRuntime.h"

#include <algorithm>

#include "base/CmpImports.h"
#include "component/DrvFins.h"

namespace {

constexpr RTS_RESULT kStubResult = 0x12;
constexpr RTS_RESULT kBadHandle = 0x03;

extern "C" RTS_RESULT StubFunction()
{
    return kStubResult;
}

template <typename F>
RTS_VOID_FCT Generic(F function)
{
    return reinterpret_cast<RTS_VOID_FCT>(function);
}

} // namespace

FakeRuntime::FakeRuntime()
{
    s_current = this;
    pfEventOpen = &FakeRuntime::EventOpen;
    pfEventRegisterCallbackFunction = &FakeRuntime::EventRegister;
    pfEventUnregisterCallbackFunction = &FakeRuntime::EventUnregister;
    pfEventClose = &FakeRuntime::EventClose;
}

FakeRuntime::~FakeRuntime()
{
    pfEventOpen = nullptr;
    pfEventRegisterCallbackFunction = nullptr;
    pfEventUnregisterCallbackFunction = nullptr;
    pfEventClose = nullptr;
    s_current = nullptr;
}

ComponentInitRecord FakeRuntime::record(bool withRegisterApi, bool withGetApi2) const
{
    ComponentInitRecord r{};
    r.pfCMRegisterAPI = withRegisterApi ? &FakeRuntime::RegisterApi : nullptr;
    r.pfCMGetAPI2 = withGetApi2 ? &FakeRuntime::GetApi2 : nullptr;
    r.pfCMGetAPI = Generic(&StubFunction);
    r.pfCMCallHook = Generic(&StubFunction);
    r.pfCMRegisterClass = Generic(&StubFunction);
    r.pfCMCreateInstance = Generic(&StubFunction);
    r.pfCMRegisterAPI2 = Generic(&StubFunction);
    return r;
}

void FakeRuntime::enter()
{
    m_record = record();
    (void)ComponentEntry(&m_record);
}

void FakeRuntime::withhold(const std::string& name, RTS_RESULT result)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_withheld[name] = result;
}

void FakeRuntime::setRegisterResults(std::vector<RTS_RESULT> results)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_registerResults = std::move(results);
}

std::vector<FakeRuntime::Import> FakeRuntime::imports() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_imports;
}

std::vector<FakeRuntime::Registration> FakeRuntime::registrations() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_registrations;
}

std::vector<FakeRuntime::EventCall> FakeRuntime::eventCalls() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_eventCalls;
}

void FakeRuntime::clearEventCalls()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_eventCalls.clear();
}

int FakeRuntime::post(uint32_t eventId, uint32_t provider)
{
    std::vector<PF_EVENTCALLBACK> targets;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& entry : m_open) {
            if (entry.second.eventId == eventId && entry.second.provider == provider) {
                targets.insert(targets.end(), entry.second.callbacks.begin(),
                               entry.second.callbacks.end());
            }
        }
    }
    for (PF_EVENTCALLBACK callback : targets) {
        EventParam param{eventId, provider, 0, 0, nullptr, nullptr};
        callback(&param);
    }
    return static_cast<int>(targets.size());
}

// What the slot of `name` receives: the logger and application fakes already installed, this
// fake's event manager, and a stub for everything the component never calls.
RTS_VOID_FCT FakeRuntime::offered(const std::string& name) const
{
    const std::map<std::string, RTS_VOID_FCT> installed = {
        {"LogAdd", Generic(pfLogAdd)},
        {"LogGetFirstLogger", Generic(pfLogGetFirstLogger)},
        {"AppGetFirstApp", Generic(pfAppGetFirstApp)},
        {"AppGetSegmentAddress", Generic(pfAppGetSegmentAddress)},
        {"AppGetSegmentSize", Generic(pfAppGetSegmentSize)},
        {"EventOpen", Generic(&FakeRuntime::EventOpen)},
        {"EventRegisterCallbackFunction", Generic(&FakeRuntime::EventRegister)},
        {"EventUnregisterCallbackFunction", Generic(&FakeRuntime::EventUnregister)},
        {"EventClose", Generic(&FakeRuntime::EventClose)},
    };
    auto it = installed.find(name);
    return it != installed.end() && it->second != nullptr ? it->second : Generic(&StubFunction);
}

RTS_RESULT FakeRuntime::GetApi2(const char* name, RTS_VOID_FCT* slot, int option, uint32_t,
                                uint32_t)
{
    FakeRuntime* self = s_current;
    RTS_RESULT result = 0;
    {
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_imports.push_back({name, option});
        auto it = self->m_withheld.find(name);
        result = it != self->m_withheld.end() ? it->second : 0;
    }
    *slot = result == 0 ? self->offered(name) : nullptr;
    return result;
}

RTS_RESULT FakeRuntime::RegisterApi(const ApiTableEntry* table, uintptr_t, int external,
                                    uint32_t cmpId)
{
    FakeRuntime* self = s_current;
    Registration reg{{}, {}, external, cmpId};
    const ApiTableEntry* e = table;
    for (; e->pfFunction != nullptr; ++e) {
        reg.entries.push_back(*e);
    }
    reg.terminator = *e;
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_registrations.push_back(reg);
    if (self->m_registerResults.empty()) {
        return 0;
    }
    RTS_RESULT r = self->m_registerResults.front();
    self->m_registerResults.erase(self->m_registerResults.begin());
    return r;
}

RTS_HANDLE FakeRuntime::EventOpen(uint32_t eventId, uint32_t provider, RTS_RESULT* result)
{
    FakeRuntime* self = s_current;
    std::lock_guard<std::mutex> lock(self->m_mutex);
    RTS_HANDLE handle = self->m_nextHandle++;
    self->m_open[handle] = OpenEvent{eventId, provider, {}};
    self->m_eventCalls.push_back(
        {EventCall::Open, handle, eventId, provider, nullptr, result != nullptr});
    if (result != nullptr) {
        *result = 0;
    }
    return handle;
}

RTS_RESULT FakeRuntime::EventRegister(RTS_HANDLE handle, PF_EVENTCALLBACK callback, int)
{
    FakeRuntime* self = s_current;
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_eventCalls.push_back({EventCall::Register, handle, 0, 0, callback, false});
    auto it = self->m_open.find(handle);
    if (it == self->m_open.end()) {
        return kBadHandle;
    }
    it->second.callbacks.push_back(callback);
    return 0;
}

RTS_RESULT FakeRuntime::EventUnregister(RTS_HANDLE handle, PF_EVENTCALLBACK callback)
{
    FakeRuntime* self = s_current;
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_eventCalls.push_back({EventCall::Unregister, handle, 0, 0, callback, false});
    auto it = self->m_open.find(handle);
    if (it == self->m_open.end()) {
        return kBadHandle;
    }
    std::vector<PF_EVENTCALLBACK>& cbs = it->second.callbacks;
    cbs.erase(std::remove(cbs.begin(), cbs.end(), callback), cbs.end());
    return 0;
}

RTS_RESULT FakeRuntime::EventClose(RTS_HANDLE handle)
{
    FakeRuntime* self = s_current;
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_eventCalls.push_back({EventCall::Close, handle, 0, 0, nullptr, false});
    return self->m_open.erase(handle) == 1 ? 0 : kBadHandle;
}
