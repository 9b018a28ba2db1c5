#include "net/SendQueue.h"

#include <sys/epoll.h>

#include <algorithm>
#include <iterator>
#include <mutex>

#include "net/BlockList.h"
#include "net/EventLoop.h"

namespace {

void DecrementIfPositive(std::atomic<int>& counter)
{
    int value = counter.load();
    while (value > 0 && !counter.compare_exchange_weak(value, value - 1)) {
    }
}

} // namespace

CSendQueue::CSendQueue(CEventLoop& loop) : m_loop(loop) {}

CSendQueue::~CSendQueue()
{
    CLockGuard lock(m_sendMutex);
    for (char* block : m_sendQueue) {
        delete[] block;
    }
    for (char* block : m_rdOutbox) {
        delete[] block;
    }
    for (char* block : m_rdRun) {
        delete[] block;
    }
    m_rdRun.clear();
    m_rdOutbox.clear();
    m_sendQueue.clear();
    m_sendQueueCount.store(0);
}

void CSendQueue::push(char* block)
{
    CSocketConnection* conn = BlockHeader(block)->pConn;
    const bool reader = m_loop.reader_role().is_self();
    if (reader && conn != nullptr && join_run(conn, block)) {
        return;
    }
    if (conn != nullptr) {
        conn->iBacklog.fetch_add(1, std::memory_order_relaxed);
    }
    if (reader) {
        Append(m_rdOutbox, m_rdSpare, block);
        return;
    }
    bool wake = false;
    {
        CLockGuard lock(m_sendMutex);
        Append(m_sendQueue, m_sendSpare, block);
        m_sendQueueCount.fetch_add(1);
        wake = m_sendWaiting.load(std::memory_order_relaxed);
    }
    wake_if_waiting(wake);
}

// Signalled only when the send thread may be waiting; after the unlock, so it does not wake into
// a held mutex.
void CSendQueue::wake_if_waiting(bool waiting)
{
    if (waiting) {
        m_sendCond.notify_one();
    }
}

void CSendQueue::flush_outbox()
{
    FINS_ASSERT_ROLE(m_loop.reader_role());
    flush_run();
    if (m_rdOutbox.empty()) {
        return;
    }
    const auto count = static_cast<int>(m_rdOutbox.size());
    bool wake = false;
    {
        CLockGuard lock(m_sendMutex);
        m_sendQueue.splice(m_sendQueue.end(), m_rdOutbox);
        m_sendQueueCount.fetch_add(count);
        if (m_rdSpare.size() < kSendSpareNodes) {
            m_rdSpare.splice(m_rdSpare.end(), m_sendSpare);
        }
        wake = m_sendWaiting.load(std::memory_order_relaxed);
    }
    wake_if_waiting(wake);
}

void CSendQueue::flush_if_idle()
{
    if (!m_rdOutbox.empty() && m_sendWaiting.load(std::memory_order_relaxed)) {
        flush_outbox();
    }
}

void CSendQueue::notify()
{
    bool wake = false;
    {
        CLockGuard lock(m_sendMutex);
        m_heldReady = true;
        wake = m_sendWaiting.load(std::memory_order_relaxed);
    }
    wake_if_waiting(wake);
}

void CSendQueue::block_done(char* block)
{
    CSocketConnection* conn = BlockHeader(block)->pConn;
    delete[] block;
    if (conn == nullptr) {
        return;
    }
    const int left = conn->iBacklog.fetch_sub(1) - 1;
    // A peer that closed its side is read again only when nothing more is owed to it.
    const int resumeAt = conn->bPeerClosed.load() ? 0 : kBacklogResumeBlocks;
    if (left <= resumeAt && conn->bReadPaused.load()) {
        conn->sendLock.AssertHeld(); // the caller's contract
        resume_read(conn);
    }
}

void CSendQueue::finish_write(CSocketConnection* conn)
{
    char* block = conn->pSendBlock;
    conn->pSendBlock = nullptr;
    conn->pSendPos = nullptr;
    conn->iSendLeft = 0;
    if (block != nullptr) {
        block_done(block);
    }
    DecrementIfPositive(conn->iWritePending);
    notify();
}

void CSendQueue::pause_read_if_backlogged(CSocketConnection* conn)
{
    FINS_ASSERT_ROLE(m_loop.reader_role());
    // The run is written before the next receive; it is judged after that (flush_run).
    if (conn == nullptr || conn == m_rdRunConn ||
        conn->iBacklog.load(std::memory_order_relaxed) < kBacklogPauseBlocks) {
        return;
    }
    CLockGuard lock(conn->sendLock);
    const int fd = conn->fd.load();
    if (conn->bReadPaused.load() || fd == -1 || conn->iBacklog.load() < kBacklogPauseBlocks) {
        return;
    }
    // Removed rather than modified to an empty mask: epoll reports errors and hang-ups whatever
    // the mask, and a level-triggered report nobody reads would spin the reader thread.
    if (m_loop.epoll_oper_event(m_loop.get_read_epoll_fd(), fd, EPOLL_CTL_DEL, kEpollReadMask,
                                EPOLL_MODE_REMOVE, conn) == 0) {
        conn->bReadPaused.store(true);
    }
}

bool CSendQueue::defer_close_while_replies_owed(CSocketConnection* conn)
{
    FINS_ASSERT_ROLE(m_loop.reader_role());
    flush_run();
    CLockGuard lock(conn->sendLock);
    const int fd = conn->fd.load();
    if (fd == -1 || conn->iBacklog.load() <= 0) {
        return false;
    }
    if (!conn->bReadPaused.load()) {
        if (m_loop.epoll_oper_event(m_loop.get_read_epoll_fd(), fd, EPOLL_CTL_DEL, kEpollReadMask,
                                    EPOLL_MODE_REMOVE, conn) != 0) {
            return false;
        }
        conn->bReadPaused.store(true);
    }
    conn->bPeerClosed.store(true);
    return true;
}

void CSendQueue::resume_read(CSocketConnection* conn)
{
    // Under the record's sendLock, so a close (which clears the flag first) cannot interleave.
    const int fd = conn->fd.load();
    if (fd != -1) {
        (void)m_loop.epoll_oper_event(m_loop.get_read_epoll_fd(), fd, EPOLL_CTL_ADD, kEpollReadMask,
                                      EPOLL_MODE_ADD, conn);
    }
    conn->bReadPaused.store(false);
}

void CSendQueue::stop()
{
    CLockGuard lock(m_sendMutex);
    m_stop.store(true);
    m_sendCond.notify_all();
}

// The send thread takes the whole queue at once and writes outside m_sendMutex, so producers are
// never held up by socket writes. Blocks of a record whose earlier block is still being finished
// by the writer thread move (node and all) to that record's held list and leave the queue; a
// pass therefore never walks them again, and the thread sleeps until a write handler reports
// (notify), a block arrives or a stop is asked: no pass runs without work.
void CSendQueue::run()
{
    std::list<char*> batch;
    std::list<char*> freeNodes;
    while (wait_for_work(batch, freeNodes)) {
        send_batch(batch, freeNodes);
    }
}

bool CSendQueue::wait_for_work(std::list<char*>& batch, std::list<char*>& freeNodes)
{
    FINS_ASSERT_ROLE(m_loop.send_role());
    bool heldReady = false;
    {
        CLockGuard lock(m_sendMutex);
        if (m_sendSpare.size() < kSendSpareNodes) {
            m_sendSpare.splice(m_sendSpare.end(), freeNodes);
        }
        while (m_sendQueue.empty() && !m_heldReady && !m_stop.load()) {
            m_sendWaiting.store(true, std::memory_order_relaxed);
            // The wait releases and retakes the mutex the guard holds.
            std::unique_lock<std::mutex> wait(m_sendMutex.native(), std::adopt_lock);
            m_sendCond.wait(wait);
            wait.release();
            m_sendWaiting.store(false, std::memory_order_relaxed);
        }
        if (m_stop.load()) {
            return false;
        }
        batch.splice(batch.end(), m_sendQueue);
        m_sendQueueCount.store(0);
        heldReady = m_heldReady;
        m_heldReady = false;
    }
    freeNodes.clear(); // nodes beyond the spare limit
    if (heldReady) {
        send_held(freeNodes);
    }
    return true;
}

void CSendQueue::send_batch(std::list<char*>& batch, std::list<char*>& freeNodes)
{
    std::list<char*> run;
    while (!batch.empty()) {
        CSocketConnection* conn = BlockHeader(batch.front())->pConn;
        if (conn == nullptr) {
            delete[] batch.front();
            batch.front() = nullptr;
            freeNodes.splice(freeNodes.end(), batch, batch.begin());
            continue;
        }
        if (conn->bHeld || conn->iWritePending.load() > 0) {
            hold(conn, batch);
            continue;
        }
        // The record's consecutive blocks go out together (a stream's in one gather send, a
        // datagram endpoint's in one multi-datagram send).
        auto end = std::next(batch.begin());
        for (int n = 1;
             n < kMaxGatherBlocks && end != batch.end() && BlockHeader(*end)->pConn == conn; ++n) {
            ++end;
        }
        run.splice(run.end(), batch, batch.begin(), end);
        CLockGuard lock(conn->sendLock);
        if (send_run(conn, run, freeNodes)) {
            conn->bHeld = true;
            m_heldConns.push_back(conn);
        }
    }
}

// Moves the batch's first block behind the record's pending write. A write the reader thread left
// pending (flush_run) makes the record held here first; it was pending before the block was
// queued, so it cannot end unnoticed: its end sets m_heldReady.
void CSendQueue::hold(CSocketConnection* conn, std::list<char*>& batch)
{
    if (!conn->bHeld) {
        conn->bHeld = true;
        m_heldConns.push_back(conn);
    }
    conn->heldBlocks.splice(conn->heldBlocks.end(), batch, batch.begin());
}

void CSendQueue::send_held(std::list<char*>& freeNodes)
{
    for (size_t i = 0; i < m_heldConns.size();) {
        CSocketConnection* conn = m_heldConns[i];
        drain_held(conn, freeNodes);
        if (conn->bHeld) {
            ++i;
            continue;
        }
        m_heldConns[i] = m_heldConns.back();
        m_heldConns.pop_back();
    }
}

// Sends a held record's blocks in order once its pending write has ended; stops at the first
// block that is left to the writer thread again.
void CSendQueue::drain_held(CSocketConnection* conn, std::list<char*>& freeNodes)
{
    CLockGuard lock(conn->sendLock);
    if (conn->iWritePending.load() > 0) {
        return;
    }
    std::list<char*> run;
    while (!conn->heldBlocks.empty()) {
        const size_t take = std::min<size_t>(kMaxGatherBlocks, conn->heldBlocks.size());
        run.splice(run.end(), conn->heldBlocks, conn->heldBlocks.begin(),
                   std::next(conn->heldBlocks.begin(), static_cast<std::ptrdiff_t>(take)));
        if (send_run(conn, run, freeNodes)) {
            return;
        }
    }
    conn->bHeld = false;
}
