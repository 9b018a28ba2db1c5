// Connection churn and many held connections: 20,000 connect/close cycles as fast as loopback
// allows, then 5,000 connections open at once. Everything is served, and the server's open
// descriptors return to their count before the test: records wait 60 s before reuse, but their
// sockets are closed at once. After the wait, a second churn reuses the records instead of
// growing the pool again.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

#include "tests/reliability/ReliabilityFixture.h"

namespace {

constexpr int kChurnCycles = 20000;
// Every so many cycles a connection is served a read; the listener's accept queue is first in,
// first out, so the answer also shows every earlier connection has been taken off it (the queue
// holds 500).
constexpr int kChurnProbeEvery = 250;
constexpr size_t kHeldConnections = 5000;
constexpr size_t kConnectBatch = 250;
constexpr uint16_t kHeldReadWord = 777;
// Client and server each hold one descriptor per connection; the test needs headroom beyond that.
constexpr rlim_t kDescriptorHeadroom = 200;
// A closed record goes back to the free list at the first sweep 60 s after its close (clock in
// whole seconds, sweeps every 500 ms at most); two seconds more cover both.
constexpr long long kRecycleWaitMs = 62000;
// The close line names the record's use counter before the close. A record closes its first use
// at 1 (grown by the pool on demand) or 2 (made up front); each later use adds 3.
constexpr const char* kReusedCloseLines[] = {"iCurrsequence:4", "iCurrsequence:5"};

class ConnectionLoad : public ReliabilityTest
{
protected:
    void SetUp() override
    {
        rlimit own{};
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &own), 0);
        if (own.rlim_cur < kHeldConnections + kDescriptorHeadroom) {
            GTEST_SKIP() << "this process may open only " << own.rlim_cur << " files";
        }
    }

    // kChurnCycles connect/close cycles, every other one ending with a reset; a probe read is
    // served every kChurnProbeEvery cycles. Returns cycles per second (0 after a failure).
    long long Churn()
    {
        const long long start = NowMs();
        for (int i = 0; i < kChurnCycles; ++i) {
            std::vector<int> fds = ConnectMany(1);
            EXPECT_EQ(fds.size(), 1u) << "cycle " << i;
            if (fds.empty()) {
                return 0;
            }
            if (i % 2 == 0) {
                CloseAll(fds);
            } else {
                ResetClose(fds[0]);
            }
            if ((i + 1) % kChurnProbeEvery == 0 && !ServedCorrectly(false)) {
                ADD_FAILURE() << "not served after cycle " << i;
                return 0;
            }
        }
        return kChurnCycles * 1000LL / std::max(1LL, NowMs() - start);
    }

    // kHeldConnections connections opened in batches, each batch served one read.
    std::vector<int> Hold()
    {
        std::vector<int> held;
        for (size_t n = 0; n < kHeldConnections; n += kConnectBatch) {
            std::vector<int> batch = ConnectMany(kConnectBatch);
            EXPECT_EQ(batch.size(), kConnectBatch) << "after " << held.size() << " connections";
            EXPECT_EQ(RoundTrip(batch, kHeldReadWord), batch.size());
            held.insert(held.end(), batch.begin(), batch.end());
        }
        return held;
    }

    int ReusedRecordCloses() const
    {
        int n = 0;
        for (const char* line : kReusedCloseLines) {
            n += host->CountLog(line);
        }
        return n;
    }
};

TEST_F(ConnectionLoad, ChurnAndFiveThousandHeldAreServedAndRecordsAreReusedOnlyAfterTheirDelay)
{
    ASSERT_NO_FATAL_FAILURE(StartHost());
    const long rssBefore = RssKiB(pid);
    Figure("churn_cycles_per_second", std::to_string(Churn()));
    const long long churnEnd = NowMs();
    EXPECT_TRUE(WaitForFds(pid, baselineFds))
        << OpenFds(pid) << " descriptors after the churn, " << baselineFds << " before";
    const long churnGrowth = RssKiB(pid) - rssBefore;
    Figure("rss_growth_kib_first_churn", std::to_string(churnGrowth));

    std::vector<int> held = Hold();
    EXPECT_TRUE(WaitForFds(pid, baselineFds + static_cast<int>(kHeldConnections)));
    const long long roundStart = NowMs();
    EXPECT_EQ(RoundTrip(held, kHeldReadWord), held.size()) << "all at once";
    Figure("held_round_trip_ms", std::to_string(NowMs() - roundStart));
    ExpectServing();
    CloseAll(held);
    EXPECT_TRUE(WaitForFds(pid, baselineFds))
        << OpenFds(pid) << " descriptors after closing, " << baselineFds << " before";
    EXPECT_EQ(ReusedRecordCloses(), 0) << "a record was reused before its 60 s were up";

    // Once the first churn's records are back in the free list, a second churn reuses them.
    (void)poll(nullptr, 0, static_cast<int>(std::max(0LL, churnEnd + kRecycleWaitMs - NowMs())));
    ExpectIdle("with_records_waiting");
    const long rssBeforeSecond = RssKiB(pid);
    EXPECT_GT(Churn(), 0);
    const long secondGrowth = RssKiB(pid) - rssBeforeSecond;
    Figure("rss_growth_kib_second_churn", std::to_string(secondGrowth));
    EXPECT_LT(secondGrowth, churnGrowth / 2) << "the pool grew again instead of reusing records";
    EXPECT_GE(ReusedRecordCloses(), kChurnCycles / 2);
    EXPECT_TRUE(WaitForFds(pid, baselineFds));
    StopHost();
}

} // namespace
