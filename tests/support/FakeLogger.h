// A stand-in for the runtime's logger: installs LogGetFirstLogger and LogAdd into the import slots,
// takes the logger through kelLogCreate, and records every entry LogAdd receives.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "base/RuntimeApi.h"

struct LogRecord
{
    RTS_HANDLE handle;
    uint32_t cmpId;
    uint32_t classId;
    uint32_t errorId;
    uint32_t infoId;
    std::string raw;  // the format text exactly as LogAdd received it
    std::string text; // what a printf-style logger prints for it with no arguments
    bool formatSafe;  // false when raw holds a conversion that would read a missing argument
};

class FakeLogger
{
public:
    // Installs the fake and calls kelLogCreate, which takes `handle` as the logger.
    explicit FakeLogger(RTS_HANDLE handle = 0x5A5A);
    // Gives the logger up (kelLogDelete) and empties both slots.
    ~FakeLogger();
    FakeLogger(const FakeLogger&) = delete;
    FakeLogger& operator=(const FakeLogger&) = delete;

    std::vector<LogRecord> entries() const;
    std::vector<std::string> texts() const;
    // Number of entries whose text equals `text`.
    int count(const std::string& text) const;
    // Number of entries whose text contains `part`.
    int countContaining(const std::string& part) const;
    void clear();
    // Results LogAdd returns, one per call, in order; 0 once they run out.
    void setResults(std::vector<RTS_RESULT> results);

private:
    static RTS_HANDLE GetFirstLogger(RTS_RESULT* result);
    static RTS_RESULT LogAdd(RTS_HANDLE handle, uint32_t cmpId, uint32_t classId, uint32_t errorId,
                             uint32_t infoId, const char* info, ...);

    static inline FakeLogger* s_current = nullptr;
    RTS_HANDLE m_handle;
    mutable std::mutex m_mutex;
    std::vector<LogRecord> m_entries;  // guarded by m_mutex
    std::vector<RTS_RESULT> m_results; // guarded by m_mutex
};
