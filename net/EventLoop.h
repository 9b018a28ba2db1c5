// The network event loop: a reader thread ("finsEpollRd") that accepts, reads, frames and runs the
// protocol; a send thread ("SockSend") that writes queued responses in order; a writer thread
// ("finsEpollWr") that finishes partly written responses. The loop also owns the pool of
// connection records, which return to the free list only after a recycle delay.
//
// Lock order: m_recyMutex before m_poolMutex. m_sendMutex is never held with either of them. A
// record's sendLock may be held while m_sendMutex is taken (to wake the send thread), never the
// reverse, and never together with the pool's mutexes.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <vector>

#include "net/ISocketServer.h"
#include "net/SockConnection.h"

constexpr int kEpollWaitMs = 500;
constexpr int kEpollMaxEvents = 512;
constexpr int64_t kRecycleWaitSec = 60;
constexpr size_t kThreadStackBytes = 8u * 1024u * 1024u;
constexpr unsigned int kMaxThreadPriority = 99;
// A connection with this many responses queued or being written is no longer read from until its
// backlog falls to kBacklogResumeBlocks; TCP flow control then holds the client back. A response
// is at most a few KiB, so the bound is about 1 MiB per connection.
constexpr int kBacklogPauseBlocks = 256;
constexpr int kBacklogResumeBlocks = 64;
// A server's own socket with an error it cannot clear (a listener out of descriptors, a datagram
// endpoint whose receive fails) is not watched for this long.
constexpr std::chrono::milliseconds kListenerPause{100};
// Connections silent for their idle timeout are looked for this often at most.
constexpr std::chrono::seconds kIdleSweepInterval{1};
// Queue nodes kept for reuse, so queueing a response allocates nothing but its block.
constexpr size_t kSendSpareNodes = 1024;
// Read handler calls per readiness event at most (pipelined frames are taken in one wake-up).
constexpr int kReadsPerEvent = 32;
// Responses of one connection written with one gather send (datagrams with one sendmmsg) at most.
constexpr int kMaxGatherBlocks = 64;

// epoll_oper_event modes for EPOLL_CTL_MOD: add the bits, remove them, or replace the mask.
constexpr int EPOLL_MODE_ADD = 0;
constexpr int EPOLL_MODE_REMOVE = 1;
constexpr int EPOLL_MODE_REPLACE = 2;

class EventLoopTestPeer;

class CEventLoop
{
public:
    // Creates both epoll instances (a failure is logged; the loop then has a descriptor of -1).
    CEventLoop();
    // Only after event_stop: closes the epoll instances and the sockets still open, destroys every
    // record and releases the blocks still queued.
    ~CEventLoop();
    CEventLoop(const CEventLoop&) = delete;
    CEventLoop& operator=(const CEventLoop&) = delete;

    int epoll_init();
    // One epoll_ctl; op 1 ADD, 2 DEL, 3 MOD (mode: EPOLL_MODE_*); other ops do nothing and
    // return 0. -1 after a logged failure.
    int epoll_oper_event(int epfd, int fd, unsigned int op, unsigned int flag, int mode,
                         CSocketConnection* conn);
    // One wait of at most timeout_ms and one dispatch pass. 0, or -1 after a logged failure.
    int epoll_process_event(int epfd, int timeout_ms);
    // Registers a server's own socket for reading with the given read handler. -1 for null or
    // for a server without a socket (its socket, bind or listen failed), which is not registered.
    int epoll_add_listen_event(ISocketServer* server,
                               int (ISocketServer::*handler)(CSocketConnection*));
    // One joinable thread, SCHED_FIFO at min(priority, 99) (SCHED_OTHER for 0), 8 MiB stack.
    // *tid is 0 after a failure.
    int CreateRealtimeThread(pthread_t* tid, void* (*start)(void*), void* arg,
                             unsigned int priority);
    // Starts the reader, writer and send threads; returns the send thread's result.
    int event_start(unsigned int priority);
    // Stops and joins the threads; returns when they have ended.
    void event_stop();
    // Queues a send block (the queue owns it from here). Any thread.
    void msg_send(char* block);
    // Wakes the send thread (a held block may go now). Any thread.
    void notify_sendthread();
    // Releases a send block that was queued for its record (pConn), lowers the record's backlog
    // and resumes reading from it once the backlog has drained. The caller holds the record's
    // sendLock (when the block names a record).
    void send_block_done(char* block);
    // Ends a pending write of the record: releases its send block (if any), lowers
    // iWritePending once (never below 0) and wakes the send thread. The caller holds the record's
    // sendLock and has removed (or never had) the write registration. Writer or reader thread.
    void finish_write(CSocketConnection* conn);
    // Stops reading from the record while its backlog is at the limit. Reader thread.
    void pause_read_if_backlogged(CSocketConnection* conn);
    // A peer that closed its sending side still gets the replies already owed to it: while blocks
    // are queued or pending for the record, reading stops and true is returned; the record is read
    // again once they are written, and that read closes it. False when nothing is owed (close now).
    // Reader thread.
    bool defer_close_while_replies_owed(CSocketConnection* conn);
    // Stops watching a server's own socket for kListenerPause (an error it cannot clear). Reader
    // thread.
    void pause_listener(CSocketConnection* conn);

    static void* SocketEpollRdThread(void* loop);
    static void* SocketEpollWrThread(void* loop);
    static void* SocketSendThread(void* loop);

    // --- Connection pool ---
    int init_connections(int count);
    // A record for fd: from the front of the free list, or a new one. Never null.
    CSocketConnection* get_connection(int fd);
    void free_connection(CSocketConnection* conn);
    int inRecyConnectQueue(CSocketConnection* conn);
    void close_connections(CSocketConnection* conn);
    // Recycle sweep (the spelling is the system's own name): frees records that waited long
    // enough. Reader thread.
    void IdelRecyConnections();
    void clear_connections();
    // Closes the TCP connections silent for their server's idle timeout; does nothing when the
    // last sweep was less than kIdleSweepInterval ago. Reader thread (net/IdleSweep.cpp).
    void close_idle_connections();

    int get_read_epoll_fd() const { return m_epollRdFd; }
    int get_write_epoll_fd() const { return m_epollWrFd; }

private:
    friend class EventLoopTestPeer;

    void EpollRdThread();
    void EpollWrThread();
    void SendThread();
    void dispatch_read_event(CSocketConnection* conn);
    void dispatch_write_event(CSocketConnection* conn, uint32_t ev);
    void end_write_registration(CSocketConnection* conn);
    void resume_read(CSocketConnection* conn);
    int reader_wait_ms();
    void resume_due_listeners();
    void flush_outbox();
    bool send_run(CSocketConnection* conn, std::list<char*>& run, std::list<char*>& freeNodes);
    bool send_gather(CSocketConnection* conn, std::list<char*>& run, std::list<char*>& freeNodes);
    bool send_datagrams(CSocketConnection* conn, std::list<char*>& run,
                        std::list<char*>& freeNodes);
    void wait_writable(CSocketConnection* conn);
    bool send_one(CSocketConnection* conn, char* block);
    void send_batch(std::list<char*>& batch, std::list<char*>& freeNodes);
    void send_held(std::list<char*>& freeNodes);
    void drain_held(CSocketConnection* conn, std::list<char*>& freeNodes);
    bool wait_for_send_work(std::list<char*>& batch, std::list<char*>& freeNodes);

    // Written by the owner thread, read by the loop threads (sequentially consistent; the send
    // thread also reads m_stopSend under m_sendMutex, so a stop cannot slip past its wait).
    std::atomic<bool> m_stopRd{false};
    std::atomic<bool> m_stopWr{false};
    std::atomic<bool> m_stopSend{false};
    int m_epollRdFd = -1; // set before the threads start
    int m_epollWrFd = -1; // set before the threads start
    int64_t m_recyWaitSec = kRecycleWaitSec;
    pthread_t m_rdThread = 0;   // owner thread
    pthread_t m_wrThread = 0;   // owner thread
    pthread_t m_sendThread = 0; // owner thread
    // How threads are made: pthread_create, or a test's stand-in. Owner thread.
    int (*m_threadCreate)(pthread_t*, const pthread_attr_t*, void* (*)(void*),
                          void*) = &pthread_create;
    std::mutex m_poolMutex;
    std::mutex m_recyMutex;
    std::mutex m_sendMutex;
    std::condition_variable m_sendCond; // the send thread waits on it
    std::list<char*> m_sendQueue;       // guarded by m_sendMutex; owns the blocks
    // Blocks in m_sendQueue: changed under m_sendMutex, readable without it (seq_cst).
    std::atomic<int> m_sendQueueCount{0};
    // Records in m_recyConnections: changed under m_recyMutex; the sweep's first test reads it
    // without the lock (seq_cst; a record added just after that test waits for the next sweep).
    std::atomic<int> m_recyCount{0};
    std::list<CSocketConnection*> m_allConnections;  // guarded by m_poolMutex; owning
    std::list<CSocketConnection*> m_freeConnections; // guarded by m_poolMutex
    std::list<CSocketConnection*> m_recyConnections; // guarded by m_recyMutex

    // --- Send thread bookkeeping ---
    // The send thread waits on m_sendCond. Written under m_sendMutex; the reader thread also
    // reads it without the lock, as a hint to hand its responses over at once (relaxed: a stale
    // value only moves the hand-over to the end of the wait's events).
    std::atomic<bool> m_sendWaiting{false};
    bool m_heldReady = false;     // guarded by m_sendMutex: a held record may have become ready
    std::list<char*> m_sendSpare; // guarded by m_sendMutex: queue nodes kept for reuse
    // Responses made on the reader thread during one wait's events, handed to m_sendQueue in one
    // go, and spare nodes for them. Reader thread only (the destructor after the threads ended).
    std::list<char*> m_rdOutbox;
    std::list<char*> m_rdSpare;
    // Records with blocks held behind a partly written one. Send thread only.
    std::vector<CSocketConnection*> m_heldConns;
    // Listeners not watched until the given time (descriptor exhaustion). Reader thread only.
    std::vector<std::pair<CSocketConnection*, std::chrono::steady_clock::time_point>>
        m_pausedListeners;
    std::chrono::steady_clock::time_point m_lastIdleSweep{}; // reader thread only
};
