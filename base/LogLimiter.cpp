// Per-text rate limit of network-triggered log lines.
#include "base/LogLimiter.h"

#include <chrono>

#include "base/kellog.h"

bool CLogLimiter::Admit()
{
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return Admit(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

bool CLogLimiter::Admit(int64_t nowMs)
{
    int64_t start = m_windowStart.load();
    if (nowMs - start >= kLogLimitWindowMs && m_windowStart.compare_exchange_strong(start, nowMs)) {
        // The summary is one of the window's lines: the text never takes more than its share.
        const unsigned int left = m_suppressed.exchange(0);
        m_inWindow.store(left != 0 ? 1 : 0);
        if (left != 0) {
            kelLogAddErrorF(kLogSuppressed, left, m_text);
        }
    }
    if (m_inWindow.fetch_add(1) < m_linesPerWindow) {
        return true;
    }
    m_suppressed.fetch_add(1);
    return false;
}
