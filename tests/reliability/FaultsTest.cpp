// Faults under load: a re-download (SIGHUP) and then a stop (SIGTERM) while 64 clients are busy,
// and peers that go away abruptly: resets with responses pending, disconnects in the middle of a
// frame. No crash, no spin, every connection closed and counted.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>

#include "tests/reliability/ReliabilityFixture.h"

namespace {

constexpr int kTcpWorkers = 56;
constexpr int kUdpWorkers = 8;
constexpr int kWorkers = kTcpWorkers + kUdpWorkers;
constexpr long kRoundsPerWorker = 20;
constexpr int kBusyTimeoutMs = 20000;
constexpr int kRetryPauseMs = 20;
constexpr uint16_t kWorkerBaseWord = 60000;
constexpr const char* kDownloadDone = "DownLoadDoneEvent......";
constexpr const char* kCloseLine = "close connection:";
// Responses of 4030 bytes: more than the server queues for one connection before it stops
// reading from it.
constexpr int kHeldBackReads = 1000;

// One busy client: writes its own DM word and reads it back, over and over, reconnecting when the
// server goes away. Counts the rounds served and the read-backs that were wrong.
class Worker
{
public:
    Worker(int id, bool udp) : m_id(id), m_udp(udp) {}
    void Stop() { m_loop.Stop(); }

    std::atomic<long> served{0}; // raised by the worker thread, read by the test at any time
    std::atomic<long> wrong{0};  // likewise

private:
    void Run(const std::atomic<bool>& stop)
    {
        uint16_t value = static_cast<uint16_t>(m_id << 8);
        while (!stop.load()) {
            FinsTestClient client;
            if (!(m_udp ? client.OpenUdp() : client.ConnectTcp())) {
                (void)poll(nullptr, 0, kRetryPauseMs);
                continue;
            }
            while (!stop.load() && Round(client, ++value)) {
                served.fetch_add(1);
            }
            (void)poll(nullptr, 0, kRetryPauseMs); // the server went away: try again shortly
        }
    }

    // False when the server did not answer (the caller reconnects).
    bool Round(FinsTestClient& client, uint16_t value)
    {
        const uint16_t word = static_cast<uint16_t>(kWorkerBaseWord + m_id);
        if (!client.WriteWords(kDmWord, word, {value}).answered) {
            return false;
        }
        const FinsResult r = client.ReadWords(kDmWord, word, 1);
        if (!r.answered) {
            return false;
        }
        const std::vector<uint16_t> got = WireToWords(r.data);
        // Over TCP both requests met the same download (a re-download closes the connection).
        // A datagram may meet the fresh, zeroed memory of a re-download in between.
        const bool fresh = m_udp && got == std::vector<uint16_t>{0};
        if (got != std::vector<uint16_t>{value} && !fresh) {
            wrong.fetch_add(1);
        }
        return true;
    }

    const int m_id;
    const bool m_udp;
    Background m_loop{[this](const std::atomic<bool>& stop) { Run(stop); }}; // last: starts now
};

class Faults : public ReliabilityTest
{
protected:
    long Served() const
    {
        long total = 0;
        for (const auto& w : workers) {
            total += w->served.load();
        }
        return total;
    }

    bool WaitServed(long atLeast)
    {
        const long long deadline = NowMs() + kBusyTimeoutMs;
        while (Served() < atLeast && NowMs() < deadline) {
            (void)poll(nullptr, 0, kRetryPauseMs);
        }
        return Served() >= atLeast;
    }

    std::vector<std::unique_ptr<Worker>> workers;
};

TEST_F(Faults, RedownloadThenStopWhileSixtyFourClientsAreBusyOneHeldBackExitsCleanly)
{
    ASSERT_NO_FATAL_FAILURE(StartHost());
    for (int id = 0; id < kWorkers; ++id) {
        workers.push_back(std::make_unique<Worker>(id, id >= kTcpWorkers));
    }
    // Beside them, a client the server has to hold back, with a full queue of responses.
    const int stuck = NonReadingClient(kHeldBackReads);
    ASSERT_GE(stuck, 0);
    ASSERT_TRUE(WaitServed(kWorkers * kRoundsPerWorker)) << Served() << " rounds";

    ASSERT_TRUE(host->Signal(SIGHUP));
    ASSERT_TRUE(host->WaitForLog(kDownloadDone, 2, kReadyTimeoutMs));
    const long beforeRedownload = Served();
    EXPECT_TRUE(WaitServed(beforeRedownload + kWorkers * kRoundsPerWorker))
        << "not served again after the re-download";

    const long long stopStart = NowMs();
    StopHost(); // while the clients are still busy
    Figure("stop_under_load_ms", std::to_string(NowMs() - stopStart));
    Figure("rounds_served", std::to_string(Served()));
    long wrong = 0;
    for (auto& w : workers) {
        w->Stop();
        wrong += w->wrong.load();
    }
    EXPECT_EQ(wrong, 0) << "read-backs that differ from the value just written";
    close(stuck);
}

// --- Peers that go away abruptly ---

constexpr int kPeersPerKind = 50;
constexpr int kPendingReads = 200; // responses of 4030 bytes: more than the socket buffers hold
constexpr int kHeldBackSettleMs = 50;
constexpr uint32_t kAnnouncedBody = 2000;

// Pipelines big reads, waits until responses flow, then resets the connection under them. Every
// other peer has small buffers and sends enough to be held back by the server before the reset.
bool ResetWithResponsesPending(int fd, int i)
{
    const bool heldBack = i % 2 != 0;
    if (heldBack) {
        UseSmallBuffers(fd);
    }
    const bool flowing =
        SendBigReads(fd, heldBack ? kHeldBackReads : kPendingReads) && !Quiet(fd, kReplyTimeoutMs);
    if (flowing && heldBack) {
        (void)poll(nullptr, 0, kHeldBackSettleMs); // the server fills its queue for the peer
    }
    ResetClose(fd);
    return flowing;
}

// A header announcing a body, half the body, then gone (orderly or reset, alternately).
bool DisconnectMidFrame(int fd, int i)
{
    std::string part = TcpFrame(kTcpFrame, std::string(kAnnouncedBody, '\x80'));
    part.resize(part.size() - kAnnouncedBody / 2);
    const bool sent = SendAll(fd, part);
    if (i % 2 == 0) {
        close(fd);
    } else {
        ResetClose(fd);
    }
    return sent;
}

// Seven bytes of a header, then gone.
bool DisconnectMidHeader(int fd, int)
{
    const bool sent = SendAll(fd, DmReadTcp(1, 0, 1).substr(0, 7));
    close(fd);
    return sent;
}

TEST_F(Faults, AbruptPeersLeaveNoDescriptorNoSpinAndEveryConnectionClosed)
{
    ASSERT_NO_FATAL_FAILURE(StartHost());
    const struct
    {
        const char* name;
        std::function<bool(int fd, int i)> act;
    } kinds[] = {
        {"reset_with_responses_pending", ResetWithResponsesPending},
        {"disconnect_mid_frame", DisconnectMidFrame},
        {"disconnect_mid_header", DisconnectMidHeader},
    };
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.name);
        const int closesBefore = host->CountLog(kCloseLine);
        for (int i = 0; i < kPeersPerKind; ++i) {
            std::vector<int> fds = ConnectMany(1);
            ASSERT_EQ(fds.size(), 1u);
            EXPECT_TRUE(kind.act(fds[0], i)) << "peer " << i;
        }
        EXPECT_TRUE(WaitForFds(pid, baselineFds)) << OpenFds(pid) << " open, " << baselineFds;
        EXPECT_TRUE(host->WaitForLog(kCloseLine, closesBefore + kPeersPerKind, kReplyTimeoutMs))
            << host->CountLog(kCloseLine) - closesBefore << " closes logged";
        ExpectIdle(kind.name);
        ExpectServing();
    }
    StopHost();
}

} // namespace
