// Line output of the simulated runtime on standard error.
#include "host/HostLog.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "base/RuntimeApi.h"

namespace {

constexpr size_t kLineBytes = 1024;
constexpr char kHostSource[] = "host";

// Lines from the component's threads and the host's are written whole, one after another.
std::mutex s_lineMutex;

// Set by the main thread before the component runs; read by the component's threads.
std::atomic<HostLogLevel> s_componentLevel{HostLogLevel::Debug};

HostLogLevel LevelOfClass(uint32_t classId)
{
    switch (classId) {
    case LOG_CLASS_ERROR:
        return HostLogLevel::Error;
    case LOG_CLASS_WARNING:
        return HostLogLevel::Warning;
    case LOG_CLASS_DEBUG:
        return HostLogLevel::Debug;
    default:
        return HostLogLevel::Info;
    }
}

void FormatTime(char* out, size_t size)
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char seconds[32];
    strftime(seconds, sizeof(seconds), "%Y-%m-%d %H:%M:%S", &local);
    snprintf(out, size, "%s.%03ld", seconds, now.tv_nsec / 1000000L);
}

__attribute__((format(printf, 2, 0))) void HostVLog(const char* level, const char* format,
                                                    va_list args)
{
    char text[kLineBytes];
    vsnprintf(text, sizeof(text), format, args);
    HostLogLine(level, kHostSource, text);
}

} // namespace

const char* HostLogLevelName(uint32_t classId)
{
    switch (classId) {
    case LOG_CLASS_INFO:
        return "info";
    case LOG_CLASS_WARNING:
        return "warning";
    case LOG_CLASS_ERROR:
        return "error";
    case LOG_CLASS_DEBUG:
        return "debug";
    case LOG_CLASS_PRINT:
        return "print";
    default:
        return "class?";
    }
}

void HostSetComponentLogLevel(HostLogLevel level)
{
    s_componentLevel.store(level, std::memory_order_relaxed);
}

bool HostComponentLogWanted(uint32_t classId)
{
    return LevelOfClass(classId) <= s_componentLevel.load(std::memory_order_relaxed);
}

void HostLogLine(const char* level, const char* source, const char* text)
{
    char stamp[64];
    FormatTime(stamp, sizeof(stamp));
    std::lock_guard<std::mutex> lock(s_lineMutex);
    fprintf(stderr, "%s %-7s [%s] %s\n", stamp, level, source, text);
}

void HostInfo(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    HostVLog("info", format, args);
    va_end(args);
}

void HostError(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    HostVLog("error", format, args);
    va_end(args);
}
