// Console logger: formats before locking, then prints one whole line under the output lock.
// Output goes through stdio's own buffering; nothing is flushed or checked.
#include "utility/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "utility/comm.h"

namespace {

constexpr int kMessageBufferSize = 8192;
constexpr const char* kModuleTag = "libvor";

// Colour indexes into kColours.
constexpr int kColourRed = 0;
constexpr int kColourYellow = 1;
constexpr int kColourWhite = 2;
constexpr int kColourGreen = 3;
constexpr const char* kColours[] = {"\x1b[31m", "\x1b[33m", "\x1b[37m", "\x1b[32m"};

constexpr const char* kLongLine = "%s %s[%s,%s,%s,%s,%d,%u%s]:%s\n";
constexpr const char* kShortLine = "%s %s[%s,%s]%s ,0x%x:%s\n";

// Written by SetLogLevel from any thread and read by every logging thread without the lock;
// relaxed order is enough, as a changed threshold only has to reach later messages.
std::atomic<int> s_threshold{0};
// Serialises reading the thread id, the timestamp and printing, so lines never interleave.
std::mutex s_outputMutex;

bool Filtered(int level)
{
    return level < s_threshold.load(std::memory_order_relaxed);
}

// Formats into the caller's zero-filled buffer; longer messages are cut to 8191 characters.
__attribute__((format(printf, 2, 0))) void FormatMessage(char (&buf)[kMessageBufferSize],
                                                         const char* format, va_list args)
{
    std::vsnprintf(buf, sizeof buf, format, args);
    buf[sizeof buf - 1] = '\0';
}

const char* BaseName(const char* file)
{
    if (file == nullptr) {
        return "";
    }
    const char* slash = std::strrchr(file, '/');
    return slash != nullptr ? slash + 1 : file;
}

// The message is formatted before the lock is taken; the lock covers the thread id, the
// timestamp and the print, so lines of different threads never interleave.
__attribute__((format(printf, 5, 0))) void PrintLong(int level, const char* file,
                                                     const char* function, int line,
                                                     const char* format, va_list args)
{
    char message[kMessageBufferSize] = {0};
    FormatMessage(message, format, args);
    int colour = kColourYellow;
    const char* levelName = GetLogLevelStr(level, &colour);

    std::lock_guard<std::mutex> lock(s_outputMutex);
    auto tid = static_cast<uint32_t>(syscall(SYS_gettid));
    std::string now = CComm::GetCurrentTimeMs();
    std::printf(kLongLine, now.c_str(), kColours[colour], kModuleTag, levelName, BaseName(file),
                function != nullptr ? function : "", line, tid, kColours[kColourWhite], message);
}

__attribute__((format(printf, 2, 0))) void PrintShort(int level, const char* format, va_list args)
{
    char message[kMessageBufferSize] = {0};
    FormatMessage(message, format, args);
    int unusedColour = 0;
    const char* levelName = GetLogLevelStr(level, &unusedColour);

    std::lock_guard<std::mutex> lock(s_outputMutex);
    auto thread = static_cast<uint32_t>(pthread_self()); // the handle's low 32 bits
    std::string now = CComm::GetCurrentTimeMs();
    std::printf(kShortLine, now.c_str(), kColours[kColourGreen], kModuleTag, levelName,
                kColours[kColourWhite], thread, message);
}

} // namespace

const char* GetLogLevelStr(int level, int* colourIndex)
{
    *colourIndex = kColourYellow;
    switch (level) {
    case UTILS_LOG_TRACE:
        return "TRACE";
    case UTILS_LOG_DEBUG:
        return "DEBUG";
    case UTILS_LOG_INFO:
        return "INFO";
    case UTILS_LOG_WARNING:
        *colourIndex = kColourRed;
        return "WARNING";
    case UTILS_LOG_ERROR:
        *colourIndex = kColourRed;
        return "ERROR";
    case UTILS_LOG_CRITICAL:
        return "CRITICAL";
    case UTILS_LOG_NOTICE:
        return "NOTICE";
    case UTILS_LOG_COMM:
        return "COMM";
    default:
        return "UNKNOWN";
    }
}

void SetLogLevel(int level)
{
    s_threshold.store(level, std::memory_order_relaxed);
}

void utils_log_message(int level, const char* file, const char* function, int line,
                       const char* format, ...)
{
    if (Filtered(level)) {
        return;
    }
    va_list args;
    va_start(args, format);
    PrintLong(level, file, function, line, format, args);
    va_end(args);
}

void utils_log_message(int level, const char* format, ...)
{
    if (Filtered(level)) {
        return;
    }
    va_list args;
    va_start(args, format);
    PrintShort(level, format, args);
    va_end(args);
}
