// Rate limit for log texts that peers on the network can trigger: each text is let through a few
// times per second, then its repeats are counted and reported in one line when the text comes
// again in a later second; that line counts as one of the second's lines. Errors of the server's
// own making are logged without it. Any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>

// One second per window; the line that reports the left-out repeats names their text.
constexpr int64_t kLogLimitWindowMs = 1000;
constexpr const char* kLogSuppressed = "%u similar messages suppressed: %s";
// Lines per window for texts a peer can send at line rate, and for errors the loop backs off from.
constexpr unsigned int kLogLimitPeerLines = 5;
constexpr unsigned int kLogLimitBackoffLines = 1;

class CLogLimiter
{
public:
    // text: the message's format, named in the summary line; kept, so a string literal.
    constexpr CLogLimiter(const char* text, unsigned int linesPerWindow)
        : m_text(text), m_linesPerWindow(linesPerWindow)
    {}
    CLogLimiter(const CLogLimiter&) = delete;
    CLogLimiter& operator=(const CLogLimiter&) = delete;

    // True when the caller may log its line now. The first call of a new window logs, at error
    // level, how many lines the previous windows left out (if any) before answering; with one
    // line per window that summary is the window's line.
    bool Admit();
    // The same at a given monotonic time in milliseconds.
    bool Admit(int64_t nowMs);

private:
    const char* m_text;
    unsigned int m_linesPerWindow;
    // Lock-free, any thread (seq_cst): a window opens by a compare-exchange of its start, so only
    // one thread reports the left-out count; a call racing with the opening may count in either
    // window, which only moves one line between them.
    std::atomic<int64_t> m_windowStart{std::numeric_limits<int64_t>::min() / 2};
    std::atomic<unsigned int> m_inWindow{0};
    std::atomic<unsigned int> m_suppressed{0};
};
