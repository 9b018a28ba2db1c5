// The loop's share of one core: how much CPU its threads may use in each short window, and until
// when the reader takes no new work once a window's share is spent. CCpuBudget is arithmetic on
// the times it is handed, so its decisions can be checked with a made-up clock; CLoopClock feeds
// it the monotonic clock and the loop threads' own CPU clocks. Reader thread (the owner before
// the loop starts).
#pragma once

#include <time.h>

#include <atomic>
#include <cstdint>

// The budget's window: 10 ms. Short, so that a task sharing the core waits at most about two
// windows' share in a row (spent at the end of one window and at the start of the next: 10 ms at
// a share of 50 %); long against one turn of the loop (well under a millisecond under load), so
// that a turn's overshoot stays small.
constexpr int64_t kCpuWindowNs = 10'000'000;
// cpu_share in percent of one core; 100 is no budget at all.
constexpr unsigned kFullCpuShare = 100;

// Where the budget's readings come from, and how the loop waits out a spent window.
class IBudgetClock
{
public:
    virtual ~IBudgetClock() = default;
    // Monotonic time, ns.
    virtual int64_t now_ns() = 0;
    // CPU the loop's threads have used in all, ns; never falls.
    virtual int64_t cpu_ns() = 0;
    // Returns at the monotonic time t (at once when it has passed).
    virtual void sleep_until_ns(int64_t t) = 0;
};

class CCpuBudget
{
public:
    // Percent of one core, 1 to 100; any other value is taken as 100. Before the first turn.
    void set_share(unsigned percent);
    // False at 100 %: the loop then reads no clock at all.
    bool limited() const { return m_allowanceNs < kCpuWindowNs; }
    // After a turn, with the monotonic time and the loop threads' CPU in all: 0 to go on, or the
    // monotonic time until which the loop takes no new work. CPU used beyond a window's share is
    // carried over and paid from the windows after it, so a long turn is made up for; share left
    // unused is not saved up beyond one window, so work after a quiet spell cannot take the core
    // for longer than one window's share.
    int64_t after_turn(int64_t nowNs, int64_t cpuNs);

private:
    void roll_windows(int64_t nowNs);

    int64_t m_allowanceNs = kCpuWindowNs; // CPU per window
    int64_t m_balanceNs = 0;              // share left in this window; below 0: owed
    int64_t m_windowEndNs = 0;
    int64_t m_lastCpuNs = 0;
    bool m_started = false;
};

// The monotonic clock and the CPU clocks of the loop's threads, each added by its thread when it
// starts and read by the reader thread.
class CLoopClock final : public IBudgetClock
{
public:
    static constexpr int kThreads = 3; // reader, writer, send

    // The calling thread's CPU clock in slot (0 to kThreads - 1). Any loop thread, at its start.
    void add_current_thread(int slot);
    // The calling thread's clock leaves its slot (its CPU so far stays counted). At its end.
    void remove_current_thread(int slot);

    int64_t now_ns() override;
    // Reader thread. A clock that cannot be read counts with its last reading.
    int64_t cpu_ns() override;
    void sleep_until_ns(int64_t t) override;

private:
    struct Slot
    {
        // The thread's clock id, valid while known is set (release by the thread, acquire by
        // the reader).
        std::atomic<clockid_t> id{CLOCK_MONOTONIC};
        std::atomic<bool> known{false};
        int64_t lastNs = 0; // reader thread
    };
    Slot m_slots[kThreads];
};
