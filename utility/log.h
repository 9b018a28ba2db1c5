// Console logger of the utility library: one coloured line per message on standard output, with
// a process-wide level threshold. Any thread may log; one mutex keeps lines whole. Independent of
// the runtime logging adapter (base/kellog.h).
#pragma once

#include "base/Export.h"

// Named levels; any other value prints as "UNKNOWN". Filtering compares the numbers, so the
// order of severity is TRACE < DEBUG < INFO < WARNING < ERROR < CRITICAL < NOTICE < COMM.
constexpr int UTILS_LOG_TRACE = 0;
constexpr int UTILS_LOG_DEBUG = 1;
constexpr int UTILS_LOG_INFO = 2;
constexpr int UTILS_LOG_WARNING = 4;
constexpr int UTILS_LOG_ERROR = 8;
constexpr int UTILS_LOG_CRITICAL = 16;
constexpr int UTILS_LOG_NOTICE = 32;
constexpr int UTILS_LOG_COMM = 256;

// The level's name, a constant string; stores its colour index in *colourIndex (0, red, for
// WARNING and ERROR; 1, yellow, for every other level).
DRVFINS_API const char* GetLogLevelStr(int level, int* colourIndex);

// Messages with a level below the threshold (initially 0) are dropped before formatting.
DRVFINS_API void SetLogLevel(int level);

// Long form: "<time> <colour>[libvor,<LEVEL>,<file>,<function>,<line>,<tid><white>]:<message>".
// The file shows its part after the last '/', or the whole argument when it has none.
DRVFINS_API void utils_log_message(int level, const char* file, const char* function, int line,
                                   const char* format, ...) __attribute__((format(printf, 5, 6)));

// Short form: "<time> <green>[libvor,<LEVEL>]<white> ,0x<pthread id>:<message>".
DRVFINS_API void utils_log_message(int level, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
