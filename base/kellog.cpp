// Logging adapter: bounded formatting, cutting into entries at whitespace, one LogAdd per entry.
#include "base/kellog.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/CmpImports.h"

namespace {

constexpr int kFormatBufSize = 256;     // holds 254 characters and the NUL
constexpr int kFormatLimit = 255;       // vsnprintf size: at most 254 characters
constexpr int kEntryChars = 200;        // characters per logger entry
constexpr int kMinCutPos = 9;           // a cut before this position is refused (result 2)
constexpr int32_t kResultCannotCut = 2; // text without usable whitespace

// Written only by kelLogCreate/kelLogDelete (hooks 4 and 12, no server thread running); read by
// every thread that logs. Relaxed is enough: the hooks and thread starts order the accesses.
std::atomic<RTS_HANDLE> s_log{RTS_INVALID_HANDLE};

bool IsCutSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n';
}

// Hands one entry to the runtime. LogAdd formats its text printf-style, so every '%' is doubled:
// formatted with no arguments the text yields exactly the entry, and the runtime never reads an
// argument that was not passed.
int32_t LogEntry(PF_LOGADD logAdd, uint32_t classId, uint32_t errorId, uint32_t infoId,
                 const char* entry, int len)
{
    char escaped[2 * kEntryChars + 1];
    int out = 0;
    for (int i = 0; i < len; ++i) {
        escaped[out++] = entry[i];
        if (entry[i] == '%') {
            escaped[out++] = '%';
        }
    }
    escaped[out] = '\0';
    return logAdd(s_log.load(std::memory_order_relaxed), CMPID_DrvFins, classId, errorId, infoId,
                  escaped);
}

// The format attribute lets the compiler check the callers' formats and accept the va_list here.
__attribute__((format(printf, 4, 0))) int32_t
FormatAndLog(uint32_t classId, uint32_t errorId, uint32_t infoId, const char* format, va_list args)
{
    if (format == nullptr) {
        return 0;
    }
    char text[kFormatBufSize];
    (void)vsnprintf(text, kFormatLimit, format, args); // longer output is cut at 254 characters
    text[kFormatBufSize - 1] = '\0';
    (void)kelLogAdd(classId, errorId, infoId, text); // logging never fails towards the caller
    return 0;
}

} // namespace

extern "C" {

int32_t kelLogCreate(void)
{
    PF_LOGGETFIRSTLOGGER getFirstLogger = pfLogGetFirstLogger;
    if (getFirstLogger == nullptr) {
        // Nothing to ask for a logger: behave as with a null logger rather than call through an
        // empty slot.
        s_log.store(0, std::memory_order_relaxed);
        return -1;
    }
    RTS_RESULT result = 0;
    s_log.store(getFirstLogger(&result), std::memory_order_relaxed);
    return result;
}

void kelLogDelete(void)
{
    s_log.store(RTS_INVALID_HANDLE, std::memory_order_relaxed);
}

int32_t kelLogAdd(uint32_t classId, uint32_t errorId, uint32_t infoId, const char* text)
{
    PF_LOGADD logAdd = pfLogAdd; // read once: every entry of one text goes the same way
    if (s_log.load(std::memory_order_relaxed) == 0 || text == nullptr) {
        return 0;
    }
    if (logAdd == nullptr) {
        return 0; // a logger but no LogAdd (an optional import): the message is dropped
    }
    char entry[kEntryChars + 1];
    std::memset(entry, 0, sizeof(entry));
    int used = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        entry[used++] = *p;
        if (used < kEntryChars) {
            continue;
        }
        int cut = kEntryChars - 1; // position of the entry's last character
        if (!IsCutSpace(entry[cut])) {
            cut = kEntryChars - 2;
            while (cut >= 0 && !IsCutSpace(entry[cut])) {
                --cut;
            }
            if (cut < kMinCutPos) {
                (void)LogEntry(logAdd, classId, errorId, infoId, entry, cut + 1);
                return kResultCannotCut;
            }
        }
        int32_t result = LogEntry(logAdd, classId, errorId, infoId, entry, cut + 1);
        if (result != 0) {
            return result;
        }
        used = kEntryChars - (cut + 1); // what followed the cut starts the next entry
        std::memmove(entry, entry + cut + 1, used);
    }
    return used > 0 ? LogEntry(logAdd, classId, errorId, infoId, entry, used) : 0;
}

int32_t kelLogAddF(uint32_t classId, uint32_t errorId, uint32_t infoId, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    FormatAndLog(classId, errorId, infoId, format, args);
    va_end(args);
    return 0;
}

#define DRVFINS_LEVEL_FUNCTION(name, classId, errorId)                                             \
    int32_t name(const char* format, ...)                                                          \
    {                                                                                              \
        va_list args;                                                                              \
        va_start(args, format);                                                                    \
        FormatAndLog(classId, errorId, 0, format, args);                                           \
        va_end(args);                                                                              \
        return 0;                                                                                  \
    }

DRVFINS_LEVEL_FUNCTION(kelLogAddInfoF, LOG_CLASS_INFO, 0)
DRVFINS_LEVEL_FUNCTION(kelLogAddWarnF, LOG_CLASS_WARNING, 1)
DRVFINS_LEVEL_FUNCTION(kelLogAddErrorF, LOG_CLASS_ERROR, 1)
DRVFINS_LEVEL_FUNCTION(kelLogAddDebugF, LOG_CLASS_DEBUG, 1)
DRVFINS_LEVEL_FUNCTION(kelLogAddPrintfF, LOG_CLASS_PRINT, 1)

#undef DRVFINS_LEVEL_FUNCTION

} // extern "C"
