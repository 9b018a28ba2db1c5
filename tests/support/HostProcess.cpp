#include "tests/support/HostProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "tests/support/FinsTestClient.h"

extern char** environ;

namespace {

constexpr int kHandshakeTimeoutMs = 1000;
constexpr int kRetryWaitMs = 50;
constexpr int kPortPollMs = 200;
constexpr char kUdpBoundLine[] = "udp server is running";

// Starts path with standard output and standard error going to the given descriptors. A cross
// build's tests run under an emulator (FINS_TEST_EMULATOR, its words separated by spaces), and so
// do the programs they start: the kernel need not know how to run the target's binaries.
pid_t Spawn(const std::string& path, std::vector<std::string> args, int outFd, int errFd)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
    std::vector<std::string> words;
#ifdef FINS_TEST_EMULATOR
    std::istringstream emulator(FINS_TEST_EMULATOR);
    for (std::string word; emulator >> word;) {
        words.push_back(word);
    }
#endif
    words.push_back(path);
    std::vector<char*> argv;
    for (std::string& a : words) {
        argv.push_back(a.data());
    }
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

int DecodeStatus(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

std::string BinDir()
{
    const char* dir = getenv("FINS_BIN_DIR");
    return dir != nullptr && *dir != '\0' ? dir : "bin";
}

HostProcess::HostProcess(std::vector<std::string> args, std::string program)
    : m_args(std::move(args)), m_program(std::move(program))
{}

HostProcess::~HostProcess()
{
    if (m_pid > 0 && !m_exited) {
        kill(m_pid, SIGKILL);
        Reap(0);
    }
    if (m_reader.joinable()) {
        m_reader.join();
    }
    for (int fd : {m_pidfd, m_outFd}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

bool HostProcess::Start()
{
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        return false;
    }
    const std::string path = BinDir() + "/" + m_program;
    m_outFd = memfd_create("stdout", MFD_CLOEXEC);
    m_pid = Spawn(path, m_args, m_outFd, pipeFds[1]);
    close(pipeFds[1]);
    if (m_pid <= 0) {
        close(pipeFds[0]);
        return false;
    }
    m_pidfd = static_cast<int>(syscall(SYS_pidfd_open, m_pid, 0));
    m_reader = std::thread(&HostProcess::ReadLog, this, pipeFds[0]);
    return true;
}

void HostProcess::ReadLog(int fd)
{
    std::string pending;
    char buf[4096];
    ssize_t n = 0;
    while ((n = read(fd, buf, sizeof(buf))) != 0) {
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        pending.append(buf, static_cast<size_t>(n));
        std::lock_guard<std::mutex> lock(m_mutex);
        for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
            m_lines.push_back(pending.substr(0, nl));
            pending.erase(0, nl + 1);
        }
        m_changed.notify_all();
    }
    close(fd);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!pending.empty()) {
        m_lines.push_back(pending);
    }
    m_eof = true;
    m_changed.notify_all();
}

bool HostProcess::Reap(int options)
{
    int status = 0;
    pid_t r = waitpid(m_pid, &status, options);
    if (r == m_pid) {
        m_exited = true;
        m_exitCode = DecodeStatus(status);
    }
    return m_exited;
}

bool HostProcess::Running()
{
    return m_pid > 0 && !m_exited && !Reap(WNOHANG);
}

bool HostProcess::WaitReady(int timeoutMs, uint16_t port)
{
    long long deadline = NowMs() + timeoutMs;
    if (!WaitForLog(kUdpBoundLine, 1, timeoutMs)) {
        return false;
    }
    while (NowMs() < deadline && Running()) {
        FinsTestClient client;
        if (client.ConnectTcp(port, kHandshakeTimeoutMs) && client.Handshake(0)) {
            return true;
        }
        // Not up yet: wait for the host to say something more, or a short while.
        std::unique_lock<std::mutex> lock(m_mutex);
        size_t seen = m_lines.size();
        m_changed.wait_for(lock, std::chrono::milliseconds(kRetryWaitMs),
                           [&] { return m_lines.size() != seen || m_eof; });
    }
    return false;
}

bool HostProcess::Signal(int sig)
{
    return m_pid > 0 && !m_exited && kill(m_pid, sig) == 0;
}

bool HostProcess::WaitExit(int timeoutMs, int* exitCode)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    if (m_pid > 0 && !m_exited && m_pidfd >= 0) {
        pollfd p{m_pidfd, POLLIN, 0};
        (void)poll(&p, 1, timeoutMs); // readable once the child has ended
    }
    if (m_pid > 0 && !m_exited) {
        Reap(WNOHANG);
    }
    if (!m_exited) {
        return false;
    }
    if (exitCode != nullptr) {
        *exitCode = m_exitCode;
    }
    // The child's last lines may still be in the pipe when it has ended: the output is whole
    // only once the reader has met its end.
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_until(lock, deadline, [this] { return m_eof; });
}

std::string HostProcess::Output() const
{
    std::string out;
    char buf[4096];
    ssize_t n = 0;
    for (off_t at = 0; m_outFd >= 0 && (n = pread(m_outFd, buf, sizeof(buf), at)) > 0; at += n) {
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

std::string HostProcess::Log() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string all;
    for (const std::string& line : m_lines) {
        all += line + "\n";
    }
    return all;
}

int HostProcess::CountLocked(const std::string& part) const
{
    int n = 0;
    for (const std::string& line : m_lines) {
        n += line.find(part) != std::string::npos ? 1 : 0;
    }
    return n;
}

int HostProcess::CountLog(const std::string& part) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return CountLocked(part);
}

bool HostProcess::WaitForLog(const std::string& part, int count, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                       [&] { return CountLocked(part) >= count || m_eof; });
    return CountLocked(part) >= count;
}

namespace {

// Whether a UDP socket could bind the port on every address, as the server's endpoint does.
bool UdpPortFree(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = LoopbackAddr(port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    bool bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    close(fd); // harmless on -1
    return bound;
}

} // namespace

bool WaitPortFree(uint16_t port, int timeoutMs)
{
    long long deadline = NowMs() + timeoutMs;
    for (;;) {
        FinsTestClient probe;
        if (!probe.ConnectTcp(port, kPortPollMs) && UdpPortFree(port)) {
            return true;
        }
        probe.Close();
        if (NowMs() >= deadline) {
            return false;
        }
        (void)poll(nullptr, 0, kPortPollMs); // a timed wait; nothing to watch
    }
}

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         int timeoutMs)
{
    HostProcess child(args, program); // killed on the way out if still running
    ProgramResult result{false, -1, "", ""};
    result.finished = child.Start() && child.WaitExit(timeoutMs, &result.exitCode);
    result.out = child.Output();
    result.err = child.Log();
    return result;
}

namespace {

constexpr size_t kLogTailLines = 40;
constexpr const char* kSanitizerMarks[] = {"AddressSanitizer", "LeakSanitizer",
                                           "runtime error:", "ThreadSanitizer"};
// utime and stime are fields 14 and 15 of /proc/PID/stat; counted from field 3, which is the
// first one after the command name's closing parenthesis.
constexpr int kUtimeToken = 14 - 3;

// The first line of a sanitizer report in a log, or "" when there is none.
std::string SanitizerReport(const std::string& log)
{
    for (const char* mark : kSanitizerMarks) {
        const size_t at = log.find(mark);
        if (at != std::string::npos) {
            const size_t begin = log.rfind('\n', at);
            const size_t start = begin == std::string::npos ? 0 : begin + 1;
            return log.substr(start, log.find('\n', at) - start);
        }
    }
    return "";
}

} // namespace

std::string LogTail(const std::string& log)
{
    size_t pos = log.size();
    for (size_t lines = 0; pos > 0 && lines <= kLogTailLines; ++lines) {
        pos = log.rfind('\n', pos - 1);
        if (pos == std::string::npos) {
            return log;
        }
    }
    return log.substr(pos);
}

void HostTest::StartHost(std::vector<std::string> args)
{
    // A host that finds the port taken by another server ends at once: wait for it to be free.
    ASSERT_TRUE(WaitPortFree(TestPort(), kPortBusyTimeoutMs))
        << "another process serves port " << TestPort();
    host = std::make_unique<HostProcess>(std::move(args));
    ASSERT_TRUE(host->Start());
    ASSERT_TRUE(host->WaitReady(kReadyTimeoutMs)) << LogTail(host->Log());
}

void HostTest::StopHost()
{
    ASSERT_TRUE(host->Signal(SIGTERM)) << "the host is no longer running\n" << LogTail(host->Log());
    int code = -1;
    ASSERT_TRUE(host->WaitExit(kExitTimeoutMs, &code)) << LogTail(host->Log());
    const std::string log = host->Log();
    EXPECT_EQ(code, 0) << LogTail(log);
    EXPECT_EQ(SanitizerReport(log), "") << LogTail(log);
}

void HostTest::TearDown()
{
    if (host == nullptr) {
        return;
    }
    if (host->Running()) {
        StopHost();
        return;
    }
    // Ended without being asked, or already stopped by the test: a report must not be missed, so
    // the output is read to its end first.
    EXPECT_TRUE(host->WaitExit(kExitTimeoutMs, nullptr));
    EXPECT_EQ(SanitizerReport(host->Log()), "") << LogTail(host->Log());
}

long RssKiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    const std::string name = "VmRSS:";
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, name.size(), name) == 0) {
            return std::stol(line.substr(name.size()));
        }
    }
    return -1;
}

double CpuSeconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)),
                           std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(text.substr(close + 1));
    std::string token;
    unsigned long long ticks = 0;
    for (int i = 0; i <= kUtimeToken + 1 && fields >> token; ++i) {
        if (i >= kUtimeToken) {
            ticks += std::stoull(token);
        }
    }
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int OpenFds(pid_t pid)
{
    std::error_code error;
    std::filesystem::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd", error);
    const int count = static_cast<int>(std::distance(fds, std::filesystem::directory_iterator()));
    return error ? -1 : count - (pid == getpid() ? 1 : 0);
}

double CpuOver(pid_t pid, int ms)
{
    const double before = CpuSeconds(pid);
    (void)poll(nullptr, 0, ms); // a timed wait, nothing to watch
    return CpuSeconds(pid) - before;
}
