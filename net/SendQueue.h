// The send queue: responses travel from the thread that made them to the send thread ("SockSend"),
// which writes each record's blocks in order. The reader thread writes the responses of one receive
// itself when their record had nothing queued, held or pending; otherwise its blocks collect in its
// outbox and join the queue once per wait (or at once when the send thread is idle). A block that
// cannot be written whole is left to the writer thread; the record's later blocks are held behind
// it until the writer thread reports. Owned by CEventLoop.
//
//   reader --nothing owed--> run of one receive --flush_run--> gather send / sendmmsg
//                                                   |partial--> pending block (writer thread)
//   reader outbox --flush--> m_sendQueue --batch--> runs per record --> gather send / sendmmsg
//                                                         |                  | partial write
//                                                         +--> heldBlocks <--+ (writer finishes)
//
// Lock order: a record's sendLock may be held while m_sendMutex is taken, never the reverse.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <list>
#include <vector>

#include "net/SockConnection.h"
#include "net/ThreadSafety.h"

// Queue nodes kept for reuse, so queueing a response allocates nothing but its block.
constexpr size_t kSendSpareNodes = 1024;
// Responses of one connection written with one gather send (datagrams with one sendmmsg) at most.
constexpr int kMaxGatherBlocks = 64;

class CEventLoop;
class EventLoopTestPeer;

class CSendQueue
{
public:
    explicit CSendQueue(CEventLoop& loop);
    // Only with no loop thread running: releases the blocks still queued.
    ~CSendQueue();
    CSendQueue(const CSendQueue&) = delete;
    CSendQueue& operator=(const CSendQueue&) = delete;

    // Queues a send block (owned from here). Any thread; on the reader thread it waits in the
    // outbox until flush_outbox.
    void push(char* block) EXCLUDES(m_sendMutex);
    // Hands the reader's outbox to the queue. Reader thread.
    void flush_outbox() EXCLUDES(m_sendMutex);
    // Writes the responses the reader thread collected for one record since the last flush (see
    // join_run). Reader thread, after each receive and before a record is closed.
    void flush_run() EXCLUDES(m_sendMutex);
    // The same, but only while the send thread waits for work. Reader thread.
    void flush_if_idle() EXCLUDES(m_sendMutex);
    // Wakes the send thread to look at its held records again. Any thread.
    void notify() EXCLUDES(m_sendMutex);
    // Releases a block queued for its record, lowers the record's backlog and resumes reading
    // once it has drained. The caller holds the record's sendLock (when the block names one).
    void block_done(char* block);
    // Ends the record's pending write: releases its send block, lowers iWritePending once (never
    // below 0) and wakes the send thread. The caller holds the record's sendLock.
    void finish_write(CSocketConnection* conn) REQUIRES(conn->sendLock) EXCLUDES(m_sendMutex);
    // Read pause of a backlogged record (see CEventLoop's methods of the same names).
    // Reader thread.
    void pause_read_if_backlogged(CSocketConnection* conn);
    bool defer_close_while_replies_owed(CSocketConnection* conn);
    // The send thread's work until stop(). Send thread.
    void run();
    // Ends run() at its next wait. Owner thread.
    void stop() EXCLUDES(m_sendMutex);

private:
    friend class EventLoopTestPeer;

    // Adds the block to the run written by flush_run when its record owed nothing before the run;
    // false (block untouched) when it must queue. Reader thread.
    bool join_run(CSocketConnection* conn, char* block) EXCLUDES(conn->sendLock);
    void hold(CSocketConnection* conn, std::list<char*>& batch);
    bool wait_for_work(std::list<char*>& batch, std::list<char*>& freeNodes) EXCLUDES(m_sendMutex);
    void send_batch(std::list<char*>& batch, std::list<char*>& freeNodes);
    bool send_run(CSocketConnection* conn, std::list<char*>& run, std::list<char*>& freeNodes)
        REQUIRES(conn->sendLock);
    bool send_gather(CSocketConnection* conn, std::list<char*>& run, std::list<char*>& freeNodes)
        REQUIRES(conn->sendLock);
    bool send_datagrams(CSocketConnection* conn, std::list<char*>& run, std::list<char*>& freeNodes)
        REQUIRES(conn->sendLock);
    bool send_one(CSocketConnection* conn, char* block) REQUIRES(conn->sendLock);
    bool wait_writable(CSocketConnection* conn) REQUIRES(conn->sendLock);
    // Releases every block of one record's list (block_done) and empties it. The caller holds
    // the record's sendLock.
    void drop_blocks(std::list<char*>& blocks);
    void send_held(std::list<char*>& freeNodes);
    void drain_held(CSocketConnection* conn, std::list<char*>& freeNodes);
    void wake_if_waiting(bool waiting);
    // Watches the record for reading again after a backlog pause.
    void resume_read(CSocketConnection* conn) REQUIRES(conn->sendLock);

    CEventLoop& m_loop;
    CMutex m_sendMutex;
    std::condition_variable m_sendCond; // the send thread waits on it (with m_sendMutex)
    std::list<char*> m_sendQueue GUARDED_BY(m_sendMutex); // owns the blocks
    // Blocks in m_sendQueue: changed under m_sendMutex, readable without it (seq_cst).
    std::atomic<int> m_sendQueueCount{0};
    // Written by the owner, read by the send thread under m_sendMutex, so a stop cannot slip
    // past its wait.
    std::atomic<bool> m_stop{false};
    // The send thread waits on m_sendCond. Written under m_sendMutex; the reader thread also
    // reads it without the lock, as a hint to hand its responses over at once (relaxed: a stale
    // value only moves the hand-over to the end of the wait's events).
    std::atomic<bool> m_sendWaiting{false};
    bool m_heldReady GUARDED_BY(m_sendMutex) = false;     // a held record may have become ready
    std::list<char*> m_sendSpare GUARDED_BY(m_sendMutex); // queue nodes kept for reuse
    // Responses made on the reader thread during one wait's events, and spare nodes for them.
    // Reader thread only (the destructor after the threads ended).
    std::list<char*> m_rdOutbox;
    std::list<char*> m_rdSpare;
    // Responses of one receive the reader thread writes itself, and their record. Reader thread
    // only (the destructor after the threads ended).
    std::list<char*> m_rdRun;
    CSocketConnection* m_rdRunConn = nullptr;
    // Records with blocks held behind a partly written one. Send thread only.
    std::vector<CSocketConnection*> m_heldConns;
};
