// The CPU budget against a made-up clock: when a window's share is spent, how what a long turn
// overspent is paid, and a loop held back by it still answering every request in order.
#include "net/CpuBudget.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <vector>

#include "tests/net/NetHarness.h"

namespace {

constexpr int64_t kUs = 1000; // ns

struct Turn
{
    int64_t nowUs;
    int64_t cpuUs;   // the loop threads' CPU in all
    int64_t pauseUs; // expected: the time the loop waits until, 0 for none
};

TEST(CpuBudget, PausesAtTheSpentShareUntilTheWindowEndsAndCarriesOverspendingForward)
{
    const struct
    {
        const char* name;
        unsigned share;
        std::vector<Turn> turns;
    } cases[] = {
        {"the window's share, then nothing until it ends",
         50,
         {{0, 0, 0}, {1000, 2000, 0}, {3000, 4900, 0}, {4000, 5000, 10000}, {10000, 5000, 0}}},
        {"a turn past the share is paid from the next window",
         50,
         {{0, 0, 0}, {12000, 12000, 20000}, {20000, 12000, 0}, {21000, 15000, 30000}}},
        {"a debt of several windows waits them all out",
         1,
         {{0, 0, 0}, {1000, 1000, 100000}, {100000, 1000, 0}, {100000, 1100, 110000}}},
        {"share left unused is not saved up",
         50,
         {{0, 0, 0}, {100000, 0, 0}, {101000, 6000, 110000}}},
        {"the first turn only sets the start", 50, {{500, 90000, 0}, {600, 94000, 0}}},
        {"out of range is the whole core", 0, {{0, 0, 0}, {1000, 900000, 0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CCpuBudget budget;
        budget.set_share(c.share);
        EXPECT_EQ(c.share > 0 && c.share < kFullCpuShare, budget.limited());
        for (const Turn& t : c.turns) {
            if (budget.limited()) {
                EXPECT_EQ(t.pauseUs * kUs, budget.after_turn(t.nowUs * kUs, t.cpuUs * kUs))
                    << "turn at " << t.nowUs << " us";
            }
        }
    }
}

// Every reading of the CPU finds a window's worth more spent, so at a share below 100 every turn
// but the first ends in a pause; time moves only when the loop waits.
class SpendingClock final : public IBudgetClock
{
public:
    int64_t now_ns() override { return m_now.load(); }
    int64_t cpu_ns() override { return m_cpu.fetch_add(kCpuWindowNs) + kCpuWindowNs; }
    void sleep_until_ns(int64_t t) override
    {
        m_now.store(t);
        ++pauses;
    }
    std::atomic<int> pauses{0};
    int64_t readings() const { return m_cpu.load() / kCpuWindowNs; }

private:
    std::atomic<int64_t> m_now{0};
    std::atomic<int64_t> m_cpu{0};
};

// Requests pipelined in chunks, each sent before the replies to the one before it are read: with
// the budget pausing the loop after every turn each is answered, in order, on the connection it
// came on, which stays open. At the whole core the clock is never read.
TEST(CpuBudgetLoop, PausedLoopAnswersEveryRequestInOrderAndFullShareReadsNoClock)
{
    constexpr int kChunks = 10;
    constexpr int kPerChunk = 30;
    const auto chunk = [](int k, bool replies) {
        std::string bytes;
        for (int i = k * kPerChunk; i < (k + 1) * kPerChunk; ++i) {
            const auto sid = static_cast<uint8_t>(i);
            bytes += replies ? DmReadReplyTcp(sid, i, 1) : DmReadTcp(sid, i, 1);
        }
        return bytes;
    };
    for (unsigned share : {50u, kFullCpuShare}) {
        SCOPED_TRACE(share);
        FakeLogger log;
        AppMemory mem;
        SpendingClock clock;
        LoopHarness h(false);
        EventLoopTestPeer::setBudgetClock(*h.loop, &clock);
        h.loop->set_cpu_share(share);
        h.loop->event_start(0);
        const int fd = ConnectTcp(h.tcpPort);
        ASSERT_TRUE(SendAll(fd, chunk(0, false)));
        for (int k = 0; k < kChunks; ++k) {
            ASSERT_TRUE(k + 1 == kChunks || SendAll(fd, chunk(k + 1, false)));
            const std::string want = chunk(k, true);
            std::string got;
            ASSERT_TRUE(RecvExact(fd, want.size(), got)) << k;
            ASSERT_EQ(want, got) << k;
        }
        std::string again;
        EXPECT_TRUE(SendAll(fd, DmReadTcp(1, 7, 1)) &&
                    RecvExact(fd, DmReadReplyTcp(1, 7, 1).size(), again));
        h.stopAndDelete();
        if (share == kFullCpuShare) {
            EXPECT_EQ(0, clock.readings());
        } else {
            EXPECT_GE(clock.pauses.load(), kChunks / 2);
        }
        close(fd);
    }
}

} // namespace
