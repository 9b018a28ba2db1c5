// The runtime functions the component imports by name, in import order, each into a slot named
// pf followed by the function's name. Only nine are ever called (typed below); the others are
// fetched all the same, so a runtime lacking one of the required ones fails the import.
#pragma once

#include "base/RuntimeApi.h"

// X(name, slot type, import option), in the order ImportFunctions fetches them.
#define DRVFINS_IMPORT_LIST(X)                                                                     \
    X(LogAdd, PF_LOGADD, CM_IMPORT_OPTIONAL)                                                       \
    X(CMUtlMemCpy, RTS_VOID_FCT, CM_IMPORT_OPTIONAL)                                               \
    X(LogGetEntry, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                               \
    X(LogGetNextEntry, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                           \
    X(LogGetFirstEntry, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                          \
    X(LogGetNextLogger, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                          \
    X(LogFormatCsvMessage, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                       \
    X(LogFormatTimestamp, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                        \
    X(LogConvertTimestamp, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                       \
    X(LogGetFirstLogger, PF_LOGGETFIRSTLOGGER, CM_IMPORT_REQUIRED)                                 \
    X(LogGetName, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                                \
    X(LogGetEntryByQueueIndex, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                   \
    X(LogGetEntryByIndex, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                        \
    X(LogUnregisterBackend, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                      \
    X(LogDumpEntries, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                            \
    X(LogDumpAll, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                                \
    X(LogAdd3Arg, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                                \
    X(LogAdd2Arg, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                                \
    X(LogAddArg, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                                 \
    X(LogAdd3, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                                   \
    X(LogAdd2, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                                   \
    X(LogGetFilter2, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                             \
    X(LogGetFilter, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                              \
    X(LogSetFilter, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                              \
    X(LogEnable, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                                 \
    X(LogGetOptions, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                             \
    X(LogDelete, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                                 \
    X(LogClose, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                                  \
    X(LogOpen, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                                   \
    X(AppGetAreaAddress, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                         \
    X(AppGetSegmentAddress, PF_APPGETSEGMENTADDRESS, CM_IMPORT_REQUIRED)                           \
    X(AppGetSegment, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                             \
    X(AppGetSegmentSize, PF_APPGETSEGMENTSIZE, CM_IMPORT_REQUIRED)                                 \
    X(EventUnregisterCallbackFunction, PF_EVENTUNREGISTERCALLBACKFUNCTION, CM_IMPORT_REQUIRED)     \
    X(EventRegisterCallbackFunction, PF_EVENTREGISTERCALLBACKFUNCTION, CM_IMPORT_REQUIRED)         \
    X(EventPost, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                                 \
    X(EventClose, PF_EVENTCLOSE, CM_IMPORT_REQUIRED)                                               \
    X(EventOpen, PF_EVENTOPEN, CM_IMPORT_REQUIRED)                                                 \
    X(IecVarAccGetUABuiltinType, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                 \
    X(IecVarAccGetReferenceBaseType, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                             \
    X(IecVarAccExecuteCall, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                      \
    X(IecVarAccGetContentFeatureFlags, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                           \
    X(IecVarAccGetRange, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                         \
    X(IecVarAccGetTypeAttributeByIndex, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                          \
    X(IecVarAccGetNumOfTypeAttributes, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                           \
    X(IecVarAccGetEnumMemberAttributeList, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                       \
    X(IecVarAccGetNativeSize, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                    \
    X(IecVarAccGetNamespaceNodeFlags, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                            \
    X(IecVarAccGetClientOffset, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                  \
    X(IecVarAccIsDerivedType, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                    \
    X(IecVarAccGetDerivedBaseType, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                               \
    X(IecVarAccGetEnumValues, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                    \
    X(IecVarAccGetAttributeByIndex, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                              \
    X(IecVarAccGetNumOfAttributes, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                               \
    X(IecVarAccGetNodeFlags, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                     \
    X(IecVarAccGetPOUClass, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                      \
    X(IecVarAccGetTypeClassFromType, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                             \
    X(IecVarAccGetTypeName, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                      \
    X(IecVarAccGetTypeNodeByIndex, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                               \
    X(IecVarAccGetNumOfTypes, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                    \
    X(IecVarAccGetAddressInfo, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                   \
    X(IecVarAccGetTypeDescVarLenArray, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                           \
    X(IecVarAccGetTypeDesc, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                      \
    X(IecVarAccGetTypeNode3, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                     \
    X(IecVarAccGetTypeNode2, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                     \
    X(IecVarAccGetTypeNode, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                      \
    X(IecVarAccSwap3, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                            \
    X(IecVarAccSwap2, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                            \
    X(IecVarAccSwap, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                             \
    X(IecVarAccSetValue3, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                        \
    X(IecVarAccSetValue, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                         \
    X(IecVarAccGetValue3, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                        \
    X(IecVarAccGetValue, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                         \
    X(IecVarAccGetTypeClass3, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                    \
    X(IecVarAccGetTypeClass, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                     \
    X(IecVarAccGetSwapSize, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                      \
    X(IecVarAccGetSize3, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                         \
    X(IecVarAccGetSize2, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                         \
    X(IecVarAccGetSize, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                          \
    X(IecVarAccGetNodeType, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                      \
    X(IecVarAccGetAddress3, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                      \
    X(IecVarAccGetAddress2, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                      \
    X(IecVarAccGetAddress, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                       \
    X(IecVarAccGetAccessRights2, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                 \
    X(IecVarAccGetAccessRights, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                  \
    X(IecVarAccGetNodeName4, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                     \
    X(IecVarAccGetNodeName3, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                     \
    X(IecVarAccGetNodeName, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                      \
    X(IecVarAccGetNodeFullPath4, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                 \
    X(IecVarAccGetNodeFullPath3, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                 \
    X(IecVarAccGetNodeFullPath, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                  \
    X(IecVarAccGetNode4, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                         \
    X(IecVarAccGetNode3, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                         \
    X(IecVarAccGetNode, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                          \
    X(IecVarAccBrowseGetChildByIndex2, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                           \
    X(IecVarAccBrowseGetChildByIndex, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                            \
    X(IecVarAccBrowseGetNext3, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                   \
    X(IecVarAccBrowseGetNext2, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                   \
    X(IecVarAccBrowseGetNext, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                    \
    X(IecVarAccBrowseUp3, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                        \
    X(IecVarAccBrowseUp2, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                        \
    X(IecVarAccBrowseUp, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                         \
    X(IecVarAccBrowseDown3, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                      \
    X(IecVarAccBrowseDown2, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                      \
    X(IecVarAccBrowseDown, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                       \
    X(IecVarAccBrowseGetRoot2, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                   \
    X(IecVarAccBrowseGetRoot, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                    \
    X(IecVarAccBrowseRecursive, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                  \
    X(IecVarAccEndVariableConfiguration, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                         \
    X(IecVarAccRemoveVariable3, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                  \
    X(IecVarAccRemoveVariable, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                   \
    X(IecVarAccAppendVariable3, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                  \
    X(IecVarAccAppendVariable, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                   \
    X(IecVarAccBeginVariableConfiguration, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                       \
    X(IecVarAccWriteVar2, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                        \
    X(IecVarAccWriteVar, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                         \
    X(IecVarAccReadVar, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                          \
    X(IecVarAccGetApplicationName, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                               \
    X(IecVarAccGetNextInterface, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                 \
    X(IecVarAccGetFirstInterface, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                \
    X(IecVarAccCopyVarInfo, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                      \
    X(IecVarAccExitVarInfo, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                      \
    X(IecVarAccInitVarInfo2, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                     \
    X(IecVarAccInitVarInfo, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                      \
    X(AppGetFirstApp, PF_APPGETFIRSTAPP, CM_IMPORT_REQUIRED)                                       \
    X(AppGetAreaOffsetByAddress, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                 \
    X(AppGetApplicationByAreaAddress, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                            \
    X(AppReleaseForceValue, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                      \
    X(AppAddForceValue, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                          \
    X(SysMemFreeData, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                            \
    X(SysMemAllocData, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                           \
    X(SysOutPrintf, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                              \
    X(SysTimeRtcHighResGet, RTS_VOID_FCT, CM_IMPORT_REQUIRED)                                      \
    X(SysTimeGetMs, RTS_VOID_FCT, CM_IMPORT_REQUIRED)

#define DRVFINS_DECLARE_IMPORT_SLOT(name, type, option) extern type pf##name;
DRVFINS_IMPORT_LIST(DRVFINS_DECLARE_IMPORT_SLOT)
#undef DRVFINS_DECLARE_IMPORT_SLOT

constexpr int DRVFINS_IMPORT_COUNT = 134;
