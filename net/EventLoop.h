// The network event loop: a reader thread ("finsEpollRd") that accepts, reads, frames and runs the
// protocol; a send thread ("SockSend") that writes queued responses in order; a writer thread
// ("finsEpollWr") that finishes partly written responses. The loop also owns the pool of
// connection records, which return to the free list only after a recycle delay.
//
// Lock order: m_recyMutex before m_poolMutex. m_sendMutex is never held with either of them.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>

#include "net/ISocketServer.h"
#include "net/SockConnection.h"

constexpr int kEpollWaitMs = 500;
constexpr int kEpollMaxEvents = 512;
constexpr int64_t kRecycleWaitSec = 60;
constexpr size_t kThreadStackBytes = 8u * 1024u * 1024u;
constexpr unsigned int kMaxThreadPriority = 99;

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
    // Registers a server's own socket for reading with the given read handler. -1 for null.
    int epoll_add_listen_event(ISocketServer* server,
                               int (ISocketServer::*handler)(CSocketConnection*));
    // One joinable thread, SCHED_FIFO at min(priority, 99) (SCHED_OTHER for 0), 8 MiB stack.
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

    int get_read_epoll_fd() const { return m_epollRdFd; }
    int get_write_epoll_fd() const { return m_epollWrFd; }

private:
    friend class EventLoopTestPeer;

    void EpollRdThread();
    void EpollWrThread();
    void SendThread();

    // Written by the owner thread, read by the loop threads.
    std::atomic<bool> m_stopRd{false};
    std::atomic<bool> m_stopWr{false};
    std::atomic<bool> m_stopSend{false};
    int m_epollRdFd = -1; // set before the threads start
    int m_epollWrFd = -1; // set before the threads start
    int64_t m_recyWaitSec = kRecycleWaitSec;
    pthread_t m_rdThread = 0;   // owner thread
    pthread_t m_wrThread = 0;   // owner thread
    pthread_t m_sendThread = 0; // owner thread
    std::mutex m_poolMutex;
    std::mutex m_recyMutex;
    std::mutex m_sendMutex;
    std::condition_variable m_sendCond;          // the send thread waits on it
    std::list<char*> m_sendQueue;                // guarded by m_sendMutex; owns the blocks
    std::atomic<int> m_sendQueueCount{0};        // blocks in m_sendQueue
    std::atomic<int> m_recyCount{0};             // records in m_recyConnections
    std::list<CSocketConnection*> m_allConnections;  // guarded by m_poolMutex; owning
    std::list<CSocketConnection*> m_freeConnections; // guarded by m_poolMutex
    std::list<CSocketConnection*> m_recyConnections; // guarded by m_recyMutex
};
