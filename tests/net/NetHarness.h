// Shared pieces of the network tests: application memory holding the pattern, a started loop
// with a TCP listener and a UDP endpoint on 127.0.0.1 (ephemeral ports), and EventLoopTestPeer,
// which reaches the loop's pool under its mutexes. Clients and frames: tests/support.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/EventLoop.h"
#include "net/FinsBinding.h"
#include "net/TcpServer.h"
#include "net/UdpServer.h"
#include "tests/support/FakeApplication.h"
#include "tests/support/FakeLogger.h"
#include "tests/support/FinsTestClient.h"

constexpr uint32_t kMemBytes = 65536; // the fake application's M segment
constexpr uint16_t kBigRead = 2000;   // words of the largest read

// The fake application with I, Q and M segments; M holds PatternWord. Loads the process-wide
// application memory from it.
class AppMemory
{
public:
    AppMemory();
    std::vector<char> m;
    std::vector<char> io;

private:
    FakeApplication m_app;
};

// A loop with `records` pooled records, a TCP listener and a UDP endpoint on 127.0.0.1, threads
// started at priority 0 unless start is false.
class LoopHarness
{
public:
    explicit LoopHarness(bool start = true, int records = 8);
    ~LoopHarness();
    LoopHarness(const LoopHarness&) = delete;
    LoopHarness& operator=(const LoopHarness&) = delete;

    // Stops the threads and deletes the loop (idempotent); the endpoints stay until destruction.
    void stopAndDelete();

    CEventLoop* loop = nullptr;
    CFinsBinding binding; // joins both endpoints to the process-wide protocol
    std::unique_ptr<TcpServer> tcp;
    std::unique_ptr<UdpServer> udp;
    uint16_t tcpPort = 0;
    uint16_t udpPort = 0;
};

// Reaches the loop's internals; every list access takes the list's own mutex.
class EventLoopTestPeer
{
public:
    static void setRecycleDelay(CEventLoop& loop, int64_t seconds)
    {
        loop.m_pool.m_recyWaitSec = seconds;
    }
    static void setThreadCreate(CEventLoop& loop, ThreadCreateFn create)
    {
        loop.m_threadCreate = create;
    }
    static void setBudgetClock(CEventLoop& loop, IBudgetClock* clock)
    {
        loop.m_budgetClock = clock;
    }
    static std::vector<pthread_t> threadIds(CEventLoop& loop)
    {
        return {loop.m_rdThread, loop.m_wrThread, loop.m_sendThread};
    }
    static size_t allCount(CEventLoop& loop)
    {
        CLockGuard lock(loop.m_pool.m_poolMutex);
        return loop.m_pool.m_allConnections.size();
    }
    static std::vector<CSocketConnection*> freeList(CEventLoop& loop)
    {
        CLockGuard lock(loop.m_pool.m_poolMutex);
        return {loop.m_pool.m_freeConnections.begin(), loop.m_pool.m_freeConnections.end()};
    }
    static std::vector<CSocketConnection*> recycleList(CEventLoop& loop)
    {
        CLockGuard lock(loop.m_pool.m_recyMutex);
        return {loop.m_pool.m_recyConnections.begin(), loop.m_pool.m_recyConnections.end()};
    }
    static void backdate(CEventLoop& loop, CSocketConnection* conn, time_t when)
    {
        CLockGuard lock(loop.m_pool.m_recyMutex);
        conn->recyTime = when;
    }
    static int recycleCount(CEventLoop& loop) { return loop.m_pool.m_recyCount.load(); }
    // The one connection record in use (a socket, not a server's own); null if none or several.
    static CSocketConnection* onlyConnection(CEventLoop& loop)
    {
        CLockGuard lock(loop.m_pool.m_poolMutex);
        CSocketConnection* found = nullptr;
        for (CSocketConnection* conn : loop.m_pool.m_allConnections) {
            if (conn->IsServerSocket() || conn->fd.load() == -1) {
                continue;
            }
            if (found != nullptr) {
                return nullptr;
            }
            found = conn;
        }
        return found;
    }
    // The record whose socket is fd (servers' own records included); null if none.
    static CSocketConnection* recordOf(CEventLoop& loop, int fd)
    {
        CLockGuard lock(loop.m_pool.m_poolMutex);
        for (CSocketConnection* conn : loop.m_pool.m_allConnections) {
            if (conn->fd.load() == fd) {
                return conn;
            }
        }
        return nullptr;
    }
    // Every record's iWritePending, backlog and paused flag (atomics only).
    static bool anyNegativePending(CEventLoop& loop)
    {
        CLockGuard lock(loop.m_pool.m_poolMutex);
        for (CSocketConnection* conn : loop.m_pool.m_allConnections) {
            if (conn->iWritePending.load() < 0 || conn->iBacklog.load() < 0) {
                return true;
            }
        }
        return false;
    }
    // The blocks a stopped loop still holds for a record (queue and held list).
    static size_t blocksFor(CEventLoop& loop, CSocketConnection* conn);
    // Takes every queued block off a loop whose threads are not running: their payloads, in order.
    static std::vector<std::string> takeQueued(CEventLoop& loop);
    // One pass of the send thread's work on the calling thread: the queue (and the held records,
    // when a write handler has reported) written out. Only with the loop's threads not running.
    // False, without a pass, when there is no work (the pass would wait for it).
    static bool sendPass(CEventLoop& loop)
    {
        {
            CLockGuard lock(loop.m_send.m_sendMutex);
            if (loop.m_send.m_sendQueue.empty() && !loop.m_send.m_heldReady) {
                return false;
            }
        }
        std::list<char*> batch;
        std::list<char*> freeNodes;
        if (loop.m_send.wait_for_work(batch, freeNodes)) {
            loop.m_send.send_batch(batch, freeNodes);
        }
        return true;
    }
    // Whether a write handler has reported to the send thread since it last looked.
    static bool heldReady(CEventLoop& loop)
    {
        CLockGuard lock(loop.m_send.m_sendMutex);
        return loop.m_send.m_heldReady;
    }
};

// A send block for conn holding payload, counted in the record's backlog as a queued one is.
char* MakeSendBlock(CSocketConnection* conn, const std::string& payload);
