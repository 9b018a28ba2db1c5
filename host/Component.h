// A component loaded the way the control runtime loads one: dlopen, ComponentEntry, imports,
// exports, then hooks. Main thread only.
#pragma once

#include <cstdint>
#include <string>

#include "base/RuntimeApi.h"

class RuntimeServices;

class LoadedComponent
{
public:
    LoadedComponent() = default;
    ~LoadedComponent();
    LoadedComponent(const LoadedComponent&) = delete;
    LoadedComponent& operator=(const LoadedComponent&) = delete;

    // Loads the library and runs its entry, import and export. False after a message naming the
    // step that failed (the library is then unloaded again).
    bool Load(const std::string& path, RuntimeServices& services);
    // Loads the library and runs only its entry, which reports the component's id and version
    // (CmpId, Version); nothing is imported and no hook runs. False after a message.
    bool Identify(const std::string& path, RuntimeServices& services);
    uint32_t CmpId() const { return m_record.CmpId; }
    uint32_t Version() const;
    void Hook(uint32_t hook);
    void Unload();

private:
    // dlopen and ComponentEntry; false after a message (the library is then unloaded again).
    bool Enter(const std::string& path, RuntimeServices& services);
    bool Fail(const char* step, int32_t result);

    void* m_library = nullptr;
    ComponentInitRecord m_record{};
};

// libDrvFins.so in the folder of the running program, else in ../lib from there (an installed
// tree), else the one beside the program (for the message that it is missing).
std::string DefaultComponentPath();
