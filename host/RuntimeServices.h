// The runtime services the simulated runtime offers a component: the component manager functions
// of the init record (CMGetAPI2 finds runtime functions by name, CMRegisterAPI keeps the tables a
// component registers), and behind CMGetAPI2 every function the component imports. Nine of them
// work (logger, event manager, application manager); the others are harmless stubs. One instance
// is current at a time; the C entry points reach it through Current().
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "base/RuntimeApi.h"

class Application;
class EventManager;

// CMGetAPI2's answer for a name the runtime does not offer.
constexpr RTS_RESULT kHostErrNotFound = 0x0010;
// What the application manager answers when there is no application or segment.
constexpr RTS_RESULT kHostErrNoObject = 0x0011;
// Result of every stub.
constexpr RTS_RESULT kHostErrNotImplemented = 0x0012;

struct RegisteredFunction
{
    std::string name;
    RTS_VOID_FCT function;
    uint32_t signature;
    uint32_t version;
    bool external;
    uint32_t cmpId;
};

class RuntimeServices
{
public:
    // app may be null: the runtime then reports no application.
    RuntimeServices(EventManager& events, Application* app);
    ~RuntimeServices();
    RuntimeServices(const RuntimeServices&) = delete;
    RuntimeServices& operator=(const RuntimeServices&) = delete;

    static RuntimeServices* Current();

    // Leaves one function out of what CMGetAPI2 offers, as an older runtime would.
    void Withhold(const std::string& name);
    // The manager functions handed to ComponentEntry.
    void FillInitRecord(ComponentInitRecord& record) const;
    // A function a component registered under this name; null if none.
    RTS_VOID_FCT FindRegistered(const std::string& name) const;

    // 0 with the function in *slot; kHostErrNotFound (and a message) for a name not offered.
    RTS_RESULT GetApi(const char* name, RTS_VOID_FCT* slot, int importOption);
    RTS_RESULT RegisterApi(const ApiTableEntry* table, int external, uint32_t cmpId);
    EventManager& Events() { return m_events; }
    Application* App() { return m_app; }

private:
    EventManager& m_events;
    Application* m_app;
    std::map<std::string, RTS_VOID_FCT> m_offered; // main thread, before the component runs
    mutable std::mutex m_registeredMutex;
    std::vector<RegisteredFunction> m_registered; // guarded by m_registeredMutex
};
