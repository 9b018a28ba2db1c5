// A stand-in for the runtime's component manager and event manager, for tests that drive the
// component through its entry points in-process. It hands the component a ComponentInitRecord,
// answers CMGetAPI2 for all 134 import names, keeps what CMRegisterAPI registers, and records every
// event manager call; post() delivers an event to the callbacks registered for it, as the runtime
// does. Logger and application manager come from FakeLogger and FakeApplication: CMGetAPI2 hands
// out whatever those installed in the slots, so an import keeps them in place.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "base/RuntimeApi.h"

class FakeRuntime
{
public:
    struct Import
    {
        std::string name;
        int option;
    };
    struct Registration
    {
        std::vector<ApiTableEntry> entries; // up to, not including, the terminator
        ApiTableEntry terminator;
        int external;
        uint32_t cmpId;
    };
    struct EventCall
    {
        enum Kind
        {
            Open,
            Register,
            Unregister,
            Close
        } kind;
        RTS_HANDLE handle;
        uint32_t eventId;  // Open only
        uint32_t provider; // Open only
        PF_EVENTCALLBACK callback;
        bool resultAddressGiven; // Open: whether a result variable was passed
    };

    // Installs the event manager fakes into their slots right away (so hooks work without an
    // import) and becomes the runtime the manager functions reach.
    FakeRuntime();
    // Empties the event slots.
    ~FakeRuntime();
    FakeRuntime(const FakeRuntime&) = delete;
    FakeRuntime& operator=(const FakeRuntime&) = delete;

    // A record for ComponentEntry, with or without CMRegisterAPI and CMGetAPI2.
    ComponentInitRecord record(bool withRegisterApi = true, bool withGetApi2 = true) const;
    // Runs ComponentEntry with record(); the filled record is kept in entryRecord().
    void enter();
    const ComponentInitRecord& entryRecord() const { return m_record; }

    // CMGetAPI2 answers `result` for this name (the slot is left null).
    void withhold(const std::string& name, RTS_RESULT result);
    // Results CMRegisterAPI returns, one per call, in order; 0 once they run out.
    void setRegisterResults(std::vector<RTS_RESULT> results);

    std::vector<Import> imports() const;
    std::vector<Registration> registrations() const;
    std::vector<EventCall> eventCalls() const;
    void clearEventCalls();

    // Delivers an event to every callback registered on an open handle of (eventId, provider).
    // Returns the number of callbacks called.
    int post(uint32_t eventId, uint32_t provider = CMPID_AppProvider);

    static constexpr RTS_HANDLE kFirstHandle = 0x100;

private:
    static RTS_RESULT GetApi2(const char* name, RTS_VOID_FCT* slot, int option, uint32_t, uint32_t);
    static RTS_RESULT RegisterApi(const ApiTableEntry* table, uintptr_t, int external,
                                  uint32_t cmpId);
    static RTS_HANDLE EventOpen(uint32_t eventId, uint32_t provider, RTS_RESULT* result);
    static RTS_RESULT EventRegister(RTS_HANDLE handle, PF_EVENTCALLBACK callback, int);
    static RTS_RESULT EventUnregister(RTS_HANDLE handle, PF_EVENTCALLBACK callback);
    static RTS_RESULT EventClose(RTS_HANDLE handle);
    RTS_VOID_FCT offered(const std::string& name) const;

    struct OpenEvent
    {
        uint32_t eventId;
        uint32_t provider;
        std::vector<PF_EVENTCALLBACK> callbacks;
    };

    static inline FakeRuntime* s_current = nullptr;
    ComponentInitRecord m_record{};
    // The component calls in on the test's thread; the mutex keeps the recorders consistent for
    // a test that reads them from another thread.
    mutable std::mutex m_mutex;
    std::map<std::string, RTS_RESULT> m_withheld; // guarded by m_mutex
    std::vector<RTS_RESULT> m_registerResults;    // guarded by m_mutex
    std::vector<Import> m_imports;                // guarded by m_mutex
    std::vector<Registration> m_registrations;    // guarded by m_mutex
    std::vector<EventCall> m_eventCalls;          // guarded by m_mutex
    std::map<RTS_HANDLE, OpenEvent> m_open;       // guarded by m_mutex
    RTS_HANDLE m_nextHandle = kFirstHandle;       // guarded by m_mutex
};
