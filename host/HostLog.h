// Standard error of the simulated runtime: one line per logger entry or host message, with the
// time, the level and the source (a component id or "host"). Callable from any thread.
#pragma once

#include <cstdarg>
#include <cstdint>

// How much of the component's log is printed, each level including the ones before it.
enum class HostLogLevel
{
    Error,
    Warning,
    Info, // and print entries
    Debug
};

// Level name of a logger class id: info, warning, error, debug, print.
const char* HostLogLevelName(uint32_t classId);

// Sets the level (main thread, before the component is loaded); whether an entry of this logger
// class is printed (any thread).
void HostSetComponentLogLevel(HostLogLevel level);
bool HostComponentLogWanted(uint32_t classId);

// Writes one line: "<time> <level> [<source>] <text>".
void HostLogLine(const char* level, const char* source, const char* text);

// Messages of the host itself, printf-style.
void HostInfo(const char* format, ...) __attribute__((format(printf, 1, 2)));
void HostError(const char* format, ...) __attribute__((format(printf, 1, 2)));
