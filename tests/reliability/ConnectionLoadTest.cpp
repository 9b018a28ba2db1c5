// Connection churn and many held connections: 20,000 connect/close cycles as fast as loopback
// allows, then 5,000 connections open at once. Everything is served, and the server's open
// descriptors return to their count before the test: records wait 60 s before reuse, but their
// sockets are closed at once, and the host rests with the records waiting.
#include <gtest/gtest.h>
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
};

TEST_F(ConnectionLoad, ChurnAndFiveThousandHeldAreServedAndDescriptorsComeBack)
{
    ASSERT_NO_FATAL_FAILURE(StartHost());
    const long rssBefore = RssKiB(pid);
    Figure("churn_cycles_per_second", std::to_string(Churn()));
    EXPECT_TRUE(WaitForFds(pid, baselineFds))
        << OpenFds(pid) << " descriptors after the churn, " << baselineFds << " before";
    Figure("rss_growth_kib_churn", std::to_string(RssKiB(pid) - rssBefore));

    std::vector<int> held = Hold();
    EXPECT_TRUE(WaitForFds(pid, baselineFds + static_cast<int>(kHeldConnections)));
    const long long roundStart = NowMs();
    EXPECT_EQ(RoundTrip(held, kHeldReadWord), held.size()) << "all at once";
    Figure("held_round_trip_ms", std::to_string(NowMs() - roundStart));
    ExpectServing();
    CloseAll(held);
    EXPECT_TRUE(WaitForFds(pid, baselineFds))
        << OpenFds(pid) << " descriptors after closing, " << baselineFds << " before";
    ExpectIdle("with_records_waiting");
    StopHost();
}

} // namespace
