// Per-text rate limit of network-triggered log lines.
#include "base/LogLimiter.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/RuntimeApi.h"
#include "base/kellog.h"

namespace {

// Limiters with left-out repeats not yet reported. Constant-initialised and trivially destroyed,
// so limiters of any storage may join and leave at any time, also while statics are destroyed.
std::mutex s_listMutex;
CLogLimiter* s_listed = nullptr;   // guarded by s_listMutex
std::atomic<int> s_listedCount{0}; // seq_cst; lets the flush skip the mutex when it is 0

int64_t NowMs()
{
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
}

} // namespace

CLogLimiter::~CLogLimiter()
{
    std::lock_guard<std::mutex> lock(s_listMutex);
    if (!m_listed) {
        return;
    }
    for (CLogLimiter** at = &s_listed; *at != nullptr; at = &(*at)->m_nextListed) {
        if (*at == this) {
            *at = m_nextListed;
            s_listedCount.fetch_sub(1);
            break;
        }
    }
}

bool CLogLimiter::Admit()
{
    return Admit(NowMs());
}

bool CLogLimiter::Admit(int64_t nowMs)
{
    OpenWindowIfEnded(nowMs);
    if (m_inWindow.fetch_add(1) < m_linesPerWindow) {
        return true;
    }
    if (m_suppressed.fetch_add(1) == 0) {
        List();
    }
    return false;
}

void CLogLimiter::InfoF(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    LogF(LOG_CLASS_INFO, 0, format, args);
    va_end(args);
}

void CLogLimiter::WarnF(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    LogF(LOG_CLASS_WARNING, 1, format, args);
    va_end(args);
}

void CLogLimiter::ErrorF(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    LogF(LOG_CLASS_ERROR, 1, format, args);
    va_end(args);
}

void CLogLimiter::LogF(uint32_t classId, uint32_t errorId, const char* format, va_list args)
{
    if (!Admit()) {
        return;
    }
    char text[kLogLimitTextBytes];
    (void)std::vsnprintf(text, sizeof(text) - 1, format, args);
    text[sizeof(text) - 1] = '\0';
    {
        std::lock_guard<std::mutex> lock(m_lastMutex);
        std::memcpy(m_last, text, sizeof(m_last));
    }
    (void)kelLogAdd(classId, errorId, 0, text);
}

void CLogLimiter::FlushEndedWindows()
{
    if (s_listedCount.load() != 0) {
        FlushEndedWindows(NowMs());
    }
}

void CLogLimiter::FlushEndedWindows(int64_t nowMs)
{
    std::lock_guard<std::mutex> lock(s_listMutex);
    for (CLogLimiter** at = &s_listed; *at != nullptr;) {
        CLogLimiter* limiter = *at;
        limiter->OpenWindowIfEnded(nowMs);
        // Repeats counted after this look list it again through Admit (the count starts at 0).
        if (limiter->m_suppressed.load() == 0) {
            *at = limiter->m_nextListed;
            limiter->m_listed = false;
            s_listedCount.fetch_sub(1);
        } else {
            at = &limiter->m_nextListed;
        }
    }
}

void CLogLimiter::OpenWindowIfEnded(int64_t nowMs)
{
    int64_t start = m_windowStart.load();
    if (nowMs - start >= kLogLimitWindowMs && m_windowStart.compare_exchange_strong(start, nowMs)) {
        // The summary is one of the window's lines: the text never takes more than its share.
        const unsigned int left = m_suppressed.exchange(0);
        m_inWindow.store(left != 0 ? 1 : 0);
        if (left != 0) {
            ReportSuppressed(left);
        }
    }
}

void CLogLimiter::ReportSuppressed(unsigned int count)
{
    char text[kLogLimitTextBytes];
    {
        std::lock_guard<std::mutex> lock(m_lastMutex);
        std::memcpy(text, m_last, sizeof(text));
    }
    kelLogAddErrorF(kLogSuppressed, count, text[0] != '\0' ? text : m_text);
}

void CLogLimiter::List()
{
    std::lock_guard<std::mutex> lock(s_listMutex);
    if (!m_listed) {
        m_listed = true;
        m_nextListed = s_listed;
        s_listed = this;
        s_listedCount.fetch_add(1);
    }
}
