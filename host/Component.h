// A component loaded the way the control runtime loads one: dlopen, ComponentEntry, imports,
// exports, then hooks. Main thread only.
#pragma once

#include <cstdint>
#include <string>

#include "component/RuntimeApi.h"

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
    void Hook(uint32_t hook);
    void Unload();

private:
    bool Fail(const char* step, int32_t result);

    void* m_library = nullptr;
    ComponentInitRecord m_record{};
};

// libDrvFins.so in the folder of the running program.
std::string DefaultComponentPath();
