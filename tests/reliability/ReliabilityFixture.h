// Shared pieces of the reliability tests, which attack a running runtime-host on 127.0.0.1:9600:
// the host started for one test and checked when it ends (exit 0, no sanitizer report), what
// /proc says about it (resident memory, CPU seconds, open descriptors), and client helpers that
// drive many loopback connections at once. Every wait is a poll() with a deadline.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/FinsTestClient.h"
#include "tests/support/HostProcess.h"

namespace reltest {

using finstest::Bytes;

// Sanitizer builds start, serve and stop more slowly; the bounds below are generous on purpose.
constexpr int kReadyTimeoutMs = 30000;
constexpr int kExitTimeoutMs = 15000;
constexpr int kReplyTimeoutMs = 5000;
// Descriptors closed by a peer are noticed by the server's reader thread asynchronously.
constexpr int kFdSettleTimeoutMs = 15000;
// A process that does nothing but wait on epoll uses next to no CPU; one that spins uses a whole
// core. Per second of wall time, less than this counts as idle.
constexpr double kIdleCpuShare = 0.2;
constexpr int kIdleWindowMs = 1000;

constexpr uint16_t kMaxReadWords = 2000; // the most one read may ask for
// DM of the default application: 65536 words, filled by FillDm with PatternWord.
constexpr uint32_t kDmWords = 65536;
uint16_t PatternWord(uint32_t word);
// The whole DM pattern as it travels on the wire (big-endian words).
const Bytes& PatternWire();

// --- What /proc says about a process ---
long RssKiB(pid_t pid);       // VmRSS
double CpuSeconds(pid_t pid); // user + system time of all its threads
int OpenFds(pid_t pid);
// CPU seconds the process uses during a window of `ms` milliseconds.
double CpuOver(pid_t pid, int ms);
// True once the process's descriptor count equals `want` (within the timeout).
bool WaitForFds(pid_t pid, int want, int timeoutMs = kFdSettleTimeoutMs);
// The descriptor count once it has stayed the same for a few polls (bounded).
int SettledFds(pid_t pid);

// This test process's open-file soft limit raised to its hard limit (thousands of clients).
void RaiseOwnOpenFileLimit();

// Prints a measured figure beside the test's output and records it in the XML report.
void Figure(const std::string& name, const std::string& value);

// --- Clients ---
// A non-blocking TCP socket connecting to 127.0.0.1:9600 (connection may still be in progress),
// or -1.
int StartConnect();
// n connections, connected (all or none: -1 entries are never returned; empty on failure).
std::vector<int> ConnectMany(size_t n, int timeoutMs = kReplyTimeoutMs);
// Socket buffers of 64 KiB each way (the kernel doubles them): a client that stops reading is
// held back after a few hundred KiB instead of the several MiB loopback would grant.
void UseSmallBuffers(int fd);
// Pipelines `reads` reads of 2000 DM words (request ids counting from 0).
bool SendBigReads(int fd, int reads);
// A connection with small buffers that has sent `reads` reads of 2000 DM words and reads
// nothing, so the server soon has to hold it back. -1 on failure.
int NonReadingClient(int reads);
// Closes with SO_LINGER 0: the server sees a reset instead of an orderly close.
void CloseWithReset(int fd);
void CloseAll(std::vector<int>& fds);
bool SendAllTo(int fd, const Bytes& bytes, int timeoutMs = kReplyTimeoutMs);
// True when no byte arrives on fd within ms (and the peer has not closed).
bool StaysQuiet(int fd, int ms);

// The exact FINS/TCP response to FinsRead(sid, DM word area, word, 0, count) sent on a loopback
// connection (both node numbers are 1, the last field of 127.0.0.1), given the DM pattern.
Bytes DmReadReply(uint8_t sid, uint16_t word, uint16_t count);
Bytes DmReadRequest(uint8_t sid, uint16_t word, uint16_t count);
// Sends one DM read on every fd, then waits for each reply; per fd whether the exact reply came.
std::vector<bool> RoundTrip(const std::vector<int>& fds, uint16_t word,
                            int timeoutMs = kReplyTimeoutMs);
size_t CountTrue(const std::vector<bool>& flags);

// A fresh FinsTestClient over TCP or UDP reads DM word `word` and gets the pattern back.
bool ServedCorrectly(bool udp, uint16_t word = 100);

// A client loop on a thread of its own, running until Stop (or destruction). `body` gets the stop
// flag and must return soon after it is raised.
class Background
{
public:
    explicit Background(std::function<void(const std::atomic<bool>& stop)> body);
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;
    void Stop();

private:
    std::atomic<bool> m_stop{false}; // raised by Stop; read by the thread
    std::thread m_thread;
};

// One runtime-host per test; TearDown stops it (SIGTERM) if the test did not.
class ReliabilityTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { RaiseOwnOpenFileLimit(); }

    // Starts the host, waits until it serves, fills DM with the pattern and records the settled
    // descriptor count in baselineFds.
    void StartHost();
    // SIGTERM, exit 0 within the timeout, and no sanitizer report on its standard error.
    void StopHost();
    void TearDown() override;
    // The host is alive and serves TCP and UDP correctly.
    void ExpectServing();
    // Over a window, the host uses less than kIdleCpuShare of a core.
    void ExpectIdle(const std::string& when);

    std::unique_ptr<finstest::HostProcess> host;
    pid_t pid = -1;
    int baselineFds = -1;
};

// The first line of a sanitizer report in a log, or "" when there is none.
std::string SanitizerReport(const std::string& log);

} // namespace reltest
