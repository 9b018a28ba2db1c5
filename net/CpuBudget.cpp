// The CPU budget's arithmetic and the clocks it is fed. Reader thread, but for the loop threads
// adding and removing their own clocks.
#include "net/CpuBudget.h"

#include <pthread.h>

#include <algorithm>
#include <cerrno>

namespace {

constexpr int64_t kNsPerSec = 1'000'000'000;

int64_t ReadNs(clockid_t clock, bool* ok)
{
    timespec ts{};
    *ok = clock_gettime(clock, &ts) == 0;
    return static_cast<int64_t>(ts.tv_sec) * kNsPerSec + ts.tv_nsec;
}

} // namespace

void CCpuBudget::set_share(unsigned percent)
{
    if (percent == 0 || percent > kFullCpuShare) {
        percent = kFullCpuShare;
    }
    m_allowanceNs = kCpuWindowNs * percent / kFullCpuShare;
}

// Windows follow each other on a fixed grid from the first turn; each one that begins adds one
// window's share, up to a full window's share.
void CCpuBudget::roll_windows(int64_t nowNs)
{
    if (nowNs < m_windowEndNs) {
        return;
    }
    const int64_t begun = (nowNs - m_windowEndNs) / kCpuWindowNs + 1;
    m_windowEndNs += begun * kCpuWindowNs;
    const int64_t toFill = (m_allowanceNs - m_balanceNs + m_allowanceNs - 1) / m_allowanceNs;
    m_balanceNs = begun >= toFill ? m_allowanceNs : m_balanceNs + begun * m_allowanceNs;
}

int64_t CCpuBudget::after_turn(int64_t nowNs, int64_t cpuNs)
{
    if (!m_started) {
        m_started = true;
        m_windowEndNs = nowNs + kCpuWindowNs;
        m_balanceNs = m_allowanceNs;
        m_lastCpuNs = cpuNs;
    }
    m_balanceNs -= std::max<int64_t>(0, cpuNs - m_lastCpuNs);
    m_lastCpuNs = cpuNs;
    roll_windows(nowNs);
    if (m_balanceNs > 0) {
        return 0;
    }
    // What is owed beyond this window's share is paid by whole windows after it.
    return m_windowEndNs + (-m_balanceNs / m_allowanceNs) * kCpuWindowNs;
}

void CLoopClock::add_current_thread(int slot)
{
    clockid_t id{};
    if (pthread_getcpuclockid(pthread_self(), &id) != 0) {
        return; // the thread goes uncounted; its share is then the others' only
    }
    m_slots[slot].id.store(id, std::memory_order_relaxed);
    m_slots[slot].known.store(true, std::memory_order_release);
}

void CLoopClock::remove_current_thread(int slot)
{
    m_slots[slot].known.store(false, std::memory_order_release);
}

int64_t CLoopClock::now_ns()
{
    bool ok = false;
    return ReadNs(CLOCK_MONOTONIC, &ok);
}

int64_t CLoopClock::cpu_ns()
{
    int64_t sum = 0;
    for (Slot& slot : m_slots) {
        if (slot.known.load(std::memory_order_acquire)) {
            bool ok = false;
            const int64_t ns = ReadNs(slot.id.load(std::memory_order_relaxed), &ok);
            slot.lastNs = ok ? ns : slot.lastNs;
        }
        sum += slot.lastNs;
    }
    return sum;
}

void CLoopClock::sleep_until_ns(int64_t t)
{
    timespec until{};
    until.tv_sec = static_cast<time_t>(t / kNsPerSec);
    until.tv_nsec = static_cast<long>(t % kNsPerSec);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}
