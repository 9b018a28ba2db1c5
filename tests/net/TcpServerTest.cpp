// FINS/TCP through the running loop on 127.0.0.1: accept, framing, the send path with partial
// writes, the backlog bound, closes while responses are queued, teardown and restarts.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "base/LogLimiter.h"
#include "tests/net/NetHarness.h"
#include "tests/support/HostProcess.h"

namespace {

// A client that shrinks its receive buffer and does not read, so responses back up.
constexpr int kTinyRcvBuf = 4096;
constexpr double kIdleCpuLimit = 0.05; // CPU seconds over one idle second
constexpr int kLongWaitMs = 60000;     // reading megabytes under the sanitizers

uint16_t BigReadAddr(int i)
{
    return static_cast<uint16_t>((i * 131) % 30000);
}

// n reads of 2000 words each, and the exact bytes of their responses.
std::string BigReads(int n, std::string* replies)
{
    std::string burst;
    for (int i = 0; i < n; ++i) {
        burst += DmReadTcp(static_cast<uint8_t>(i), BigReadAddr(i), kBigRead);
        *replies += DmReadReplyTcp(static_cast<uint8_t>(i), BigReadAddr(i), kBigRead);
    }
    return burst;
}

// One request on fd answered with the exact reply.
bool Answered(int fd, uint8_t sid, uint16_t addr = 7)
{
    const std::string reply = DmReadReplyTcp(sid, addr, 10);
    std::string got;
    return SendAll(fd, DmReadTcp(sid, addr, 10)) && RecvExact(fd, reply.size(), got) &&
           got == reply;
}

// One request and its reply on a fresh connection: the server is serving.
bool Served(uint16_t port, uint8_t sid = 0x42)
{
    const int fd = ConnectTcp(port);
    const bool ok = fd != -1 && Answered(fd, sid);
    close(fd);
    return ok;
}

class TcpLoop : public ::testing::Test
{
protected:
    // The record of the single connection in use, once the loop has it.
    CSocketConnection* WaitRecord()
    {
        CSocketConnection* found = nullptr;
        WaitUntil([&] { return (found = EventLoopTestPeer::onlyConnection(*h->loop)) != nullptr; });
        return found;
    }

    void TearDown() override
    {
        if (slow != -1) {
            close(slow);
        }
    }

    // A client that shrinks its receive buffer and sends n 2000-word reads without reading;
    // returns once the loop holds a response it could write only in part.
    void BackUp(int n)
    {
        slow = ConnectTcp(h->tcpPort, kTinyRcvBuf);
        ASSERT_TRUE(SendAll(slow, BigReads(n, &expected)));
        conn = WaitRecord();
        ASSERT_NE(nullptr, conn);
        ASSERT_TRUE(WaitUntil([&] { return conn->iWritePending.load() > 0; }));
    }

    // The backed-up client reads every response: all of them, byte-exact and in order.
    void ReadEverything()
    {
        std::string got;
        ASSERT_TRUE(RecvExact(slow, expected.size(), got, kLongWaitMs));
        EXPECT_TRUE(got == expected);
    }

    void ResetSlow()
    {
        ResetClose(slow);
        slow = -1;
    }

    FakeLogger log;
    AppMemory mem;
    std::unique_ptr<LoopHarness> h = std::make_unique<LoopHarness>();
    int slow = -1;
    CSocketConnection* conn = nullptr;
    std::string expected;
};

// Regression: a client that closes its sending side after its last request still gets every
// reply, then the close. More replies are owed than the backlog bound lets queue at once, so the
// end of the stream is seen while reading is paused and again while replies are being written.
TEST_F(TcpLoop, HalfClosedClientGetsEveryOwedReplyAndThenTheClose)
{
    const int fd = ConnectTcp(h->tcpPort, kTinyRcvBuf);
    std::string replies;
    ASSERT_TRUE(SendAll(fd, BigReads(400, &replies)));
    ASSERT_EQ(0, shutdown(fd, SHUT_WR));
    std::string got;
    EXPECT_TRUE(RecvExact(fd, replies.size(), got, 4 * kWaitMs));
    EXPECT_TRUE(got == replies) << got.size() << " of " << replies.size() << " bytes";
    EXPECT_TRUE(WaitPeerClose(fd));
    close(fd);
}

TEST_F(TcpLoop, AcceptedConnectionCarriesItsAddressesAndSocketOptions)
{
    const int fd = ConnectTcp(h->tcpPort);
    const std::string peer = "127.0.0.1:" + std::to_string(ntohs(LocalAddr(fd).sin_port));
    // The log line is written after the record is filled in, so seeing it orders the reads below.
    ASSERT_TRUE(WaitUntil([&] { return log.countContaining("new tcp connection:" + peer) == 1; }));
    conn = WaitRecord();
    ASSERT_NE(nullptr, conn);
    EXPECT_STREQ(peer.c_str(), conn->szPeerAddr);
    EXPECT_STREQ("127.0.0.1", conn->szLocalAddr);
    EXPECT_EQ(1, log.count("new tcp connection:" + peer +
                           " Success,fd:" + std::to_string(conn->fd.load())));
    struct Option
    {
        int level;
        int name;
        int value;
    };
    for (const Option& o :
         {Option{IPPROTO_TCP, TCP_NODELAY, 1}, Option{SOL_SOCKET, SO_KEEPALIVE, 1},
          Option{IPPROTO_TCP, TCP_KEEPIDLE, kKeepAliveIdleSec},
          Option{IPPROTO_TCP, TCP_KEEPINTVL, kKeepAliveIntervalSec},
          Option{IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveProbes}}) {
        int value = -1;
        socklen_t size = sizeof(value);
        ASSERT_EQ(0, getsockopt(conn->fd.load(), o.level, o.name, &value, &size));
        EXPECT_EQ(o.value, value) << o.name;
    }
    close(fd);
}

// Regressions: with SO_REUSEPORT a second server bound beside the first and took half of the new
// connections; and an endpoint whose bind failed was registered anyway, so the reader thread spun
// on its hang-up, logging "accept error" at line rate.
TEST_F(TcpLoop, SecondServerOnTheSamePortIsRefusedAndNeverWatched)
{
    log.clear();
    TcpServer twin("127.0.0.1", h->tcpPort);
    EXPECT_EQ(1, log.count("bind error:Address already in use"));
    EXPECT_EQ(0, log.countContaining("tcp server is running"));
    EXPECT_EQ(-1, twin.get_listen_sock());
    CEventLoop other;
    EXPECT_EQ(-1, other.epoll_add_listen_event(&twin, &ISocketServer::sock_event_accept,
                                               RecordKind::Listener));
    other.event_start(0);
    EXPECT_LT(CpuOver(getpid(), 300), kIdleCpuLimit);
    other.event_stop();
    EXPECT_EQ(0, log.countContaining("accept error"));
    EXPECT_EQ(0, log.countContaining("epoll_ctl"));
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(Served(h->tcpPort, static_cast<uint8_t>(i))) << "the first server serves all";
    }
}

// Regression: a listener the system no longer accepts on (EINVAL, hang-up reported for ever) made
// the real-time reader thread spin and log at line rate. It rests and logs once a second instead.
TEST_F(TcpLoop, ListenerWithALastingAcceptErrorNeitherSpinsNorFloods)
{
    ASSERT_EQ(0, shutdown(h->tcp->get_listen_sock(), SHUT_RDWR));
    EXPECT_LT(CpuOver(getpid(), 1000), kIdleCpuLimit);
    const int lines = log.count("accept error:Invalid argument");
    EXPECT_GE(lines, 1);
    EXPECT_LE(lines, 2);
}

// Regression: a client that sent requests and never read made the send queue grow without limit.
TEST_F(TcpLoop, ConnectionWithAFullBacklogIsNotReadUntilItDrains)
{
    ASSERT_NO_FATAL_FAILURE(BackUp(2000));
    ASSERT_TRUE(WaitUntil([&] { return conn->bReadPaused.load(); }));
    EXPECT_LE(conn->iBacklog.load(), kBacklogPauseBlocks);
    EXPECT_LT(CpuOver(getpid(), 1000), kIdleCpuLimit);
    EXPECT_LE(conn->iBacklog.load(), kBacklogPauseBlocks);
    EXPECT_TRUE(Served(h->tcpPort)); // another connection is served meanwhile
    ReadEverything();
    EXPECT_FALSE(conn->bReadPaused.load());
    EXPECT_TRUE(Quiet(slow, 100));
}

// A peer that resets while responses are queued and one is partly written: the loop goes idle, the
// queued responses are dropped, and the record's next user gets none of them. Regression: an
// EPOLLOUT+EPOLLHUP report lowered iWritePending on every pass and kept firing.
TEST_F(TcpLoop, PeerResetWhileResponsesArePendingLeavesTheLoopIdleAndTheNextUserClean)
{
    // Listener, UDP endpoint and one connection: the next client must get the same record.
    h.reset();
    h = std::make_unique<LoopHarness>(false, 3);
    EventLoopTestPeer::setRecycleDelay(*h->loop, 0);
    h->loop->event_start(0);
    ASSERT_NO_FATAL_FAILURE(BackUp(400));
    ResetSlow();
    ASSERT_TRUE(WaitUntil([&] { return conn->fd.load() == -1; }));
    ASSERT_TRUE(WaitUntil([&] { return conn->iBacklog.load() == 0; }));
    EXPECT_LT(CpuOver(getpid(), 1000), kIdleCpuLimit);
    EXPECT_FALSE(EventLoopTestPeer::anyNegativePending(*h->loop));
    ASSERT_TRUE(WaitUntil([&] {
        return EventLoopTestPeer::freeList(*h->loop) == std::vector<CSocketConnection*>{conn};
    }));
    const int next = ConnectTcp(h->tcpPort);
    ASSERT_EQ(conn, WaitRecord());
    EXPECT_TRUE(Answered(next, 0x77, 3));
    EXPECT_TRUE(Quiet(next, 300));
    close(next);
}

// Lines containing `part`, counting each "N similar messages suppressed: TEXT" line whose TEXT
// contains it as N.
int LinesAccountedFor(const std::vector<std::string>& texts, const std::string& part)
{
    int lines = 0;
    for (const std::string& t : texts) {
        const size_t at = t.find(" similar messages suppressed: ");
        const bool has = t.find(part) != std::string::npos;
        lines += !has ? 0 : at != std::string::npos ? std::stoi(t.substr(0, at)) : 1;
    }
    return lines;
}

// Regression: a client opening connection after connection, each sending a header with length 0,
// wrote three lines per connection (opened, bad length, closed). Each text is now rate-limited,
// and once the flood stops every connection is accounted for, in its lines or in the summaries.
TEST_F(TcpLoop, ConnectionFloodLogsAFewLinesPerTextAndAccountsForTheRest)
{
    constexpr int kConnections = 40;
    for (int i = 0; i < kConnections; ++i) {
        const int fd = ConnectTcp(h->tcpPort);
        ASSERT_TRUE(SendAll(fd, Hex("46494E53 00000000 00000002 00000000")));
        EXPECT_TRUE(WaitPeerClose(fd));
        close(fd);
    }
    for (const char* text :
         {"new tcp connection:", ",recv invaild packet,size:-8", "close connection:"}) {
        SCOPED_TRACE(text);
        EXPECT_LE(log.countContaining(text), static_cast<int>(3 * kLogLimitPeerLines));
        EXPECT_TRUE(WaitUntil([&] { return LinesAccountedFor(log.texts(), text) == kConnections; },
                              3 * kLogLimitWindowMs + kEpollWaitMs))
            << LinesAccountedFor(log.texts(), text);
    }
}

// Regression: the loop's teardown left the sockets of open connections open.
TEST_F(TcpLoop, TeardownClosesOpenConnectionsAndLeaksNoDescriptor)
{
    h.reset();
    const int before = OpenFds(getpid());
    h = std::make_unique<LoopHarness>();
    const int fd = ConnectTcp(h->tcpPort);
    ASSERT_NE(nullptr, WaitRecord());
    h->stopAndDelete();
    EXPECT_TRUE(WaitPeerClose(fd));
    close(fd);
    h.reset();
    EXPECT_EQ(before, OpenFds(getpid()));
}

// --- Descriptor exhaustion, in a child with a small descriptor limit ---

// The child's exit status counts its limit lines from here, clear of a sanitizer's status 1.
constexpr int kLinesStatus = 10;
constexpr int kMaxReportedLines = 100;
constexpr int kNoPort = 255;
// Bounds the child's life should the test never close its end.
constexpr int kChildLifeMs = 60000;

// The child serves with at most `extra` descriptors beyond those it has at start until the test
// closes the other end of `cmd` (or kChildLifeMs pass). Its exit status is kLinesStatus plus the
// number of "accept errno = EMFILE" lines it logged (kMaxReportedLines at most), or kNoPort when it
// could not tell its port.
[[noreturn]] void ServeWithFewDescriptors(int cmd, int out, int extra)
{
    const rlimit limit{static_cast<rlim_t>(OpenFds(getpid()) + 3 + extra), 4096};
    setrlimit(RLIMIT_NOFILE, &limit);
    bool told = false;
    int lines = 0;
    {
        FakeLogger log;
        AppMemory mem;
        LoopHarness h;
        told = write(out, &h.tcpPort, sizeof(h.tcpPort)) == sizeof(h.tcpPort);
        pollfd closed{cmd, POLLIN, 0};
        (void)poll(&closed, 1, kChildLifeMs);
        lines = log.count("accept errno = EMFILE");
    }
    _exit(told ? kLinesStatus + std::min(lines, kMaxReportedLines) : kNoPort);
}

// Regression: accept failing with EMFILE left the level-triggered listener ready, so the real-time
// reader thread spun and flooded the log.
TEST(TcpLimits, OutOfDescriptorsNeitherSpinsNorFloodsAndServesOnceDescriptorsReturn)
{
    int toChild[2];
    int fromChild[2];
    ASSERT_EQ(0, pipe2(toChild, O_CLOEXEC));
    ASSERT_EQ(0, pipe2(fromChild, O_CLOEXEC));
    const pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
        close(toChild[1]); // the child's end of file is the test's close
        ServeWithFewDescriptors(toChild[0], fromChild[1], 20);
    }
    close(toChild[0]);
    close(fromChild[1]);
    uint16_t port = 0;
    pollfd told{fromChild[0], POLLIN, 0};
    ASSERT_EQ(1, poll(&told, 1, 4 * kWaitMs));
    ASSERT_EQ(static_cast<ssize_t>(sizeof(port)), read(fromChild[0], &port, sizeof(port)));
    // The first connection is served once before the other clients use up the child's
    // descriptors: UBSan checks a virtual call's object type the first time through a pipe, and
    // without a descriptor to spare it would report a valid object as invalid.
    std::vector<int> clients{ConnectTcp(port)};
    ASSERT_TRUE(Answered(clients[0], 1, 2));
    for (int i = 1; i < 60; ++i) {
        clients.push_back(ConnectTcp(port));
        ASSERT_NE(-1, clients.back());
    }
    // The first connection was accepted before descriptors ran out; it keeps being served.
    const long long exhausted = NowMs();
    const double cpuBefore = CpuSeconds(child);
    for (int i = 0; i < 10; ++i) {
        (void)poll(nullptr, 0, 100);
        ASSERT_TRUE(Answered(clients[0], static_cast<uint8_t>(i), 2));
    }
    // The last client waits in the listen queue: its request is answered once it is taken.
    ASSERT_TRUE(SendAll(clients.back(), DmReadTcp(0x55, 2, 10)));
    EXPECT_LT(CpuSeconds(child) - cpuBefore, 0.1);
    EXPECT_TRUE(Quiet(clients.back(), 0)) << "a connection beyond the limit was answered";
    for (size_t i = 1; i + 1 < clients.size(); ++i) {
        close(clients[i]);
    }
    const long long exhaustedMs = NowMs() - exhausted;
    std::string got;
    EXPECT_TRUE(RecvExact(clients.back(), DmReadReplyTcp(0x55, 2, 10).size(), got, kWaitMs * 2));
    EXPECT_EQ(DmReadReplyTcp(0x55, 2, 10), got);
    close(clients.back());
    EXPECT_TRUE(Served(port));
    close(clients[0]);
    close(toChild[1]);
    close(fromChild[0]);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    // Logged once when descriptors ran out, then at most once a second while they stayed out.
    const int lines = WEXITSTATUS(status) - kLinesStatus;
    EXPECT_GE(lines, 1) << "status " << WEXITSTATUS(status);
    EXPECT_LE(lines, exhaustedMs / 1000 + 2);
}

} // namespace
