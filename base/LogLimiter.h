// Rate limit for log texts that peers on the network can trigger: each text is let through a few
// times per second, then its repeats are counted and reported in one line, naming the text as it
// was last logged, when the text comes again in a later second or when the loop's turn flushes
// windows that have ended (FlushEndedWindows); that line counts as one of the second's lines.
// Errors of the server's own making are logged without it. Any thread.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <limits>
#include <mutex>

// One second per window; the line that reports the left-out repeats names their text.
constexpr int64_t kLogLimitWindowMs = 1000;
constexpr const char* kLogSuppressed = "%u similar messages suppressed: %s";
// Lines per window for texts a peer can send at line rate, and for errors the loop backs off from.
constexpr unsigned int kLogLimitPeerLines = 5;
constexpr unsigned int kLogLimitBackoffLines = 1;
// A logged line as the adapter keeps it: at most 254 characters and the NUL.
constexpr int kLogLimitTextBytes = 256;

class CLogLimiter
{
public:
    // text: the message's format, named in the summary line until a line went through the
    // logging functions below; kept, so a string literal.
    CLogLimiter(const char* text, unsigned int linesPerWindow)
        : m_text(text), m_linesPerWindow(linesPerWindow)
    {}
    // Leaves the list of limiters with repeats to report.
    ~CLogLimiter();
    CLogLimiter(const CLogLimiter&) = delete;
    CLogLimiter& operator=(const CLogLimiter&) = delete;

    // True when the caller may log its line now. The first call of a new window logs, at error
    // level, how many lines the previous windows left out (if any) before answering; with one
    // line per window that summary is the window's line.
    bool Admit();
    // The same at a given monotonic time in milliseconds.
    bool Admit(int64_t nowMs);

    // Admit, then format and log the line at the level named, remembering its text for the
    // summary line.
    void InfoF(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void WarnF(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void ErrorF(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Reports the left-out repeats of every limiter whose window has ended, so a flood that simply
    // stops is accounted for too. Cheap when nothing is left out (one atomic load). Any thread;
    // the reader thread calls it once per loop turn.
    static void FlushEndedWindows();
    static void FlushEndedWindows(int64_t nowMs);

private:
    void LogF(uint32_t classId, uint32_t errorId, const char* format, va_list args)
        __attribute__((format(printf, 4, 0)));
    // Opens a new window when the current one has ended, reporting what it left out.
    void OpenWindowIfEnded(int64_t nowMs);
    void ReportSuppressed(unsigned int count);
    // Joins the list FlushEndedWindows walks (once; under the list's mutex).
    void List();

    const char* m_text;
    unsigned int m_linesPerWindow;
    // Lock-free, any thread (seq_cst): a window opens by a compare-exchange of its start, so only
    // one thread reports the left-out count; a call racing with the opening may count in either
    // window, which only moves one line between them.
    std::atomic<int64_t> m_windowStart{std::numeric_limits<int64_t>::min() / 2};
    std::atomic<unsigned int> m_inWindow{0};
    std::atomic<unsigned int> m_suppressed{0};
    // The text of the last line logged through LogF; guarded by m_lastMutex, taken only for a line
    // that is logged (a few a second) and for its summary.
    std::mutex m_lastMutex;
    char m_last[kLogLimitTextBytes] = {};
    // Guarded by the list's mutex (LogLimiter.cpp): whether this limiter is listed, and the next.
    bool m_listed = false;
    CLogLimiter* m_nextListed = nullptr;
};
