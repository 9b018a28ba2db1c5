// The pool of connection records: every record the loop ever made, the free list records are taken
// from, and the recycle queue closed records wait in before reuse, so a send block made for a
// record's earlier use can still be told from one for its new use. Owned by CEventLoop.
//
// Lock order: m_recyMutex before m_poolMutex.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <list>
#include <vector>

#include "net/SockConnection.h"
#include "net/ThreadSafety.h"

constexpr int64_t kRecycleWaitSec = 60;

class EventLoopTestPeer;

class CConnectionPool
{
public:
    CConnectionPool() = default;
    // Only with no loop thread running: closes the sockets still open (not the servers' own),
    // releases the blocks the records still hold and destroys every record.
    ~CConnectionPool();
    CConnectionPool(const CConnectionPool&) = delete;
    CConnectionPool& operator=(const CConnectionPool&) = delete;

    // count records made ahead into the free list. Owner thread, before the loop starts. 0.
    int init_connections(int count);
    // A record for fd: from the front of the free list, or a new one. Never null. Reader thread,
    // or the owner before the loop starts.
    CSocketConnection* get_connection(int fd);
    // Ends the record's use and appends it to the free list. Reader thread.
    void free_connection(CSocketConnection* conn);
    // Queues a closed record for reuse after the delay (once; the use counter moves on). 0.
    // Reader thread.
    int inRecyConnectQueue(CSocketConnection* conn);
    // Recycle sweep (the spelling is the system's own name): frees records that waited long
    // enough. Reader thread.
    void IdelRecyConnections();
    // Destroys every record and empties every list. Only with no loop thread running.
    void clear_connections();
    // The records, in use or not, for which test holds; the test runs under the pool's mutex and
    // must take none of the pool's locks. The records are the caller's to act on once it returns
    // (a close takes the recycle mutex, which comes before the pool's). Reader thread.
    std::vector<CSocketConnection*>
    collect_connections(const std::function<bool(const CSocketConnection&)>& test)
        EXCLUDES(m_poolMutex);

private:
    friend class EventLoopTestPeer;

    CMutex m_poolMutex;
    CMutex m_recyMutex;
    std::list<CSocketConnection*> m_allConnections GUARDED_BY(m_poolMutex); // owning
    std::list<CSocketConnection*> m_freeConnections GUARDED_BY(m_poolMutex);
    std::list<CSocketConnection*> m_recyConnections GUARDED_BY(m_recyMutex);
    // Records in m_recyConnections: changed under m_recyMutex; the sweep's first test reads it
    // without the lock (seq_cst; a record added just after that test waits for the next sweep).
    std::atomic<int> m_recyCount{0};
    int64_t m_recyWaitSec = kRecycleWaitSec; // owner thread (tests shorten it before starting)
};
