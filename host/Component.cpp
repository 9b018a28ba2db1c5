// Loading and driving a component library.
#include "host/Component.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "host/HostLog.h"
#include "host/RuntimeServices.h"

namespace {

constexpr char kEntryName[] = "ComponentEntry";
constexpr char kLibraryName[] = "libDrvFins.so";
// Installed, the programs are in bin/ and the library in lib/ beside it.
constexpr char kInstalledLibraryDir[] = "../lib/";

} // namespace

LoadedComponent::~LoadedComponent()
{
    Unload();
}

bool LoadedComponent::Load(const std::string& path, RuntimeServices& services)
{
    if (!Enter(path, services)) {
        return false;
    }
    if (m_record.pfImportFunctions == nullptr || m_record.pfHookFunction == nullptr) {
        return Fail("ComponentEntry (entry points missing)", -1);
    }
    if (int32_t r = m_record.pfImportFunctions(); r != 0) {
        return Fail("ImportFunctions (a runtime function the component needs is missing)", r);
    }
    if (m_record.pfExportFunctions != nullptr) {
        if (int32_t r = m_record.pfExportFunctions(); r != 0) {
            return Fail("ExportFunctions", r);
        }
    }
    HostInfo("component %s loaded: id 0x%08X, version 0x%08X", path.c_str(), m_record.CmpId,
             Version());
    return true;
}

bool LoadedComponent::Identify(const std::string& path, RuntimeServices& services)
{
    return Enter(path, services);
}

uint32_t LoadedComponent::Version() const
{
    return m_record.pfGetVersion != nullptr ? m_record.pfGetVersion() : 0u;
}

bool LoadedComponent::Enter(const std::string& path, RuntimeServices& services)
{
    m_library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_library == nullptr) {
        HostError("cannot load component %s: %s", path.c_str(), dlerror());
        return false;
    }
    auto entry = reinterpret_cast<PF_COMPONENT_ENTRY>(dlsym(m_library, kEntryName));
    if (entry == nullptr) {
        HostError("component %s has no %s", path.c_str(), kEntryName);
        Unload();
        return false;
    }
    m_record = ComponentInitRecord{};
    services.FillInitRecord(m_record);
    if (int32_t r = entry(&m_record); r != 0) {
        return Fail(kEntryName, r);
    }
    return true;
}

bool LoadedComponent::Fail(const char* step, int32_t result)
{
    HostError("component start failed in %s: result %d", step, result);
    Unload();
    return false;
}

void LoadedComponent::Hook(uint32_t hook)
{
    if (m_library != nullptr && m_record.pfHookFunction != nullptr) {
        (void)m_record.pfHookFunction(hook, 0, 0); // the component always answers 0
    }
}

void LoadedComponent::Unload()
{
    if (m_library != nullptr) {
        dlclose(m_library);
        m_library = nullptr;
    }
    m_record = ComponentInitRecord{};
}

std::string DefaultComponentPath()
{
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (n <= 0) {
        return kLibraryName;
    }
    std::string path(exe, static_cast<size_t>(n));
    std::string folder = path.substr(0, path.rfind('/') + 1);
    std::string beside = folder + kLibraryName;
    std::string installed = folder + kInstalledLibraryDir + kLibraryName;
    char resolved[PATH_MAX];
    if (access(beside.c_str(), F_OK) != 0 && realpath(installed.c_str(), resolved) != nullptr) {
        return resolved;
    }
    return beside;
}
