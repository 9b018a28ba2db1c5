// Runs build/bin/runtime-host (or another program of build/bin) as a child process for tests:
// standard error is collected line by line on a thread of its own and standard output in memory,
// readiness is a FINS handshake answered on 127.0.0.1:9600, and every wait is bounded. The
// destructor kills a child that is still running, so no test leaves a host on port 9600. HostTest
// is the fixture of the tests that run one host each; the /proc helpers say what the kernel sees of
// a process.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/FinsTestClient.h" // TestPort

// Folder of the built programs: $FINS_BIN_DIR, else "bin" (tests run in the build folder).
std::string BinDir();

class HostProcess
{
public:
    // args exclude the program name; program is a file name inside BinDir().
    explicit HostProcess(std::vector<std::string> args, std::string program = "runtime-host");
    ~HostProcess();
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    bool Start();
    // True once this host has bound FINS/UDP (which no second process can share) and a FINS/TCP
    // handshake on the port is answered; false when the deadline passes or the process ends.
    bool WaitReady(int timeoutMs = 20000, uint16_t port = TestPort());
    bool Signal(int sig);
    // True when the process ended and its output reached end of file within the timeout;
    // *exitCode is its status, or 128 + signal (set once it ended).
    bool WaitExit(int timeoutMs, int* exitCode);
    bool Running();
    pid_t Pid() const { return m_pid; }

    std::string Log() const;
    // Everything the process wrote to standard output so far.
    std::string Output() const;
    // Lines of standard error that contain `part`.
    int CountLog(const std::string& part) const;
    // Waits until `count` lines contain `part`.
    bool WaitForLog(const std::string& part, int count, int timeoutMs);

private:
    void ReadLog(int fd);
    bool Reap(int options);
    int CountLocked(const std::string& part) const; // with m_mutex held

    std::vector<std::string> m_args;
    std::string m_program;
    pid_t m_pid = -1;
    int m_pidfd = -1;
    int m_outFd = -1; // memory file that takes the child's standard output
    bool m_exited = false;
    int m_exitCode = -1;
    std::thread m_reader; // drains the child's standard error until EOF
    mutable std::mutex m_mutex;
    std::condition_variable m_changed; // with m_mutex: a new line arrived or EOF
    std::vector<std::string> m_lines;  // guarded by m_mutex; written by m_reader
    bool m_eof = false;                // guarded by m_mutex
};

// True once nothing accepts TCP connections on 127.0.0.1:port and UDP can bind the port (another
// host of an earlier or concurrent run would answer in place of the one a test starts); false after
// the timeout.
bool WaitPortFree(uint16_t port, int timeoutMs);

// Runs a program of BinDir() to its end (bounded): exit code, standard output and standard error.
struct ProgramResult
{
    bool finished;
    int exitCode;
    std::string out;
    std::string err;
};
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         int timeoutMs = 10000);

// The last lines of a log, for failure messages.
std::string LogTail(const std::string& log);

// Sanitizer builds start, serve and stop more slowly; the bounds are generous on purpose.
constexpr int kReadyTimeoutMs = 30000;
constexpr int kExitTimeoutMs = 15000;
// A host of another test run may still hold the fixed port for a while.
constexpr int kPortBusyTimeoutMs = 120000;

// One runtime-host per test; TearDown stops it (SIGTERM) if the test did not.
class HostTest : public ::testing::Test
{
protected:
    // Waits for port 9600 to be free, starts the host and waits until it serves.
    void StartHost(std::vector<std::string> args = {});
    // SIGTERM, exit 0 within the timeout, and no sanitizer report on its standard error.
    void StopHost();
    void TearDown() override;

    std::unique_ptr<HostProcess> host;
};

// --- What /proc says about a process ---
long RssKiB(pid_t pid);       // VmRSS
double CpuSeconds(pid_t pid); // user + system time of all its threads
// Open descriptors (for this process, without the one that lists them).
int OpenFds(pid_t pid);
// CPU seconds the process uses during a window of `ms` milliseconds.
double CpuOver(pid_t pid, int ms);
