// The network event loop: a reader thread ("finsEpollRd") that accepts, reads, frames and runs the
// protocol; a send thread ("SockSend") that writes queued responses in order (CSendQueue); a
// writer thread ("finsEpollWr") that finishes partly written responses. The loop also owns the
// pool of connection records (CConnectionPool), which return to the free list only after a
// recycle delay. This unit holds the threads, the epoll instances and the dispatch.
//
// Lock order: the pool's m_recyMutex before its m_poolMutex. The send queue's m_sendMutex is
// never held with either of them. A record's sendLock may be held while m_sendMutex is taken (to
// wake the send thread), never the reverse, and never together with the pool's mutexes.
#pragma once

#include <pthread.h>
#include <sys/epoll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include "net/ConnectionPool.h"
#include "net/CpuBudget.h"
#include "net/ISocketServer.h"
#include "net/RealtimeThread.h"
#include "net/SendQueue.h"
#include "net/SockConnection.h"
#include "net/ThreadSafety.h"

constexpr int kEpollWaitMs = 500;
constexpr int kEpollMaxEvents = 512;
// A connection with this many responses queued or being written is no longer read from until its
// backlog falls to kBacklogResumeBlocks; TCP flow control then holds the client back. A response
// is at most a few KiB, so the bound is about 1 MiB per connection.
constexpr int kBacklogPauseBlocks = 256;
constexpr int kBacklogResumeBlocks = 64;
// A server's own socket with an error it cannot clear (a listener out of descriptors, a datagram
// endpoint whose receive fails) is not watched for this long.
constexpr std::chrono::milliseconds kListenerPause{100};
// Read handler calls per readiness event at most (pipelined frames are taken in one wake-up).
constexpr int kReadsPerEvent = 32;

// Every record is watched on the read instance for these events.
constexpr uint32_t kEpollReadMask = EPOLLIN | EPOLLRDHUP;

// epoll_oper_event modes for EPOLL_CTL_MOD: add the bits, remove them, or replace the mask.
constexpr int EPOLL_MODE_ADD = 0;
constexpr int EPOLL_MODE_REMOVE = 1;
constexpr int EPOLL_MODE_REPLACE = 2;

class EventLoopTestPeer;

// Threads named in the contracts: "owner" is the thread that builds, starts, stops and destroys
// the loop; "reader", "writer" and "send" are the loop's own threads. Debug builds assert them.
class CEventLoop
{
public:
    // Creates both epoll instances (a failure is logged; the loop then has a descriptor of -1).
    CEventLoop();
    // Owner, only after event_stop: closes the epoll instances and the sockets still open,
    // destroys every record and releases the blocks still queued.
    ~CEventLoop();
    CEventLoop(const CEventLoop&) = delete;
    CEventLoop& operator=(const CEventLoop&) = delete;

    // Owner (from the constructor).
    int epoll_init();
    // One epoll_ctl; op 1 ADD, 2 DEL, 3 MOD (mode: EPOLL_MODE_*); other ops do nothing and
    // return 0. -1 after a logged failure. Any thread; a MOD reads back the mask the calling
    // thread registered.
    int epoll_oper_event(int epfd, int fd, unsigned int op, unsigned int flag, int mode,
                         CSocketConnection* conn);
    // One wait of at most timeout_ms and one dispatch pass. 0, or -1 after a logged failure.
    // Reader thread on the read instance, writer thread on the write instance.
    int epoll_process_event(int epfd, int timeout_ms);
    // Registers a server's own socket for reading with the given read handler, as a record of the
    // given kind (Listener: one accept per event; Datagram: read until empty, and retried on
    // writability); the server's per-turn work then runs at the end of every reader turn. -1 for
    // null or for a server without a socket (its socket, bind or listen failed), which is not
    // registered. Owner, before event_start.
    int epoll_add_listen_event(ISocketServer* server,
                               int (ISocketServer::*handler)(CSocketConnection*), RecordKind kind);
    // The loop's threads together use at most this percent of one core (1 to 100; 100, the
    // default, sets no budget and costs nothing). Owner, before event_start.
    void set_cpu_share(unsigned percent);
    // StartRealtimeThread with the loop's way of making threads. Owner.
    int CreateRealtimeThread(pthread_t* tid, void* (*start)(void*), void* arg,
                             unsigned int priority);
    // Starts the reader, writer and send threads: 0, or -1 when one of them could not be started
    // (logged), after the others were stopped again. Owner.
    int event_start(unsigned int priority);
    // Stops and joins the threads; returns when they have ended. Owner.
    void event_stop();
    // Queues a send block (the queue owns it from here); null is ignored. Any thread.
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
    void finish_write(CSocketConnection* conn) REQUIRES(conn->sendLock);
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

    // --- Connection pool (CConnectionPool) ---
    // Owner, before event_start.
    int init_connections(int count);
    // A record for fd: from the front of the free list, or a new one. Never null. Reader thread,
    // or the owner before event_start.
    CSocketConnection* get_connection(int fd);
    // Reader thread.
    void free_connection(CSocketConnection* conn);
    // Reader thread.
    int inRecyConnectQueue(CSocketConnection* conn);
    // Closes the record's socket, ends its pending write and queues it for reuse. Reader thread.
    void close_connections(CSocketConnection* conn);
    // Recycle sweep (the spelling is the system's own name): frees records that waited long
    // enough. Reader thread.
    void IdelRecyConnections();
    // Owner, with no loop thread running.
    void clear_connections();
    // The records in use or not for which test holds (see CConnectionPool::collect_connections).
    // Reader thread.
    std::vector<CSocketConnection*>
    collect_connections(const std::function<bool(const CSocketConnection&)>& test);

    int get_read_epoll_fd() const { return m_epollRdFd; }
    int get_write_epoll_fd() const { return m_epollWrFd; }
    // The loop's threads, bound while each runs (see CThreadRole).
    const CThreadRole& reader_role() const { return m_readerRole; }
    const CThreadRole& send_role() const { return m_sendRole; }

private:
    friend class EventLoopTestPeer;

    void EpollRdThread();
    void EpollWrThread();
    void SendThread();
    void dispatch_read_event(CSocketConnection* conn);
    void dispatch_write_event(CSocketConnection* conn, uint32_t ev);
    void end_write_registration(CSocketConnection* conn) REQUIRES(conn->sendLock);
    int reader_wait_ms();
    void end_turn();
    void spend_cpu_budget();
    void resume_due_listeners();
    bool on_loop_thread() const;

    CThreadRole m_readerRole;
    CThreadRole m_writerRole;
    CThreadRole m_sendRole;
    // Written by the owner thread, read by the loop threads (sequentially consistent).
    std::atomic<bool> m_stopRd{false};
    std::atomic<bool> m_stopWr{false};
    int m_epollRdFd = -1;       // set before the threads start
    int m_epollWrFd = -1;       // set before the threads start
    pthread_t m_rdThread = 0;   // owner thread
    pthread_t m_wrThread = 0;   // owner thread
    pthread_t m_sendThread = 0; // owner thread
    // How threads are made: pthread_create, or a test's stand-in. Owner thread.
    ThreadCreateFn m_threadCreate = &pthread_create;
    // Declared before the send queue, so the queue (and its blocks) goes first.
    CConnectionPool m_pool;
    CSendQueue m_send{*this};
    // Listeners not watched until the given time (descriptor exhaustion). Reader thread only.
    std::vector<std::pair<CSocketConnection*, std::chrono::steady_clock::time_point>>
        m_pausedListeners;
    // The registered servers, whose per-turn work end_turn runs. Owner before event_start, then
    // read by the reader thread.
    std::vector<ISocketServer*> m_servers;
    CCpuBudget m_budget; // share set by the owner before event_start; then reader thread only
    CLoopClock m_clock;  // each loop thread adds its own CPU clock
    // What the budget reads and how it waits: m_clock, or a test's. Owner before event_start.
    IBudgetClock* m_budgetClock = &m_clock;
};
