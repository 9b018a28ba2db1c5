// Shared pieces of the network tests: application memory with a known pattern, a started loop
// with a TCP listener and a UDP endpoint on 127.0.0.1 (ephemeral ports), FINS request builders,
// poll-bounded client helpers, and EventLoopTestPeer, which reaches the loop's pool under its
// mutexes.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
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

constexpr int kWaitMs = 5000;         // upper bound of every wait in these tests
constexpr uint32_t kMemBytes = 65536; // the fake application's M segment
constexpr uint16_t kBigRead = 2000;   // words of the largest read

// The word the M segment holds at word address w (host order in memory, big-endian on the wire).
uint16_t PatternWord(uint32_t w);

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
    explicit LoopHarness(bool start = true, int records = 8, uint16_t tcpPort = 0);
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

// FINS/TCP frame: header with the given command and length field (default: 8 + body size).
std::string TcpFrame(uint32_t command, const std::string& body, int64_t lengthField = -1);
// FINS memory area read (DM words) and its FINS/TCP frame.
std::string DmReadFins(uint8_t sid, uint16_t addr, uint16_t count);
std::string DmReadTcp(uint8_t sid, uint16_t addr, uint16_t count);
// The exact response to DmReadFins from node 1 to node 1 (127.0.0.1 on both sides).
std::string DmReadReplyFins(uint8_t sid, uint16_t addr, uint16_t count);
std::string DmReadReplyTcp(uint8_t sid, uint16_t addr, uint16_t count);

// Client side, bounded by poll timeouts.
// source: the client's own address (127.0.0.2 plays another client); null lets the system pick.
int ConnectTcp(uint16_t port, int rcvBuf = 0, const char* source = nullptr);
int OpenUdp(const char* source = nullptr);
bool SendAll(int fd, const std::string& bytes, int timeoutMs = kWaitMs);
bool SendTo(int fd, uint16_t port, const std::string& bytes);
// Exactly n bytes, or false at a timeout, an error or the peer's close.
bool RecvExact(int fd, size_t n, std::string& out, int timeoutMs = kWaitMs);
// One datagram, or false at the timeout.
bool RecvDatagram(int fd, std::string& out, int timeoutMs = kWaitMs);
// True when the peer closes (or resets) within the timeout; data arriving first is discarded.
bool WaitPeerClose(int fd, int timeoutMs = kWaitMs);
// True when nothing arrives on fd within the timeout.
bool Quiet(int fd, int timeoutMs);
// Resets the connection (linger 0) and closes fd.
void ResetClose(int fd);
// Polls pred every few milliseconds until it holds or the timeout passes.
bool WaitUntil(const std::function<bool()>& pred, int timeoutMs = kWaitMs);
// CPU seconds the whole process has used.
double ProcessCpuSeconds();
// CPU seconds the process uses over an idle interval of the given length.
double CpuOverIdle(int ms);
// Open descriptors of this process.
int OpenDescriptorCount();

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
            if (conn->bListener || conn->fd.load() == -1) {
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
