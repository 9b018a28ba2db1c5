// Shared pieces of the reliability tests, which attack a running runtime-host on 127.0.0.1:9600:
// the host started for one test with DM holding the pattern, and client helpers that drive many
// loopback connections at once. Every wait is a poll() with a deadline.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/FinsTestClient.h"
#include "tests/support/HostProcess.h"

constexpr int kReplyTimeoutMs = 5000;
// Descriptors closed by a peer are noticed by the server's reader thread asynchronously.
constexpr int kFdSettleTimeoutMs = 15000;
constexpr uint16_t kMaxReadWords = 2000; // the most one read may ask for
constexpr uint32_t kDmWords = 65536;     // DM of the default application, filled with the pattern

// True once the process's descriptor count equals `want` (within the timeout).
bool WaitForFds(pid_t pid, int want, int timeoutMs = kFdSettleTimeoutMs);
// Prints a measured figure beside the test's output and records it in the XML report.
void Figure(const std::string& name, const std::string& value);

// n connections to 127.0.0.1:9600, connected (all or none: empty on failure).
std::vector<int> ConnectMany(size_t n, int timeoutMs = kReplyTimeoutMs);
// A connection with a receive buffer of 64 KiB (the kernel doubles it) that has pipelined
// `reads` reads of 2000 DM words and reads nothing, so the server soon has to hold it back
// instead of the several MiB loopback would grant. -1 on failure.
int NonReadingClient(int reads);
void CloseAll(std::vector<int>& fds);
// Sends one DM read on every fd, then waits for each reply; how many fds got the exact reply.
size_t RoundTrip(const std::vector<int>& fds, uint16_t word, int timeoutMs = kReplyTimeoutMs);
// A fresh client over TCP or UDP reads DM word `word` and gets the pattern back.
bool ServedCorrectly(bool udp, uint16_t word = 100);

class ReliabilityTest : public HostTest
{
protected:
    // This test process's open-file soft limit raised to its hard limit (thousands of clients).
    static void SetUpTestSuite();

    // Starts the host, waits until it serves, fills DM with the pattern and records the settled
    // descriptor count in baselineFds.
    void StartHost();
    // The host is alive and serves a DM read over TCP and over UDP correctly.
    void ExpectServing();
    // Over a window, the host uses less than a fifth of a core.
    void ExpectIdle(const std::string& when);

    pid_t pid = -1;
    int baselineFds = -1;
};
