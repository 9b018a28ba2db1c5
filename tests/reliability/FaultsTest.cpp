// Faults under load: a re-download (SIGHUP) and then a stop (SIGTERM) while 64 clients are busy and
// one is held back with a full queue of responses. No crash, no wrong read-back, a clean exit.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>

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
// Responses of 4030 bytes: more than the server queues for one connection before it stops
// reading from it.
constexpr int kHeldBackReads = 1000;

// One busy client: writes its own DM word and reads it back, over and over, reconnecting when the
// server goes away. Counts the rounds served and the read-backs that were wrong.
class Worker
{
public:
    Worker(int id, bool udp) : m_id(id), m_udp(udp), m_thread([this] { Run(); }) {}
    ~Worker() { Stop(); }
    void Stop()
    {
        m_stop.store(true);
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

    std::atomic<long> served{0}; // raised by the worker thread, read by the test at any time
    std::atomic<long> wrong{0};  // likewise

private:
    void Run()
    {
        uint16_t value = static_cast<uint16_t>(m_id << 8);
        while (!m_stop.load()) {
            FinsTestClient client;
            if (!(m_udp ? client.OpenUdp() : client.ConnectTcp())) {
                (void)poll(nullptr, 0, kRetryPauseMs);
                continue;
            }
            while (!m_stop.load() && Round(client, ++value)) {
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
    std::atomic<bool> m_stop{false}; // raised by Stop on the test's thread; read by m_thread
    std::thread m_thread;            // last: starts once everything it uses is built
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

} // namespace
