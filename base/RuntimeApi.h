// The control runtime's C interface as the component uses it: the record handed to ComponentEntry,
// the API table entry, the event record, the services the component calls and the constants of both
// sides. The simulated runtime (host/) includes this same header.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

typedef int32_t RTS_RESULT; // 0 is success; the component tells only 0 from non-zero
typedef uintptr_t RTS_HANDLE;
typedef void (*RTS_VOID_FCT)(void);

// Component id reported to the runtime and passed with every registration and log entry.
constexpr uint32_t CMPID_DrvFins = 0x17D24502;
// Runtime interface version 3.5.18.0, one byte per part.
constexpr uint32_t CMP_VERSION_DrvFins = 0x03051200;
// Provider of the application events the component subscribes.
constexpr uint32_t CMPID_AppProvider = 2;

constexpr RTS_HANDLE RTS_INVALID_HANDLE = ~static_cast<RTS_HANDLE>(0);

// Lifecycle hooks the component acts on.
constexpr uint32_t CH_INIT_HOOK = 4;
constexpr uint32_t CH_EXIT_HOOK = 12;

// Application events of provider 2.
constexpr uint32_t EVT_ResetPrepare = 0x00010005;
constexpr uint32_t EVT_DownloadPrepare = 0x00010009;
constexpr uint32_t EVT_DownloadDone = 0x0001000A;
constexpr uint32_t EVT_PrepareDelete = 0x0001000C;

// Application segment area codes of AppGetSegmentAddress and AppGetSegmentSize.
constexpr uint32_t APP_SEGMENT_INPUT = 4;
constexpr uint32_t APP_SEGMENT_OUTPUT = 8;
constexpr uint32_t APP_SEGMENT_MEMORY = 16;

// Log classes of LogAdd.
constexpr uint32_t LOG_CLASS_INFO = 1;
constexpr uint32_t LOG_CLASS_WARNING = 2;
constexpr uint32_t LOG_CLASS_ERROR = 4;
constexpr uint32_t LOG_CLASS_DEBUG = 16;
constexpr uint32_t LOG_CLASS_PRINT = 32;

// Import options of CMGetAPI2: 2 marks an optional import, 0 a required one.
constexpr int CM_IMPORT_OPTIONAL = 2;
constexpr int CM_IMPORT_REQUIRED = 0;

// --- Entry points the component hands to the runtime -------------------------------------------
typedef RTS_RESULT (*PF_EXPORTFUNCTIONS)(void);
typedef RTS_RESULT (*PF_IMPORTFUNCTIONS)(void);
typedef uint32_t (*PF_GETVERSION)(void);
typedef RTS_RESULT (*PF_CREATEINSTANCE)(uint32_t classId, RTS_RESULT* pResult);
typedef RTS_RESULT (*PF_DELETEINSTANCE)(RTS_HANDLE hInstance);
typedef RTS_RESULT (*PF_HOOKFUNCTION)(uint32_t hook, uintptr_t param1, uintptr_t param2);

// An entry of a table registered with CMRegisterAPI; a table ends with a null function and "".
struct ApiTableEntry
{
    RTS_VOID_FCT pfFunction;
    const char* pszName;
    uint32_t ulSignature;
    uint32_t ulVersion;
};
// The runtime lays its records out with the target's pointer width (8 bytes on x86-64 and
// aarch64, 4 on armhf): a 24-byte entry on a 64-bit target, 16 on a 32-bit one.
constexpr size_t kRtsPointer = sizeof(RTS_VOID_FCT);
static_assert(sizeof(ApiTableEntry) == 2 * kRtsPointer + 8,
              "ApiTableEntry is exchanged with the runtime");
static_assert(offsetof(ApiTableEntry, pfFunction) == 0);
static_assert(offsetof(ApiTableEntry, pszName) == kRtsPointer);
static_assert(offsetof(ApiTableEntry, ulSignature) == 2 * kRtsPointer);
static_assert(offsetof(ApiTableEntry, ulVersion) == 2 * kRtsPointer + 4);

// --- Component manager functions the runtime hands to the component ----------------------------
typedef RTS_RESULT (*PF_CMREGISTERAPI)(const ApiTableEntry* table, uintptr_t reserved, int external,
                                       uint32_t cmpId);
typedef RTS_RESULT (*PF_CMGETAPI2)(const char* name, RTS_VOID_FCT* slot, int importOption,
                                   uint32_t signature, uint32_t version);

struct ComponentInitRecord
{
    uint32_t CmpId; // on a 64-bit target 4 bytes of alignment follow, which stay untouched
    PF_EXPORTFUNCTIONS pfExportFunctions;
    PF_IMPORTFUNCTIONS pfImportFunctions;
    PF_GETVERSION pfGetVersion;
    PF_CREATEINSTANCE pfCreateInstance;
    PF_DELETEINSTANCE pfDeleteInstance;
    PF_HOOKFUNCTION pfHookFunction;
    PF_CMREGISTERAPI pfCMRegisterAPI;
    RTS_VOID_FCT pfCMGetAPI;
    RTS_VOID_FCT pfCMCallHook;
    RTS_VOID_FCT pfCMRegisterClass;
    RTS_VOID_FCT pfCMCreateInstance;
    RTS_VOID_FCT pfCMRegisterAPI2;
    PF_CMGETAPI2 pfCMGetAPI2;
};
// The id, then one pointer per slot: 112 bytes on a 64-bit target, 56 on a 32-bit one.
static_assert(sizeof(ComponentInitRecord) == 14 * kRtsPointer,
              "ComponentInitRecord is exchanged with the runtime");
static_assert(offsetof(ComponentInitRecord, CmpId) == 0);
static_assert(offsetof(ComponentInitRecord, pfExportFunctions) == 1 * kRtsPointer);
static_assert(offsetof(ComponentInitRecord, pfImportFunctions) == 2 * kRtsPointer);
static_assert(offsetof(ComponentInitRecord, pfGetVersion) == 3 * kRtsPointer);
static_assert(offsetof(ComponentInitRecord, pfCreateInstance) == 4 * kRtsPointer);
static_assert(offsetof(ComponentInitRecord, pfDeleteInstance) == 5 * kRtsPointer);
static_assert(offsetof(ComponentInitRecord, pfHookFunction) == 6 * kRtsPointer);
static_assert(offsetof(ComponentInitRecord, pfCMRegisterAPI) == 7 * kRtsPointer);
static_assert(offsetof(ComponentInitRecord, pfCMGetAPI) == 8 * kRtsPointer);
static_assert(offsetof(ComponentInitRecord, pfCMCallHook) == 9 * kRtsPointer);
static_assert(offsetof(ComponentInitRecord, pfCMRegisterClass) == 10 * kRtsPointer);
static_assert(offsetof(ComponentInitRecord, pfCMCreateInstance) == 11 * kRtsPointer);
static_assert(offsetof(ComponentInitRecord, pfCMRegisterAPI2) == 12 * kRtsPointer);
static_assert(offsetof(ComponentInitRecord, pfCMGetAPI2) == 13 * kRtsPointer);

typedef int32_t (*PF_COMPONENT_ENTRY)(ComponentInitRecord* record);

// --- Event record ------------------------------------------------------------------------------
// The component reads only EventId and CmpIdProvider; the rest belongs to the runtime.
struct EventParam
{
    uint32_t EventId;
    uint32_t CmpIdProvider;
    uint16_t usParamId;
    uint16_t usVersion;
    void* pParameter;
    void* pUserParameter;
};
static_assert(offsetof(EventParam, EventId) == 0);
static_assert(offsetof(EventParam, CmpIdProvider) == 4);

typedef void (*PF_EVENTCALLBACK)(EventParam* param);

// --- Runtime services the component calls, arguments in call order ----------------------------
typedef RTS_HANDLE (*PF_LOGGETFIRSTLOGGER)(RTS_RESULT* pResult);
// The text is a printf format; the component passes nothing after it.
typedef RTS_RESULT (*PF_LOGADD)(RTS_HANDLE hLog, uint32_t cmpId, uint32_t classId, uint32_t errorId,
                                uint32_t infoId, const char* info, ...);
typedef RTS_HANDLE (*PF_EVENTOPEN)(uint32_t eventId, uint32_t cmpIdProvider, RTS_RESULT* pResult);
typedef RTS_RESULT (*PF_EVENTREGISTERCALLBACKFUNCTION)(RTS_HANDLE hEvent,
                                                       PF_EVENTCALLBACK pfCallback,
                                                       int changeParamVersion);
typedef RTS_RESULT (*PF_EVENTUNREGISTERCALLBACKFUNCTION)(RTS_HANDLE hEvent,
                                                         PF_EVENTCALLBACK pfCallback);
typedef RTS_RESULT (*PF_EVENTCLOSE)(RTS_HANDLE hEvent);
typedef void* (*PF_APPGETFIRSTAPP)(RTS_RESULT* pResult);
typedef uint8_t* (*PF_APPGETSEGMENTADDRESS)(void* app, uint32_t areaCode, RTS_RESULT* pResult);
typedef uint32_t (*PF_APPGETSEGMENTSIZE)(void* app, uint32_t areaCode, RTS_RESULT* pResult);

} // extern "C"

// The runtime (or runtime-host) hands these settings to the component through its environment:
// the settings file, the port and the bind address.
constexpr const char* kEnvSettingsFile = "DRVFINS_CONFIG";
constexpr const char* kEnvPort = "DRVFINS_PORT";
constexpr const char* kEnvBind = "DRVFINS_BIND";
