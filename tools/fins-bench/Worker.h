// One load-generating thread: its own epoll instance and its own share of the connections, which
// it sets up (TCP: connect and node address handshake), drives with pipelined requests, checks and
// closes. Workers share nothing but the SharedRun below and the read-only request template.
#pragma once

#include "tools/fins-bench/Latency.h"
#include "tools/fins-bench/Options.h"
#include "tools/fins-bench/Request.h"

#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

uint64_t monotonicNs();

// Single-use meeting point of a fixed number of threads that can be called off: arriveAndWait
// returns true once all have arrived, false at once (now or later) after abort.
class Barrier
{
public:
    explicit Barrier(unsigned parties) : m_parties(parties) {}
    Barrier(const Barrier&) = delete;
    Barrier& operator=(const Barrier&) = delete;

    bool arriveAndWait();
    void abort();

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    const unsigned m_parties;
    unsigned m_arrived = 0; // guarded by m_mutex
    bool m_aborted = false; // guarded by m_mutex
};

// What the main thread and the workers share during one run.
class SharedRun
{
public:
    explicit SharedRun(unsigned workers) : connected(workers + 1), go(workers + 1), loaded(workers)
    {}

    Barrier connected; // workers and main: every connection is set up
    Barrier go;        // workers and main: main has set the clock fields below
    Barrier loaded;    // workers: the load is over everywhere, connections may close

    // Written by the main thread between `connected` and `go`, read by the workers after `go`
    // (the barrier's mutex orders the two).
    uint64_t loadStartNs = 0;
    uint64_t deadlineNs = 0; // 0 in count mode

    // Records the first failure and calls off every barrier. Any thread.
    void fail(const std::string& what);
    bool failed() const { return m_failed.load(std::memory_order_acquire); }
    std::string failure() const;

private:
    std::atomic<bool> m_failed{false}; // set with release after m_failure is written
    mutable std::mutex m_mutex;
    std::string m_failure; // guarded by m_mutex; first failure only
};

struct WorkerResult
{
    uint64_t responses = 0;
    uint64_t lastResponseNs = 0;
    unsigned served = 0; // connections that got every response they asked for, at least one
    LatencyHistogram latency;
};

class Worker
{
public:
    // Connections [firstIndex, firstIndex + quotas.size()) of the run; quotas[i] is how many
    // requests connection i may send (UINT64_MAX when the run is timed).
    Worker(const BenchOptions& opts, const RequestTemplate& request, const sockaddr_in& server,
           SharedRun& run, unsigned firstIndex, std::vector<uint64_t> quotas);
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Thread body. Failures go to SharedRun::fail; the result then is partial.
    void run();
    // Read by the main thread after joining this worker's thread.
    const WorkerResult& result() const { return m_result; }

private:
    enum class State
    {
        Closed,
        Connecting,
        Handshaking,
        Ready
    };
    struct Conn
    {
        int fd = -1;
        State state = State::Closed;
        uint32_t interest = 0; // epoll mask registered
        uint64_t quota = 0;
        uint64_t sent = 0; // the k-th request of a connection carries SID k mod 256
        uint64_t received = 0;
        uint64_t phaseStartNs = 0;    // start of connect or handshake
        std::vector<uint64_t> sendNs; // ring over the requests in flight, indexed k mod pipeline
        std::vector<uint8_t> in;      // receive buffer, sized for everything that may be due
        std::size_t inUsed = 0;
        std::vector<uint8_t> out; // requests not yet taken by the socket, from outOff
        std::size_t outOff = 0;
        bool done = false;
        uint64_t inflight() const { return sent - received; }
    };

    bool connectAll();
    bool openConn(uint32_t idx);
    bool onConnected(uint32_t idx);
    bool onHandshakeReply(uint32_t idx);
    void loadAll();
    void stopSending();
    bool pump(int timeoutMs);
    bool handle(uint32_t idx, uint32_t events);
    bool onTcpReadable(uint32_t idx);
    bool onUdpReadable(uint32_t idx);
    long readSome(uint32_t idx);
    int frameAt(uint32_t idx, std::size_t pos, std::size_t expected, std::size_t& frameLen);
    bool takeResponse(uint32_t idx, const uint8_t* frame, std::size_t len, uint64_t now);
    bool afterResponses(uint32_t idx, uint64_t now);
    bool fill(uint32_t idx, uint64_t now);
    bool flush(uint32_t idx);
    bool setInterest(uint32_t idx, uint32_t mask);
    bool checkTimeouts(uint64_t now);
    bool timedOut(uint32_t idx, uint64_t now);
    void closeAll();
    bool failSys(uint32_t idx, const char* call);
    bool fail(uint32_t idx, const std::string& what);

    const BenchOptions& m_opts;
    const RequestTemplate& m_request;
    const sockaddr_in m_server;
    SharedRun& m_run;
    const unsigned m_firstIndex;
    const unsigned m_batch; // connections this worker sets up at once
    int m_epfd = -1;
    std::vector<Conn> m_conns;
    std::size_t m_nextToOpen = 0;
    unsigned m_opening = 0;   // connections between connect and handshake reply
    std::size_t m_active = 0; // connections not yet done with the load
    bool m_stopping = false;  // timed run: the deadline has passed, no new requests
    uint64_t m_lastSweepNs = 0;
    WorkerResult m_result;
};
