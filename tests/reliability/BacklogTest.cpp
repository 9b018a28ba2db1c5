// A client that pipelines 100,000 reads of 2000 words and does not read the responses. The server
// must stop reading from it once its backlog is full (TCP flow control then holds the client),
// stay small and idle meanwhile, keep answering another client promptly, and, once the client
// reads, deliver every response complete and in order.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "tests/reliability/ReliabilityFixture.h"

namespace reltest {
namespace {

using finstest::NowMs;

constexpr int kFloodRequests = 100000;
constexpr long kMaxGrowthKiB = 64 * 1024;
// The client counts as blocked once its socket has taken nothing for this long.
constexpr int kBlockedAfterMs = 500;
constexpr int kSendPhaseMs = 30000;
constexpr int kIdleWindows = 10;
constexpr int kDrainTimeoutMs = 120000;
// The well-behaved client: one small read at a time, a short pause between reads.
constexpr int kObserverPauseMs = 5;
constexpr int kObserverMaxReads = 100000;
constexpr long long kMaxObserverLatencyMs = 2000;
constexpr long long kMaxObserverMedianMs = 100;
constexpr uint16_t kObservedWord = 4321;

uint16_t FloodWord(int i)
{
    return static_cast<uint16_t>((static_cast<uint32_t>(i) * 7919u) % (kDmWords - kMaxReadWords));
}

// The flooding client: all requests laid out in one buffer, responses checked as they stream in.
class FloodClient
{
public:
    FloodClient()
    {
        for (int i = 0; i < kFloodRequests; ++i) {
            const Bytes r = DmReadRequest(static_cast<uint8_t>(i), FloodWord(i), kMaxReadWords);
            m_out.insert(m_out.end(), r.begin(), r.end());
        }
    }
    ~FloodClient()
    {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }

    bool Connect()
    {
        std::vector<int> fds = ConnectMany(1);
        if (fds.empty()) {
            return false;
        }
        m_fd = fds[0];
        UseSmallBuffers(m_fd);
        return true;
    }

    // Sends until every request is out or the socket has taken nothing for kBlockedAfterMs.
    // True when the client ended up blocked.
    bool SendUntilBlocked()
    {
        const long long deadline = NowMs() + kSendPhaseMs;
        while (m_sent < m_out.size() && NowMs() < deadline) {
            if (!SendSome()) {
                pollfd p{m_fd, POLLOUT, 0};
                if (poll(&p, 1, kBlockedAfterMs) == 0) {
                    return true;
                }
            }
        }
        return false;
    }

    // Sends the rest while reading; every response must be the exact answer to its request, in
    // request order. "" on success, else what went wrong.
    std::string Drain()
    {
        const long long deadline = NowMs() + kDrainTimeoutMs;
        while (m_received < kFloodRequests && NowMs() < deadline) {
            pollfd p{m_fd, static_cast<short>(POLLIN | (m_sent < m_out.size() ? POLLOUT : 0)), 0};
            if (poll(&p, 1, static_cast<int>(std::max(1LL, deadline - NowMs()))) <= 0) {
                continue;
            }
            if ((p.revents & POLLOUT) != 0) {
                (void)SendSome();
            }
            if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !ReceiveSome()) {
                return m_failure.empty() ? "connection ended early" : m_failure;
            }
        }
        return m_received == kFloodRequests ? "" : "timed out";
    }

    size_t SentRequests() const { return m_sent / DmReadRequest(0, 0, kMaxReadWords).size(); }
    int Received() const { return m_received; }

private:
    bool SendSome()
    {
        const ssize_t n = send(m_fd, m_out.data() + m_sent, m_out.size() - m_sent, MSG_NOSIGNAL);
        if (n > 0) {
            m_sent += static_cast<size_t>(n);
        }
        return n > 0;
    }

    bool ReceiveSome()
    {
        uint8_t buf[1 << 16];
        const ssize_t n = recv(m_fd, buf, sizeof(buf), 0);
        if (n <= 0) {
            return n < 0 && errno == EAGAIN;
        }
        m_in.insert(m_in.end(), buf, buf + n);
        return CheckResponses();
    }

    // Checks each complete response in m_in against the one due next.
    bool CheckResponses()
    {
        const size_t len = DmReadReply(0, 0, kMaxReadWords).size();
        size_t at = 0;
        for (; m_in.size() - at >= len && m_received < kFloodRequests; at += len) {
            const int i = m_received;
            const Bytes want = DmReadReply(static_cast<uint8_t>(i), FloodWord(i), kMaxReadWords);
            if (std::memcmp(m_in.data() + at, want.data(), len) != 0) {
                m_failure = "response " + std::to_string(i) + " differs from its request's answer";
                return false;
            }
            ++m_received;
        }
        m_in.erase(m_in.begin(), m_in.begin() + static_cast<long>(at));
        return true;
    }

    int m_fd = -1;
    Bytes m_out;
    size_t m_sent = 0;
    Bytes m_in;
    int m_received = 0;
    std::string m_failure;
};

// Reads one DM word over and over on a thread of its own and keeps every latency. The figures
// may be read once Stop has returned.
class Observer
{
public:
    void Stop() { m_loop.Stop(); }

    std::vector<long long> latencies; // written by the observer thread; read after Stop
    int failures = 0;                 // likewise

private:
    void Run(const std::atomic<bool>& stop)
    {
        finstest::FinsTestClient client;
        if (!client.ConnectTcp()) {
            ++failures;
            return;
        }
        const Bytes want = DmReadReply(0, kObservedWord, 1);
        const Bytes wantData(want.end() - 2, want.end());
        for (int i = 0; i < kObserverMaxReads && !stop.load(); ++i) {
            const long long start = NowMs();
            const finstest::FinsResult r = client.ReadWords(finstest::kDmWord, kObservedWord, 1);
            latencies.push_back(NowMs() - start);
            if (!r.answered || r.data != wantData) {
                ++failures;
                return; // the connection's stream is no longer in step
            }
            (void)poll(nullptr, 0, kObserverPauseMs);
        }
    }

    Background m_loop{[this](const std::atomic<bool>& stop) { Run(stop); }}; // last: starts now
};

class Backlog : public ReliabilityTest
{};

TEST_F(Backlog, NonReadingClientIsHeldBackWhileOthersAreServedAndGetsEveryResponseInOrder)
{
    ASSERT_NO_FATAL_FAILURE(StartHost());
    const long baseRss = RssKiB(pid);
    Observer observer;

    FloodClient flood;
    ASSERT_TRUE(flood.Connect());
    const bool blocked = flood.SendUntilBlocked();
    Figure("flood_requests_taken_before_blocking", std::to_string(flood.SentRequests()));
    EXPECT_TRUE(blocked) << "the server read all " << kFloodRequests << " requests";

    // Once the server has nothing left it may do for the client, it must sit idle.
    double cpu = 1;
    for (int w = 0; w < kIdleWindows && cpu >= kIdleCpuShare; ++w) {
        cpu = CpuOver(pid, kIdleWindowMs);
    }
    Figure("blocked_cpu_seconds_per_second", std::to_string(cpu));
    EXPECT_LT(cpu, kIdleCpuShare) << "the server keeps working for a client that is held back";
    const long growth = PeakKiB(pid) - baseRss;
    Figure("rss_growth_kib_while_blocked", std::to_string(growth));
    EXPECT_LT(growth, kMaxGrowthKiB);

    const std::string drained = flood.Drain();
    observer.Stop();
    EXPECT_EQ(drained, "") << "after " << flood.Received() << " responses";

    EXPECT_EQ(observer.failures, 0);
    ASSERT_FALSE(observer.latencies.empty());
    std::vector<long long> sorted = observer.latencies;
    std::sort(sorted.begin(), sorted.end());
    const long long median = sorted[sorted.size() / 2];
    Figure("observer_reads", std::to_string(sorted.size()));
    Figure("observer_median_ms", std::to_string(median));
    Figure("observer_max_ms", std::to_string(sorted.back()));
    EXPECT_LT(median, kMaxObserverMedianMs);
    EXPECT_LT(sorted.back(), kMaxObserverLatencyMs);
    StopHost();
}

} // namespace
} // namespace reltest
