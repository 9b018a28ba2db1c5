// The loop's pool, its epoll registrations and its threads.
#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>

#include "tests/net/NetHarness.h"

namespace {

constexpr unsigned int kServerPriorityForTest = 21;

// A record in use for one end of a socket pair; the other end is `other`.
struct PairedRecord
{
    explicit PairedRecord(CEventLoop& loop)
    {
        int sv[2] = {-1, -1};
        EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv));
        loop.init_connections(1);
        conn = loop.get_connection(sv[0]);
        other = sv[1];
    }
    ~PairedRecord() { close(other); }
    CSocketConnection* conn = nullptr;
    int other = -1;
};

// --- Pool ---

class Pool : public ::testing::Test
{
protected:
    FakeLogger log;
    CEventLoop loop;
};
using Registration = Pool;

// Records closed 0, 59, 60 and 61 seconds ago, queued youngest first: one sweep walks the whole
// queue and frees exactly those whose delay is over.
TEST_F(Pool, SweepFreesEveryRecordWhoseDelayIsOverAndOnlyThose)
{
    loop.init_connections(4);
    const int64_t ages[] = {0, kRecycleWaitSec - 1, kRecycleWaitSec, kRecycleWaitSec + 1};
    std::vector<CSocketConnection*> conns;
    for (int64_t age : ages) {
        conns.push_back(loop.get_connection(-1));
        loop.close_connections(conns.back());
        EventLoopTestPeer::backdate(loop, conns.back(), time(nullptr) - age);
    }
    loop.IdelRecyConnections();
    EXPECT_EQ((std::vector<CSocketConnection*>{conns[0], conns[1]}),
              EventLoopTestPeer::recycleList(loop));
    EXPECT_EQ((std::vector<CSocketConnection*>{conns[2], conns[3]}),
              EventLoopTestPeer::freeList(loop));
    EXPECT_EQ(2, EventLoopTestPeer::recycleCount(loop));
}

// Fresh records (use counter 1, no socket) fill the free list, which is first in, first out; one
// use and its close raise the counter by three. Past its initial size the pool grows, and the new
// record is recycled like the others.
TEST_F(Pool, FreeListIsFirstInFirstOutGrowsWhenEmptyAndAUseRaisesTheSequenceByThree)
{
    EXPECT_EQ(0, loop.init_connections(3));
    EXPECT_EQ(3u, EventLoopTestPeer::allCount(loop));
    const auto order = EventLoopTestPeer::freeList(loop);
    ASSERT_EQ(3u, order.size());
    for (CSocketConnection* conn : order) {
        EXPECT_EQ(1u, conn->iCurrsequence.load());
        EXPECT_EQ(-1, conn->fd.load());
    }
    CSocketConnection* first = loop.get_connection(-1);
    ASSERT_EQ(order[0], first);
    loop.close_connections(first);
    EventLoopTestPeer::backdate(loop, first, 0);
    loop.IdelRecyConnections();
    EXPECT_EQ(4u, first->iCurrsequence.load());
    EXPECT_EQ(order[1], loop.get_connection(-1));
    EXPECT_EQ(order[2], loop.get_connection(-1));
    EXPECT_EQ(first, loop.get_connection(-1));
    CSocketConnection* grown = loop.get_connection(-1);
    EXPECT_EQ(4u, EventLoopTestPeer::allCount(loop));
    EXPECT_EQ(0, std::count(order.begin(), order.end(), grown));
    loop.close_connections(grown);
    EventLoopTestPeer::backdate(loop, grown, 0);
    loop.IdelRecyConnections();
    EXPECT_EQ(std::vector<CSocketConnection*>{grown}, EventLoopTestPeer::freeList(loop));
    EXPECT_EQ(grown, loop.get_connection(-1));
}

TEST_F(Pool, SecondCloseLogsAgainButQueuesOnceAndKeepsTimeAndSequence)
{
    PairedRecord pair(loop);
    CSocketConnection* conn = pair.conn;
    const uint64_t seq = conn->iCurrsequence.load();
    loop.close_connections(conn);
    EXPECT_EQ(-1, conn->fd.load());
    EXPECT_TRUE(WaitPeerClose(pair.other, 1000));
    EventLoopTestPeer::backdate(loop, conn, 1234);
    loop.close_connections(conn);
    EXPECT_EQ(std::vector<CSocketConnection*>{conn}, EventLoopTestPeer::recycleList(loop));
    EXPECT_EQ(seq + 1, conn->iCurrsequence.load());
    EXPECT_EQ(2, log.countContaining("close connection:"));
}

// --- Registrations ---

// A registration change the system refuses is reported and logged with its arguments; a listener
// without a server is refused.
TEST_F(Registration, RefusedChangesAreReportedAndLogged)
{
    PairedRecord pair(loop);
    const int fd = pair.conn->fd.load();
    const int ep = loop.get_read_epoll_fd();
    EXPECT_EQ(0, loop.epoll_oper_event(ep, fd, EPOLL_CTL_ADD, EPOLLIN, EPOLL_MODE_ADD, pair.conn));
    EXPECT_EQ(0, loop.epoll_oper_event(ep, fd, EPOLL_CTL_DEL, 0, 0, pair.conn));
    EXPECT_EQ(0, log.countContaining("epoll_ctl("));
    EXPECT_EQ(-1, loop.epoll_oper_event(ep, fd, EPOLL_CTL_DEL, 0, 0, pair.conn));
    EXPECT_EQ(1, log.countContaining("epoll_ctl(" + std::to_string(fd) + ",2,0,0)fail,error:"));
    EXPECT_EQ(-1, loop.epoll_add_listen_event(nullptr, &ISocketServer::sock_event_accept,
                                              RecordKind::Listener));
}

// --- Threads ---

std::set<std::string> ThreadNames()
{
    std::set<std::string> names;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        if (std::getline(comm, name)) {
            names.insert(name);
        }
    }
    return names;
}

TEST(Threads, StartNamesTheThreeThreadsAndStopJoinsThemWithinOneWait)
{
    FakeLogger log;
    AppMemory mem;
    LoopHarness h;
    for (const char* name : {"finsEpollRd", "finsEpollWr", "SockSend"}) {
        EXPECT_TRUE(WaitUntil([name] { return ThreadNames().count(name) == 1; })) << name;
    }
    const auto start = std::chrono::steady_clock::now();
    h.loop->event_stop();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(kEpollWaitMs + 1000));
    EXPECT_EQ(1, log.count("eventloop all thread ready stop"));
    EXPECT_EQ(1, log.count("eventloop all thread stop success"));
    EXPECT_EQ(0u, ThreadNames().count("SockSend"));
}

// Which of the loop's threads (made in the order reader, writer, send) the stand-in refuses (-1:
// every one), as glibc refuses: the id is written before the thread would have existed.
std::atomic<int> s_threadsMade{0};
int s_refusedThread = -1;

int RefuseThread(pthread_t* tid, const pthread_attr_t* attr, void* (*start)(void*), void* arg)
{
    const int made = s_threadsMade.fetch_add(1);
    if (s_refusedThread != -1 && made != s_refusedThread) {
        return pthread_create(tid, attr, start, arg);
    }
    *tid = static_cast<pthread_t>(0xDEAD);
    return EPERM;
}

// Regressions: a failed start left the never-created thread's id behind, and the stop joined
// it; and a start that lost one thread reported success (the send thread's result) with the
// others running. Now it reports -1 with the started threads stopped and joined.
TEST(Threads, FailedStartOfAnyThreadReportsFailureAndLeavesNoThreadRunning)
{
    // At priority 0 a refused thread is tried once: the reader (0), the send thread (2) or all.
    for (int refused : {-1, 0, 2}) {
        SCOPED_TRACE(refused);
        FakeLogger log;
        CEventLoop loop;
        s_threadsMade = 0;
        s_refusedThread = refused;
        EventLoopTestPeer::setThreadCreate(loop, &RefuseThread);
        EXPECT_EQ(-1, loop.event_start(0));
        EXPECT_EQ(refused == -1 ? 3 : 1,
                  log.countContaining("pthread_create realtime thread fail"));
        ASSERT_EQ(std::vector<pthread_t>(3, 0), EventLoopTestPeer::threadIds(loop));
        loop.event_stop();
    }
}

struct SchedSeen
{
    std::atomic<int> policy{-1};
    std::atomic<int> priority{-1};
};

void* RecordSched(void* arg)
{
    auto* seen = static_cast<SchedSeen*>(arg);
    int policy = 0;
    sched_param param{};
    pthread_getschedparam(pthread_self(), &policy, &param);
    seen->priority.store(param.sched_priority);
    seen->policy.store(policy);
    return nullptr;
}

// Runs one CreateRealtimeThread and reports what the thread saw.
int CreateAndObserve(CEventLoop& loop, unsigned priority, SchedSeen& seen)
{
    pthread_t tid = 0;
    const int rc = loop.CreateRealtimeThread(&tid, &RecordSched, &seen, priority);
    if (rc == 0) {
        pthread_join(tid, nullptr);
    }
    return rc;
}

// Takes CAP_SYS_NICE out of this process's effective set, so SCHED_FIFO is refused as for an
// unprivileged user.
bool DropNiceCapability()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0) {
        return false;
    }
    data[0].effective &= ~(1u << CAP_SYS_NICE);
    const rlimit none{0, 0};
    return syscall(SYS_capset, &header, data) == 0 && setrlimit(RLIMIT_RTPRIO, &none) == 0;
}

// Regression: with real-time scheduling refused (EPERM) the server was left without threads.
TEST(Threads, RefusedRealtimeSchedulingLogsAndFallsBackToOrdinaryScheduling)
{
    const pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
        int failures = 0;
        {
            FakeLogger log;
            CEventLoop loop;
            SchedSeen seen;
            failures += DropNiceCapability() ? 0 : 1;
            failures += CreateAndObserve(loop, 21, seen) == 0 ? 0 : 2;
            failures += seen.policy.load() == SCHED_OTHER ? 0 : 4;
            failures +=
                log.countContaining("pthread_create realtime thread fail,error:1,") == 1 ? 0 : 8;
            failures += log.countContaining("ordinary scheduling") == 1 ? 0 : 16;
        }
        _exit(failures);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status)) << "bit 1: cap drop, 2: create, 4: policy, 8/16: log";
}

TEST(Threads, WithPrivilegeThreadsRunFifoAtTheRequestedPriorityCappedAt99)
{
    FakeLogger log;
    CEventLoop loop;
    SchedSeen probe;
    if (CreateAndObserve(loop, 21, probe) != 0 || probe.policy.load() != SCHED_FIFO) {
        GTEST_SKIP() << "this process may not use SCHED_FIFO";
    }
    EXPECT_EQ(21, probe.priority.load());
    SchedSeen capped;
    ASSERT_EQ(0, CreateAndObserve(loop, 150, capped));
    EXPECT_EQ(SCHED_FIFO, capped.policy.load());
    EXPECT_EQ(99, capped.priority.load());
    SchedSeen ordinary;
    ASSERT_EQ(0, CreateAndObserve(loop, 0, ordinary));
    EXPECT_EQ(SCHED_OTHER, ordinary.policy.load());
    EXPECT_EQ(0, log.countContaining("pthread_create"));
}

} // namespace
