// Descriptor exhaustion: the host runs with an open-file limit of 256 and 400 clients connect.
// The server takes what it can; the rest wait in the listen queue unserved. Meanwhile it must not
// spin or flood the log on the failing accept, and the connections it has keep working. Once
// descriptors are free again the waiting connections are taken and answered, and new ones too.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>

#include "tests/reliability/ReliabilityFixture.h"

namespace reltest {
namespace {

using finstest::NowMs;

constexpr unsigned long kHostFileLimit = 256;
constexpr size_t kClients = 400;
// The connections beyond the limit never answer; this bounds how long the first round waits.
constexpr int kFirstRoundMs = 2000;
constexpr int kExhaustedWindowMs = 3000;
constexpr int kExhaustedRounds = 5;
// The failing accept may be logged about once a second.
constexpr int kMaxLimitLinesPerWindow = kExhaustedWindowMs / 1000 + 2;
constexpr double kMaxExhaustedCpuShare = 0.25;
// Served connections kept open when descriptors are given back; the rest are closed.
constexpr size_t kSpareAfterRelease = 20;
constexpr const char* kLimitLine = "accept errno = EMFILE";

class DescriptorExhaustion : public ReliabilityTest
{};

TEST_F(DescriptorExhaustion, ExcessWaitsUnservedWithoutSpinOrLogFloodAndIsServedOnceFree)
{
    ASSERT_NO_FATAL_FAILURE(StartHost(kHostFileLimit));
    const size_t capacity = kHostFileLimit - static_cast<size_t>(baselineFds);
    Figure("host_fds_before", std::to_string(baselineFds));

    std::vector<int> all = ConnectMany(kClients);
    ASSERT_EQ(all.size(), kClients);
    const std::vector<bool> first = RoundTrip(all, 10, kFirstRoundMs);
    std::vector<int> served;
    std::vector<int> waiting;
    for (size_t i = 0; i < all.size(); ++i) {
        (first[i] ? served : waiting).push_back(all[i]);
    }
    Figure("served_at_limit", std::to_string(served.size()));
    EXPECT_EQ(served.size(), capacity) << "every descriptor the host may open serves a client";
    ASSERT_FALSE(waiting.empty()) << "the limit was never reached";
    ASSERT_TRUE(host->WaitForLog(kLimitLine, 1, kReplyTimeoutMs));

    // Exhausted: served clients keep being answered, nobody else is, and the host idles.
    const double cpuBefore = CpuSeconds(pid);
    const int linesBefore = host->CountLog(kLimitLine);
    const long long windowEnd = NowMs() + kExhaustedWindowMs;
    for (int round = 0; round < kExhaustedRounds; ++round) {
        EXPECT_EQ(CountTrue(RoundTrip(served, 20)), served.size()) << "round " << round;
        EXPECT_TRUE(ServedCorrectly(true)) << "UDP, round " << round;
    }
    (void)poll(nullptr, 0, static_cast<int>(std::max(0LL, windowEnd - NowMs())));
    const double cpu = CpuSeconds(pid) - cpuBefore;
    const int lines = host->CountLog(kLimitLine) - linesBefore;
    Figure("exhausted_cpu_seconds", std::to_string(cpu));
    Figure("exhausted_limit_lines", std::to_string(lines));
    EXPECT_LT(cpu, kMaxExhaustedCpuShare * kExhaustedWindowMs / 1000.0);
    EXPECT_LE(lines, kMaxLimitLinesPerWindow);
    for (int fd : waiting) {
        EXPECT_TRUE(StaysQuiet(fd, 0)) << "a connection beyond the limit was answered";
    }

    // Give descriptors back: the waiting connections are taken and their requests answered.
    ASSERT_GE(served.size(), waiting.size() + kSpareAfterRelease);
    std::vector<int> released(served.begin(), served.begin() + waiting.size() + kSpareAfterRelease);
    served.erase(served.begin(), served.begin() + static_cast<long>(released.size()));
    CloseAll(released);
    for (size_t i = 0; i < waiting.size(); ++i) {
        Bytes reply;
        const size_t index =
            static_cast<size_t>(std::find(all.begin(), all.end(), waiting[i]) - all.begin());
        EXPECT_TRUE(RecvAll(waiting[i], DmReadReply(0, 10, 1).size(), &reply) &&
                    reply == DmReadReply(static_cast<uint8_t>(index), 10, 1))
            << "waiting connection " << i;
    }
    EXPECT_EQ(CountTrue(RoundTrip(served, 30)), served.size());
    ExpectServing();

    CloseAll(served);
    CloseAll(waiting);
    EXPECT_TRUE(WaitForFds(pid, baselineFds));
    ExpectIdle("after_exhaustion");
    StopHost();
}

} // namespace
} // namespace reltest
