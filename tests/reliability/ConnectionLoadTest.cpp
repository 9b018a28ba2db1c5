// Connection churn and many held connections: 20,000 connect/close cycles as fast as loopback
// allows, then 5,000 connections open at once. Everything is served, and the server's open
// descriptors return to their count before the test (records wait 60 s before reuse, but their
// sockets are closed at once).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

#include "tests/reliability/ReliabilityFixture.h"

namespace reltest {
namespace {

using finstest::NowMs;

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

class ConnectionLoad : public ReliabilityTest
{
protected:
    // One connect/close cycle; every other one ends with a reset instead of an orderly close.
    static bool Cycle(int i)
    {
        std::vector<int> fds = ConnectMany(1);
        if (fds.empty()) {
            return false;
        }
        if (i % 2 == 0) {
            close(fds[0]);
        } else {
            CloseWithReset(fds[0]);
        }
        return true;
    }
};

TEST_F(ConnectionLoad, ChurnThenFiveThousandHeldConnectionsAreServedAndDescriptorsReturn)
{
    rlimit own{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &own), 0);
    if (own.rlim_cur < kHeldConnections + kDescriptorHeadroom) {
        GTEST_SKIP() << "this process may open only " << own.rlim_cur << " files";
    }
    ASSERT_NO_FATAL_FAILURE(StartHost());
    const long baseRss = RssKiB(pid);

    const long long churnStart = NowMs();
    for (int i = 0; i < kChurnCycles; ++i) {
        ASSERT_TRUE(Cycle(i)) << "cycle " << i;
        if ((i + 1) % kChurnProbeEvery == 0) {
            ASSERT_TRUE(ServedCorrectly(false)) << "after cycle " << i;
        }
    }
    Figure("churn_cycles_per_second",
           std::to_string(kChurnCycles * 1000LL / std::max(1LL, NowMs() - churnStart)));
    EXPECT_TRUE(WaitForFds(pid, baselineFds))
        << OpenFds(pid) << " descriptors after the churn, " << baselineFds << " before";
    // Closed records wait 60 s before reuse, so the pool grows by the records closed meanwhile.
    Figure("rss_growth_kib_after_churn", std::to_string(RssKiB(pid) - baseRss));

    std::vector<int> held;
    for (size_t n = 0; n < kHeldConnections; n += kConnectBatch) {
        std::vector<int> batch = ConnectMany(kConnectBatch);
        ASSERT_EQ(batch.size(), kConnectBatch) << "after " << held.size() << " connections";
        EXPECT_EQ(CountTrue(RoundTrip(batch, kHeldReadWord)), batch.size());
        held.insert(held.end(), batch.begin(), batch.end());
    }
    EXPECT_TRUE(WaitForFds(pid, baselineFds + static_cast<int>(kHeldConnections)));
    Figure("rss_growth_kib_with_held", std::to_string(RssKiB(pid) - baseRss));
    // All of them at once, and the endpoints beside them.
    const long long roundStart = NowMs();
    EXPECT_EQ(CountTrue(RoundTrip(held, kHeldReadWord)), held.size());
    Figure("held_round_trip_ms", std::to_string(NowMs() - roundStart));
    ExpectServing();

    CloseAll(held);
    EXPECT_TRUE(WaitForFds(pid, baselineFds))
        << OpenFds(pid) << " descriptors after closing, " << baselineFds << " before";
    ExpectServing();
    StopHost();
}

} // namespace
} // namespace reltest
