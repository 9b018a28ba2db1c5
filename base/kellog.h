// Logging adapter: every message of the component reaches the runtime's logger through these
// functions. Messages are formatted into at most 254 characters and cut at whitespace into entries
// of at most 200 characters. Callable from any thread; nothing here allocates or takes a lock.
#pragma once

#include <cstdint>

#include "base/Export.h"

extern "C" {

// Takes the runtime's first logger; returns what the runtime wrote into its result variable.
DRVFINS_API int32_t kelLogCreate(void);
// Gives the logger handle up (it becomes all bits set again); the logger itself stays open.
DRVFINS_API void kelLogDelete(void);

// Logs an already formatted text. Returns 0 when everything was logged or nothing had to be,
// the first non-zero result of the runtime's LogAdd (the rest is dropped), or 2 when the text
// cannot be cut at whitespace (what precedes the first usable cut is logged, the rest dropped).
DRVFINS_API int32_t kelLogAdd(uint32_t classId, uint32_t errorId, uint32_t infoId,
                              const char* text);

// printf-style front ends; they never report a logging failure and always return 0.
DRVFINS_API int32_t kelLogAddF(uint32_t classId, uint32_t errorId, uint32_t infoId,
                               const char* format, ...) __attribute__((format(printf, 4, 5)));
DRVFINS_API int32_t kelLogAddInfoF(const char* format, ...) __attribute__((format(printf, 1, 2)));
DRVFINS_API int32_t kelLogAddWarnF(const char* format, ...) __attribute__((format(printf, 1, 2)));
DRVFINS_API int32_t kelLogAddErrorF(const char* format, ...) __attribute__((format(printf, 1, 2)));
DRVFINS_API int32_t kelLogAddDebugF(const char* format, ...) __attribute__((format(printf, 1, 2)));
DRVFINS_API int32_t kelLogAddPrintfF(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // extern "C"
