#include "tests/reliability/ReliabilityFixture.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

namespace reltest {

namespace {

using finstest::NowMs;

constexpr uint16_t kFillChunkWords = 1000;
constexpr int kSettlePollMs = 100;
constexpr int kSettleSamples = 3;
constexpr int kSettleTimeoutMs = 5000;
constexpr size_t kLogTailLines = 40;
constexpr int kPortFreeTimeoutMs = 60000;
constexpr int kSmallSocketBuffer = 65536;
// utime and stime are fields 14 and 15 of /proc/PID/stat; counted from field 3, which is the
// first one after the command name's closing parenthesis.
constexpr int kUtimeToken = 14 - 3;
constexpr const char* kSanitizerMarks[] = {"AddressSanitizer", "LeakSanitizer",
                                           "runtime error:", "ThreadSanitizer"};

// A "Name:   value kB" line of /proc/PID/status; -1 when absent.
long StatusKiB(pid_t pid, const std::string& name)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, name.size(), name) == 0) {
            return std::stol(line.substr(name.size()));
        }
    }
    return -1;
}

bool WaitFor(int fd, short events, long long deadline)
{
    for (;;) {
        const long long left = deadline - NowMs();
        pollfd p{fd, events, 0};
        if (left <= 0) {
            return false;
        }
        const int ready = poll(&p, 1, static_cast<int>(left));
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

// Polls until every fd in `pending` has connected; false at the deadline or on a failed connect.
bool AwaitConnected(std::vector<int> pending, long long deadline)
{
    std::vector<pollfd> polls;
    while (!pending.empty()) {
        polls.clear();
        for (int fd : pending) {
            polls.push_back(pollfd{fd, POLLOUT, 0});
        }
        const long long left = deadline - NowMs();
        if (left <= 0 || poll(polls.data(), polls.size(), static_cast<int>(left)) < 0) {
            return false;
        }
        pending.clear();
        for (const pollfd& p : polls) {
            int err = 0;
            socklen_t len = sizeof(err);
            if (p.revents == 0) {
                pending.push_back(p.fd);
            } else if (getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
                return false;
            }
        }
    }
    return true;
}

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

// Sockets listening on TCP port 9600, from /proc/net/tcp (local address "00000000:2580", state
// 0A). More than one means another server shares the port through SO_REUSEPORT and takes a share
// of this test's connections.
int ListenersOn9600()
{
    std::ifstream table("/proc/net/tcp");
    std::string line;
    int count = 0;
    while (std::getline(table, line)) {
        count += line.find(":2580 00000000:0000 0A ") != std::string::npos ? 1 : 0;
    }
    return count;
}

void FillDm()
{
    finstest::FinsTestClient writer;
    ASSERT_TRUE(writer.ConnectTcp());
    for (uint32_t word = 0; word < kDmWords; word += kFillChunkWords) {
        const uint32_t count = std::min<uint32_t>(kFillChunkWords, kDmWords - word);
        std::vector<uint16_t> words;
        for (uint32_t w = word; w < word + count; ++w) {
            words.push_back(PatternWord(w));
        }
        ASSERT_EQ(writer.WriteWords(finstest::kDmWord, static_cast<uint16_t>(word), words).code,
                  finstest::kRespOk)
            << "DM " << word;
    }
}

} // namespace

uint16_t PatternWord(uint32_t word)
{
    return static_cast<uint16_t>(word * 0x9E37u + 0x79B9u);
}

const Bytes& PatternWire()
{
    static const Bytes wire = [] {
        std::vector<uint16_t> words;
        for (uint32_t w = 0; w < kDmWords; ++w) {
            words.push_back(PatternWord(w));
        }
        return finstest::WordsToWire(words);
    }();
    return wire;
}

long RssKiB(pid_t pid)
{
    return StatusKiB(pid, "VmRSS:");
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
    return error ? -1 : static_cast<int>(std::distance(fds, std::filesystem::directory_iterator()));
}

double CpuOver(pid_t pid, int ms)
{
    const double before = CpuSeconds(pid);
    (void)poll(nullptr, 0, ms); // a timed wait, nothing to watch
    return CpuSeconds(pid) - before;
}

bool WaitForFds(pid_t pid, int want, int timeoutMs)
{
    const long long deadline = NowMs() + timeoutMs;
    while (OpenFds(pid) != want) {
        if (NowMs() >= deadline) {
            return false;
        }
        (void)poll(nullptr, 0, kSettlePollMs);
    }
    return true;
}

int SettledFds(pid_t pid)
{
    const long long deadline = NowMs() + kSettleTimeoutMs;
    int last = OpenFds(pid);
    for (int same = 1; same < kSettleSamples && NowMs() < deadline;) {
        (void)poll(nullptr, 0, kSettlePollMs);
        const int now = OpenFds(pid);
        same = now == last ? same + 1 : 1;
        last = now;
    }
    return last;
}

void RaiseOwnOpenFileLimit()
{
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        (void)setrlimit(RLIMIT_NOFILE, &lim); // the tests that need more check their own counts
    }
}

void Figure(const std::string& name, const std::string& value)
{
    ::testing::Test::RecordProperty(name, value);
    std::cout << "[ figure   ] " << name << " = " << value << std::endl;
}

int StartConnect()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(finstest::kFinsPort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 &&
        errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

std::vector<int> ConnectMany(size_t n, int timeoutMs)
{
    std::vector<int> fds;
    for (size_t i = 0; i < n; ++i) {
        const int fd = StartConnect();
        if (fd < 0) {
            CloseAll(fds);
            return fds;
        }
        fds.push_back(fd);
    }
    if (!AwaitConnected(fds, NowMs() + timeoutMs)) {
        CloseAll(fds);
    }
    return fds;
}

void UseSmallBuffers(int fd)
{
    for (int option : {SO_SNDBUF, SO_RCVBUF}) {
        (void)setsockopt(fd, SOL_SOCKET, option, &kSmallSocketBuffer, sizeof(kSmallSocketBuffer));
    }
}

bool SendBigReads(int fd, int reads)
{
    Bytes requests;
    for (int i = 0; i < reads; ++i) {
        const Bytes r = DmReadRequest(static_cast<uint8_t>(i), 0, kMaxReadWords);
        requests.insert(requests.end(), r.begin(), r.end());
    }
    return SendAllTo(fd, requests);
}

int NonReadingClient(int reads)
{
    std::vector<int> fds = ConnectMany(1);
    if (fds.empty()) {
        return -1;
    }
    UseSmallBuffers(fds[0]);
    if (!SendBigReads(fds[0], reads)) {
        CloseAll(fds);
        return -1;
    }
    return fds[0];
}

void CloseWithReset(int fd)
{
    const linger hard{1, 0};
    (void)setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
    close(fd);
}

void CloseAll(std::vector<int>& fds)
{
    for (int fd : fds) {
        close(fd);
    }
    fds.clear();
}

bool SendAllTo(int fd, const Bytes& bytes, int timeoutMs)
{
    const long long deadline = NowMs() + timeoutMs;
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n >= 0) {
            sent += static_cast<size_t>(n);
        } else if ((errno != EAGAIN && errno != EINTR) || !WaitFor(fd, POLLOUT, deadline)) {
            return false;
        }
    }
    return true;
}

bool StaysQuiet(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 0;
}

Bytes DmReadRequest(uint8_t sid, uint16_t word, uint16_t count)
{
    return finstest::TcpWrap(finstest::kTcpFrame,
                             finstest::FinsRead(sid, finstest::kDmWord, word, 0, count));
}

Bytes DmReadReply(uint8_t sid, uint16_t word, uint16_t count)
{
    Bytes fins = {0xC0, 0x00, 0x02, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00, sid, 0x01, 0x01, 0, 0};
    const Bytes& wire = PatternWire();
    fins.insert(fins.end(), wire.begin() + 2 * word, wire.begin() + 2 * (word + count));
    return finstest::TcpWrap(finstest::kTcpFrame, fins);
}

std::vector<bool> RoundTrip(const std::vector<int>& fds, uint16_t word, int timeoutMs)
{
    const long long deadline = NowMs() + timeoutMs;
    std::vector<bool> answered(fds.size(), false);
    std::vector<Bytes> got(fds.size());
    std::vector<size_t> pending;
    for (size_t i = 0; i < fds.size(); ++i) {
        if (SendAllTo(fds[i], DmReadRequest(static_cast<uint8_t>(i), word, 1), timeoutMs)) {
            pending.push_back(i);
        }
    }
    const size_t replyLen = DmReadReply(0, word, 1).size();
    std::vector<pollfd> polls;
    while (!pending.empty() && NowMs() < deadline) {
        polls.clear();
        for (size_t i : pending) {
            polls.push_back(pollfd{fds[i], POLLIN, 0});
        }
        if (poll(polls.data(), polls.size(), static_cast<int>(deadline - NowMs())) <= 0) {
            continue; // timed out (the loop ends) or interrupted
        }
        std::vector<size_t> still;
        for (size_t k = 0; k < pending.size(); ++k) {
            const size_t i = pending[k];
            uint8_t buf[256];
            const ssize_t r = polls[k].revents != 0 ? recv(fds[i], buf, sizeof(buf), 0) : -1;
            if (r > 0) {
                got[i].insert(got[i].end(), buf, buf + r);
            }
            const bool ended =
                r == 0 || (r < 0 && polls[k].revents != 0 && errno != EAGAIN && errno != EINTR);
            if (got[i].size() >= replyLen) {
                answered[i] = got[i] == DmReadReply(static_cast<uint8_t>(i), word, 1);
            } else if (!ended) {
                still.push_back(i); // nothing yet, or part of the reply
            }
        }
        pending.swap(still);
    }
    return answered;
}

size_t CountTrue(const std::vector<bool>& flags)
{
    size_t n = 0;
    for (bool f : flags) {
        n += f ? 1 : 0;
    }
    return n;
}

bool ServedCorrectly(bool udp, uint16_t word)
{
    finstest::FinsTestClient client;
    if (!(udp ? client.OpenUdp() : client.ConnectTcp())) {
        return false;
    }
    const finstest::FinsResult r = client.ReadWords(finstest::kDmWord, word, 1);
    const Bytes& wire = PatternWire();
    return r.answered && r.code == finstest::kRespOk &&
           r.data == Bytes(wire.begin() + 2 * word, wire.begin() + 2 * word + 2);
}

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

Background::Background(std::function<void(const std::atomic<bool>& stop)> body)
    : m_thread([this, body = std::move(body)] { body(m_stop); })
{}

Background::~Background()
{
    Stop();
}

void Background::Stop()
{
    m_stop.store(true);
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void ReliabilityTest::StartHost()
{
    // A host that finds the port taken by another server ends at once: wait for it to be free.
    ASSERT_TRUE(finstest::WaitPortFree(finstest::kFinsPort, kPortFreeTimeoutMs))
        << "another process serves port 9600";
    host = std::make_unique<finstest::HostProcess>(std::vector<std::string>{});
    ASSERT_TRUE(host->Start());
    ASSERT_TRUE(host->WaitReady(kReadyTimeoutMs)) << LogTail(host->Log());
    pid = host->Pid();
    FillDm();
    baselineFds = SettledFds(pid);
    ASSERT_GT(baselineFds, 0);
}

void ReliabilityTest::StopHost()
{
    ASSERT_TRUE(host->Signal(SIGTERM)) << "the host is no longer running\n" << LogTail(host->Log());
    int code = -1;
    ASSERT_TRUE(host->WaitExit(kExitTimeoutMs, &code)) << LogTail(host->Log());
    const std::string log = host->Log();
    EXPECT_EQ(code, 0) << LogTail(log);
    EXPECT_EQ(SanitizerReport(log), "") << LogTail(log);
}

void ReliabilityTest::TearDown()
{
    if (host == nullptr) {
        return;
    }
    if (HasFailure() && ListenersOn9600() > 1) {
        ADD_FAILURE() << "another process listens on port 9600 beside this test's host: it may "
                         "have taken some of the test's connections";
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

void ReliabilityTest::ExpectServing()
{
    ASSERT_TRUE(host->Running()) << LogTail(host->Log());
    EXPECT_TRUE(ServedCorrectly(false)) << "TCP";
    EXPECT_TRUE(ServedCorrectly(true)) << "UDP";
}

void ReliabilityTest::ExpectIdle(const std::string& when)
{
    const double cpu = CpuOver(pid, kIdleWindowMs);
    Figure("cpu_seconds_per_second_" + when, std::to_string(cpu));
    EXPECT_LT(cpu, kIdleCpuShare * kIdleWindowMs / 1000.0) << "the host is busy " << when;
}

} // namespace reltest
