#include "tests/reliability/ReliabilityFixture.h"

#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>

namespace {

constexpr uint16_t kFillChunkWords = 1000;
constexpr int kSettlePollMs = 100;
constexpr int kSettleSamples = 3;
constexpr int kSettleTimeoutMs = 5000;
constexpr int kSmallReceiveBuffer = 65536;
// A process that does nothing but wait on epoll uses next to no CPU; one that spins uses a whole
// core. Per second of wall time, less than this counts as idle.
constexpr double kIdleCpuShare = 0.2;
constexpr int kIdleWindowMs = 1000;

// The descriptor count once it has stayed the same for a few polls (bounded).
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

void FillDm()
{
    FinsTestClient writer;
    ASSERT_TRUE(writer.ConnectTcp());
    for (uint32_t word = 0; word < kDmWords; word += kFillChunkWords) {
        const uint32_t count = std::min<uint32_t>(kFillChunkWords, kDmWords - word);
        const std::vector<uint16_t> words = WireToWords(PatternWire(word, count));
        ASSERT_EQ(writer.WriteWords(kDmWord, static_cast<uint16_t>(word), words).code, kRespOk)
            << "DM " << word;
    }
}

} // namespace

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

void Figure(const std::string& name, const std::string& value)
{
    ::testing::Test::RecordProperty(name, value);
    std::cout << "[ figure   ] " << name << " = " << value << std::endl;
}

std::vector<int> ConnectMany(size_t n, int timeoutMs)
{
    std::vector<int> fds;
    while (fds.size() < n) {
        const int fd = ConnectTcp(TestPort(), 0, INADDR_ANY, timeoutMs);
        if (fd == -1) {
            CloseAll(fds);
            break;
        }
        fds.push_back(fd);
    }
    return fds;
}

int NonReadingClient(int reads)
{
    const int fd = ConnectTcp(TestPort(), kSmallReceiveBuffer);
    std::string requests;
    for (int i = 0; i < reads; ++i) {
        requests += DmReadTcp(static_cast<uint8_t>(i), 0, kMaxReadWords);
    }
    if (fd != -1 && !SendAll(fd, requests)) {
        close(fd);
        return -1;
    }
    return fd;
}

void CloseAll(std::vector<int>& fds)
{
    for (int fd : fds) {
        close(fd);
    }
    fds.clear();
}

size_t RoundTrip(const std::vector<int>& fds, uint16_t word, int timeoutMs)
{
    const long long deadline = NowMs() + timeoutMs;
    std::vector<bool> sent(fds.size(), false);
    for (size_t i = 0; i < fds.size(); ++i) {
        sent[i] = SendAll(fds[i], DmReadTcp(static_cast<uint8_t>(i), word, 1), timeoutMs);
    }
    // A reply that came while an earlier one was awaited is read at once: one deadline for all.
    size_t answered = 0;
    for (size_t i = 0; i < fds.size(); ++i) {
        const std::string want = DmReadReplyTcp(static_cast<uint8_t>(i), word, 1);
        std::string got;
        const int left = static_cast<int>(std::max(0LL, deadline - NowMs()));
        answered += sent[i] && RecvExact(fds[i], want.size(), got, left) && got == want ? 1 : 0;
    }
    return answered;
}

bool ServedCorrectly(bool udp, uint16_t word)
{
    FinsTestClient client;
    if (!(udp ? client.OpenUdp() : client.ConnectTcp())) {
        return false;
    }
    const FinsResult r = client.ReadWords(kDmWord, word, 1);
    return r.answered && r.code == kRespOk && r.data == PatternWire(word, 1);
}

void ReliabilityTest::SetUpTestSuite()
{
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        (void)setrlimit(RLIMIT_NOFILE, &lim); // the tests that need more check their own counts
    }
}

void ReliabilityTest::StartHost()
{
    HostTest::StartHost();
    if (HasFatalFailure()) {
        return;
    }
    pid = host->Pid();
    FillDm();
    baselineFds = SettledFds(pid);
    ASSERT_GT(baselineFds, 0);
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
