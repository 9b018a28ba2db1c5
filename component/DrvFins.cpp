// The component's face towards the runtime: ComponentEntry, the six entry points it reports, the
// import of runtime services into their slots, the registration of the two function block bodies
// and hooks 4 and 12. Entered only on the runtime's threads, one call at a time; owns the seven
// manager function slots and the two API tables.
#include "component/DrvFins.h"

#include <exception>

#include "appmem/AppAreaMem.h"
#include "base/CmpImports.h"
#include "base/kellog.h"
#include "component/DrvEvent.h"
#include "component/FinsServer.h"
#include "fins/FinsProtocol.h"
#include "utility/Singleton.h"

namespace {

// ExportFunctions and ImportFunctions answer this when the runtime gave no manager function.
constexpr RTS_RESULT kResultNoManagerFunction = 3;
constexpr RTS_RESULT kResultOk = 0;
constexpr RTS_RESULT kResultNullRecord = -1;
// CMRegisterAPI's third argument: the table holds IEC external functions, or interface functions.
constexpr int kApiExternal = 1;
constexpr int kApiInterface = 0;

// Signatures and versions under which the PLC library declares the two function blocks.
constexpr uint32_t kFbFinsUdpSignature = 0x797CF139;
constexpr uint32_t kFbFinsTcpSignature = 0x086C898D;
constexpr uint32_t kFbVersion = 0x01000001;
// The two bytes of the FB_FINSTCP instance its body touches.
constexpr size_t kFbTcpEnableByte = 8;
constexpr size_t kFbTcpHeldByte = 44;

constexpr char kEntryFailedFmt[] = "HookFunction(%u) failed: %s";

// Manager functions from the record given to ComponentEntry. Written by ComponentEntry and read by
// the entry points, all on the runtime's thread before any server thread exists.
PF_CMREGISTERAPI s_pfCMRegisterAPI = nullptr;
RTS_VOID_FCT s_pfCMGetAPI = nullptr;
RTS_VOID_FCT s_pfCMCallHook = nullptr;
RTS_VOID_FCT s_pfCMRegisterClass = nullptr;
RTS_VOID_FCT s_pfCMCreateInstance = nullptr;
RTS_VOID_FCT s_pfCMRegisterAPI2 = nullptr;
PF_CMGETAPI2 s_pfCMGetAPI2 = nullptr;

// void (*)(void) is the generic function pointer type of the tables; the runtime calls each entry
// with its own signature.
const ApiTableEntry s_ExternalsTable[] = {
    {reinterpret_cast<RTS_VOID_FCT>(&fb_finsudp__main), "fb_finsudp__main", kFbFinsUdpSignature,
     kFbVersion},
    {reinterpret_cast<RTS_VOID_FCT>(&fb_finstcp__main), "fb_finstcp__main", kFbFinsTcpSignature,
     kFbVersion},
    {nullptr, "", 0, 0},
};

// The component offers no interface functions of its own: only the terminating entry.
const ApiTableEntry s_ItfTable[] = {
    {nullptr, "", 0, 0},
};

struct ImportSlot
{
    const char* name;
    RTS_VOID_FCT* slot; // the runtime stores the function here, whatever its real type
    int option;
};

#define DRVFINS_IMPORT_SLOT_ENTRY(name, type, option)                                              \
    {#name, reinterpret_cast<RTS_VOID_FCT*>(&pf##name), option},
const ImportSlot kImportSlots[] = {DRVFINS_IMPORT_LIST(DRVFINS_IMPORT_SLOT_ENTRY)};
#undef DRVFINS_IMPORT_SLOT_ENTRY
static_assert(sizeof(kImportSlots) / sizeof(kImportSlots[0]) == DRVFINS_IMPORT_COUNT,
              "every runtime function the component needs is fetched");

RTS_RESULT ExportFunctions()
{
    if (s_pfCMRegisterAPI == nullptr) {
        return kResultNoManagerFunction;
    }
    RTS_RESULT result = s_pfCMRegisterAPI(s_ExternalsTable, 0, kApiExternal, CMPID_DrvFins);
    if (result != kResultOk) {
        return result;
    }
    return s_pfCMRegisterAPI(s_ItfTable, 0, kApiInterface, CMPID_DrvFins);
}

// Optional imports (LogAdd, CMUtlMemCpy) may be missing; the first required one that the runtime
// cannot supply ends the import with the runtime's result. Without CMGetAPI2 nothing can be
// fetched, which is answered like a missing CMRegisterAPI.
RTS_RESULT ImportFunctions()
{
    if (s_pfCMGetAPI2 == nullptr) {
        return kResultNoManagerFunction;
    }
    for (const ImportSlot& imp : kImportSlots) {
        RTS_RESULT result = s_pfCMGetAPI2(imp.name, imp.slot, imp.option, 0, 0);
        if (result != kResultOk && imp.option != CM_IMPORT_OPTIONAL) {
            return result;
        }
    }
    return kResultOk;
}

uint32_t CmpGetVersion()
{
    return CMP_VERSION_DrvFins;
}

RTS_RESULT CreateInstance(uint32_t, RTS_RESULT*)
{
    return kResultOk;
}

RTS_RESULT DeleteInstance(RTS_HANDLE)
{
    return kResultOk;
}

void StartupHook()
{
    (void)kelLogCreate(); // a null logger only silences the component
    utility::Singleton<CDrvIoEvent>::instance()->RegisterEventCallback();
}

// The server goes before the protocol: its reader thread may be inside the protocol until the
// loop has been joined, so the protocol object must outlive the server.
void ShutdownHook()
{
    CDrvIoEvent* events = utility::Singleton<CDrvIoEvent>::instance();
    if (events != nullptr) {
        events->UnregisterEventCallback();
    }
    utility::Singleton<CFinsServer>::destroyInstance();
    utility::Singleton<CFinsProtocol>::destroyInstance();
    utility::Singleton<CAppAreaMemmory>::destroyInstance();
    utility::Singleton<CDrvIoEvent>::destroyInstance();
    kelLogDelete();
}

// Nothing may unwind into the runtime: a failure inside a hook is logged and the hook still
// answers 0, as it does for every hook.
RTS_RESULT HookFunction(uint32_t hook, uintptr_t, uintptr_t)
{
    try {
        if (hook == CH_INIT_HOOK) {
            StartupHook();
        } else if (hook == CH_EXIT_HOOK) {
            ShutdownHook();
        }
    } catch (const std::exception& e) {
        kelLogAddErrorF(kEntryFailedFmt, hook, e.what());
    } catch (...) {
        kelLogAddErrorF(kEntryFailedFmt, hook, "unknown exception");
    }
    return kResultOk;
}

// The instance pointer is the first field of the parameter record the runtime passes.
unsigned char* FbInstance(void* params)
{
    if (params == nullptr) {
        return nullptr;
    }
    return *static_cast<unsigned char**>(params);
}

} // namespace

extern "C" {

int32_t ComponentEntry(ComponentInitRecord* record)
{
    if (record == nullptr) {
        return kResultNullRecord;
    }
    record->CmpId = CMPID_DrvFins;
    record->pfExportFunctions = &ExportFunctions;
    record->pfImportFunctions = &ImportFunctions;
    record->pfGetVersion = &CmpGetVersion;
    record->pfCreateInstance = &CreateInstance;
    record->pfDeleteInstance = &DeleteInstance;
    record->pfHookFunction = &HookFunction;
    s_pfCMRegisterAPI = record->pfCMRegisterAPI;
    s_pfCMGetAPI = record->pfCMGetAPI;
    s_pfCMCallHook = record->pfCMCallHook;
    s_pfCMRegisterClass = record->pfCMRegisterClass;
    s_pfCMCreateInstance = record->pfCMCreateInstance;
    s_pfCMRegisterAPI2 = record->pfCMRegisterAPI2;
    s_pfCMGetAPI2 = record->pfCMGetAPI2;
    return kResultOk;
}

// While the enable byte is zero, the held byte is kept at zero; written only when it must change.
void fb_finstcp__main(void* params)
{
    unsigned char* instance = FbInstance(params);
    if (instance == nullptr) {
        return;
    }
    if (instance[kFbTcpEnableByte] == 0 && instance[kFbTcpHeldByte] != 0) {
        instance[kFbTcpHeldByte] = 0;
    }
}

void fb_finsudp__main(void*) {}

} // extern "C"
