// The event loop: epoll waits and dispatch on the reader ("finsEpollRd") and writer
// ("finsEpollWr") threads, the send queue drained by "SockSend", and the pool of connection
// records. The owner's thread builds, starts, stops and destroys the loop.
#include "net/EventLoop.h"

#include <poll.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <iterator>

#include "base/LogLimiter.h"
#include "base/kellog.h"

namespace {

constexpr const char* kLogEpollRdCreate = "create epoll readd fd error:%d,%s";
constexpr const char* kLogEpollWrCreate = "create epoll write fd error:%d,%s";
constexpr const char* kLogEpollCtl = "epoll_ctl(%d,%u,%u,%d)fail,error:%d,%s";
constexpr const char* kLogEpollWait = "epoll_wait() fail:%s";
constexpr const char* kLogEpollNoBlock = "epoll_wait() should block,but return,error:%s";
constexpr const char* kLogThreadCreate = "pthread_create realtime thread fail,error:%d,%s";
constexpr const char* kLogThreadOrdinary =
    "realtime scheduling refused (priority %u): thread runs with ordinary scheduling";
constexpr const char* kLogThreadName = "pthread_setname_np fail:,%d,%s";
constexpr const char* kLogSendRegister = "ServerSendQueueThread epoll_oper_event fail(%s)";
constexpr const char* kLogStopping = "eventloop all thread ready stop";
constexpr const char* kLogStopped = "eventloop all thread stop success";
constexpr const char* kLogClose = "close connection:%x,fd:%d,iCurrsequence:%lu";

constexpr uint32_t kReadMask = EPOLLIN | EPOLLRDHUP;
// A server socket registered with the data read handler is the datagram endpoint (UDP); a
// listener registers its accept handler.
constexpr SockEventHandler kDatagramReadHandler = &ISocketServer::sock_read_request_handler;

// A failing wait is retried after a pause (WaitAfterFailure) and logged at most once a second.
CLogLimiter s_waitLimit(kLogEpollWait, kLogLimitBackoffLines);
CLogLimiter s_noBlockLimit(kLogEpollNoBlock, kLogLimitBackoffLines);

// The loop whose reader thread this is; null on every other thread. Responses made on the reader
// thread collect in that loop's outbox and reach the send queue once per read event.
thread_local CEventLoop* t_readerLoop = nullptr;
constexpr uint32_t kErrorMask = EPOLLERR | EPOLLHUP | EPOLLRDHUP;

_SockMsgHeader* BlockHeader(char* block)
{
    return reinterpret_cast<_SockMsgHeader*>(block);
}

// After a failed wait the thread still waits out the timeout: a broken epoll descriptor must not
// turn a real-time thread into a spinning one.
void WaitAfterFailure()
{
    (void)poll(nullptr, 0, kEpollWaitMs);
}

void NameThread(const char* name)
{
    const int rc = pthread_setname_np(pthread_self(), name);
    if (rc != 0) {
        kelLogAddErrorF(kLogThreadName, rc, SysErrText(rc).text);
    }
}

using ThreadCreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

// One joinable thread with explicit scheduling and an 8 MiB stack. The priority is set before
// and again after the policy, as the policy decides which priorities are valid.
int StartThread(ThreadCreateFn create, pthread_t* tid, void* (*start)(void*), void* arg, int policy,
                int priority)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    (void)pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
    (void)pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
    sched_param param{};
    param.sched_priority = priority;
    (void)pthread_attr_setschedparam(&attr, &param);
    (void)pthread_attr_setschedpolicy(&attr, policy);
    (void)pthread_attr_setschedparam(&attr, &param);
    (void)pthread_attr_setstacksize(&attr, kThreadStackBytes);
    const int rc = create(tid, &attr, start, arg);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        *tid = 0; // the id may have been written for a thread that never ran
    }
    return rc;
}

// Takes the first block off a run of blocks; its list node goes to the spare nodes.
char* TakeFront(std::list<char*>& run, std::list<char*>& freeNodes)
{
    char* block = run.front();
    run.front() = nullptr;
    freeNodes.splice(freeNodes.end(), run, run.begin());
    return block;
}

void DecrementIfPositive(std::atomic<int>& counter)
{
    int value = counter.load();
    while (value > 0 && !counter.compare_exchange_weak(value, value - 1)) {
    }
}

} // namespace

CEventLoop::CEventLoop()
{
    (void)epoll_init(); // logged inside; the loop then runs with a descriptor of -1
}

CEventLoop::~CEventLoop()
{
    if (m_epollRdFd != -1) {
        close(m_epollRdFd);
    }
    if (m_epollWrFd != -1) {
        close(m_epollWrFd);
    }
    // Connections still open are closed so their clients see the end and no descriptor outlives
    // the loop; the servers' own sockets belong to the servers.
    for (CSocketConnection* conn : m_allConnections) {
        const int fd = conn->fd.load();
        if (fd != -1 && !conn->bListener) {
            close(fd);
            conn->fd.store(-1);
        }
        for (char* block : conn->heldBlocks) {
            delete[] block;
        }
        conn->heldBlocks.clear();
    }
    for (char* block : m_sendQueue) {
        delete[] block;
    }
    for (char* block : m_rdOutbox) {
        delete[] block;
    }
    m_rdOutbox.clear();
    m_sendQueue.clear();
    m_sendQueueCount.store(0);
    clear_connections();
    m_freeConnections.clear();
    m_recyConnections.clear();
}

int CEventLoop::epoll_init()
{
    m_epollRdFd = epoll_create1(0);
    if (m_epollRdFd == -1) {
        const int err = errno;
        kelLogAddErrorF(kLogEpollRdCreate, err, SysErrText(err).text);
        return -1;
    }
    m_epollWrFd = epoll_create1(0);
    if (m_epollWrFd == -1) {
        const int err = errno;
        kelLogAddErrorF(kLogEpollWrCreate, err, SysErrText(err).text);
        return -1;
    }
    return 0;
}

int CEventLoop::epoll_oper_event(int epfd, int fd, unsigned int op, unsigned int flag, int mode,
                                 CSocketConnection* conn)
{
    epoll_event ev{};
    ev.data.ptr = conn;
    if (op == EPOLL_CTL_ADD) {
        ev.events = flag;
    } else if (op == EPOLL_CTL_MOD) {
        const uint32_t current = conn != nullptr ? conn->events.load(std::memory_order_relaxed) : 0;
        ev.events = mode == EPOLL_MODE_ADD      ? (current | flag)
                    : mode == EPOLL_MODE_REMOVE ? (current & ~flag)
                                                : flag;
    } else if (op != EPOLL_CTL_DEL) {
        return 0;
    }
    if (epoll_ctl(epfd, static_cast<int>(op), fd, &ev) == -1) {
        const int err = errno;
        kelLogAddErrorF(kLogEpollCtl, fd, op, flag, mode, err, SysErrText(err).text);
        errno = err; // callers may report the failure with their own line
        return -1;
    }
    if (op != EPOLL_CTL_DEL && conn != nullptr) {
        conn->events.store(ev.events, std::memory_order_relaxed);
    }
    return 0;
}

int CEventLoop::epoll_process_event(int epfd, int timeout_ms)
{
    epoll_event events[kEpollMaxEvents];
    const int n = epoll_wait(epfd, events, kEpollMaxEvents, timeout_ms);
    if (n == -1) {
        const int err = errno;
        if (err == EINTR) {
            return 0;
        }
        if (s_waitLimit.Admit()) {
            kelLogAddErrorF(kLogEpollWait, SysErrText(err).text);
        }
        return -1;
    }
    if (n == 0) {
        if (timeout_ms == -1) {
            if (s_noBlockLimit.Admit()) {
                kelLogAddErrorF(kLogEpollNoBlock, SysErrText(errno).text);
            }
            return -1;
        }
        return 0;
    }
    const bool writeInstance = epfd == m_epollWrFd;
    for (int i = 0; i < n; ++i) {
        auto* conn = static_cast<CSocketConnection*>(events[i].data.ptr);
        const uint32_t ev = events[i].events;
        if (conn == nullptr) {
            continue;
        }
        // An error or hang-up without EPOLLIN on the read side is handed to the read handler
        // too: its receive takes the error and closes, where ignoring the level-triggered event
        // would report it again at once.
        const bool readable =
            (ev & EPOLLIN) != 0 || (!writeInstance && (ev & (EPOLLERR | EPOLLHUP)) != 0);
        if (readable) {
            dispatch_read_event(conn);
        }
        if ((ev & EPOLLOUT) != 0 || (writeInstance && (ev & kErrorMask) != 0)) {
            dispatch_write_event(conn, ev);
        }
    }
    if (t_readerLoop == this) {
        flush_outbox();
    }
    return 0;
}

// Every handler call performs one receive (or accept). Frames pipelined by the peer are taken in
// the same wake-up, up to kReadsPerEvent calls, which keeps connections served fairly; the loop
// ends when a call finds nothing or drains the socket, closes the connection or pauses it.
// Responses reach the send thread as soon as it is idle, so it writes while the reader goes on;
// while it is busy they collect and go together at the end of the wait's events (flush_outbox),
// where it finds them in one batch without another wake-up.
void CEventLoop::dispatch_read_event(CSocketConnection* conn)
{
    const SockEventHandler handler = conn->readHandler;
    ISocketServer* server = conn->pSockServer;
    if (handler == nullptr || server == nullptr) {
        return;
    }
    for (int i = 0; i < kReadsPerEvent; ++i) {
        const int rc = (server->*handler)(conn);
        if (!m_rdOutbox.empty() && m_sendWaiting.load(std::memory_order_relaxed)) {
            flush_outbox();
        }
        // A listener takes one accept per event: an accept that finds nothing would log. The
        // datagram endpoint reads on until a receive finds nothing (which it does not log), so a
        // burst of datagrams costs one wait.
        const bool acceptor = conn->bListener && handler != kDatagramReadHandler;
        if (rc != 0 || acceptor || conn->bRecvDrained || conn->fd.load() == -1 ||
            conn->bReadPaused.load()) {
            break;
        }
    }
}

void CEventLoop::dispatch_write_event(CSocketConnection* conn, uint32_t ev)
{
    std::lock_guard<std::mutex> lock(conn->sendLock);
    const int fd = conn->fd.load();
    if (conn->iWritePending.load() <= 0 || fd == -1 || conn->pSendBlock == nullptr) {
        // Nothing is pending: a registration left over from a failed removal ends here, or the
        // event was fetched before the connection was closed.
        if (fd != -1) {
            (void)epoll_oper_event(m_epollWrFd, fd, EPOLL_CTL_DEL, EPOLLOUT, EPOLL_MODE_REMOVE,
                                   conn);
        }
        return;
    }
    // The peer is gone (or the record has no write handler): end the registration once and drop
    // the unfinished block; a level-triggered error would otherwise fire again and again.
    const SockEventHandler handler = conn->writeHandler;
    ISocketServer* server = conn->pSockServer;
    if ((ev & kErrorMask) != 0 || handler == nullptr || server == nullptr) {
        end_write_registration(conn);
        return;
    }
    (void)(server->*handler)(conn);
}

void CEventLoop::end_write_registration(CSocketConnection* conn)
{
    (void)epoll_oper_event(m_epollWrFd, conn->fd.load(), EPOLL_CTL_DEL, EPOLLOUT, EPOLL_MODE_REMOVE,
                           conn);
    finish_write(conn);
}

int CEventLoop::epoll_add_listen_event(ISocketServer* server,
                                       int (ISocketServer::*handler)(CSocketConnection*))
{
    if (server == nullptr || server->get_listen_sock() == -1) {
        return -1; // a socket the server could not open or bind would only report errors
    }
    server->set_event_loop(this);
    CSocketConnection* conn = get_connection(server->get_listen_sock());
    conn->SetSockServer(server);
    conn->readHandler = handler;
    conn->bListener = true;
    // A data endpoint (the UDP socket) may have to retry a datagram on writability; its record
    // needs the write handler for that. A listener never registers for writing.
    if (handler == kDatagramReadHandler) {
        conn->writeHandler = &ISocketServer::sock_write_request_handler;
    }
    return epoll_oper_event(m_epollRdFd, conn->fd.load(), EPOLL_CTL_ADD, kReadMask, EPOLL_MODE_ADD,
                            conn);
}

int CEventLoop::CreateRealtimeThread(pthread_t* tid, void* (*start)(void*), void* arg,
                                     unsigned int priority)
{
    const int level = static_cast<int>(std::min(priority, kMaxThreadPriority));
    const int policy = level != 0 ? SCHED_FIFO : SCHED_OTHER;
    int rc = StartThread(m_threadCreate, tid, start, arg, policy, level);
    if (rc == 0) {
        return 0;
    }
    kelLogAddErrorF(kLogThreadCreate, rc, SysErrText(rc).text);
    if (rc != EPERM || policy == SCHED_OTHER) {
        return -1;
    }
    // Without the right to real-time scheduling the server still runs, at ordinary priority.
    rc = StartThread(m_threadCreate, tid, start, arg, SCHED_OTHER, 0);
    if (rc != 0) {
        kelLogAddErrorF(kLogThreadCreate, rc, SysErrText(rc).text);
        return -1;
    }
    kelLogAddWarnF(kLogThreadOrdinary, priority);
    return 0;
}

int CEventLoop::event_start(unsigned int priority)
{
    (void)CreateRealtimeThread(&m_rdThread, &CEventLoop::SocketEpollRdThread, this, priority);
    (void)CreateRealtimeThread(&m_wrThread, &CEventLoop::SocketEpollWrThread, this, priority);
    return CreateRealtimeThread(&m_sendThread, &CEventLoop::SocketSendThread, this, priority);
}

void CEventLoop::event_stop()
{
    kelLogAddInfoF("%s", kLogStopping);
    m_stopRd.store(true);
    m_stopWr.store(true);
    m_stopSend.store(true);
    {
        std::lock_guard<std::mutex> lock(m_sendMutex);
        m_sendCond.notify_all();
    }
    for (pthread_t* tid : {&m_sendThread, &m_rdThread, &m_wrThread}) {
        if (*tid != 0) {
            pthread_join(*tid, nullptr);
            *tid = 0;
        }
    }
    kelLogAddInfoF("%s", kLogStopped);
}

void CEventLoop::msg_send(char* block)
{
    if (block == nullptr) {
        return;
    }
    CSocketConnection* conn = BlockHeader(block)->pConn;
    if (conn != nullptr) {
        conn->iBacklog.fetch_add(1, std::memory_order_relaxed);
    }
    if (t_readerLoop == this) {
        if (m_rdSpare.empty()) {
            m_rdOutbox.push_back(block);
        } else {
            m_rdOutbox.splice(m_rdOutbox.end(), m_rdSpare, m_rdSpare.begin());
            m_rdOutbox.back() = block;
        }
        return;
    }
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_sendMutex);
        if (m_sendSpare.empty()) {
            m_sendQueue.push_back(block);
        } else {
            m_sendQueue.splice(m_sendQueue.end(), m_sendSpare, m_sendSpare.begin());
            m_sendQueue.back() = block;
        }
        m_sendQueueCount.fetch_add(1);
        wake = m_sendWaiting.load(std::memory_order_relaxed);
    }
    // Signalled only when the send thread may be waiting; after the unlock, so it does not wake
    // into a held mutex.
    if (wake) {
        m_sendCond.notify_one();
    }
}

void CEventLoop::flush_outbox()
{
    if (m_rdOutbox.empty()) {
        return;
    }
    const auto count = static_cast<int>(m_rdOutbox.size());
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_sendMutex);
        m_sendQueue.splice(m_sendQueue.end(), m_rdOutbox);
        m_sendQueueCount.fetch_add(count);
        if (m_rdSpare.size() < kSendSpareNodes) {
            m_rdSpare.splice(m_rdSpare.end(), m_sendSpare);
        }
        wake = m_sendWaiting.load(std::memory_order_relaxed);
    }
    if (wake) {
        m_sendCond.notify_one();
    }
}

void CEventLoop::notify_sendthread()
{
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_sendMutex);
        m_heldReady = true;
        wake = m_sendWaiting.load(std::memory_order_relaxed);
    }
    if (wake) {
        m_sendCond.notify_one();
    }
}

void CEventLoop::send_block_done(char* block)
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
        resume_read(conn);
    }
}

void CEventLoop::finish_write(CSocketConnection* conn)
{
    char* block = conn->pSendBlock;
    conn->pSendBlock = nullptr;
    conn->pSendPos = nullptr;
    conn->iSendLeft = 0;
    if (block != nullptr) {
        send_block_done(block);
    }
    DecrementIfPositive(conn->iWritePending);
    notify_sendthread();
}

void CEventLoop::pause_read_if_backlogged(CSocketConnection* conn)
{
    if (conn == nullptr || conn->iBacklog.load(std::memory_order_relaxed) < kBacklogPauseBlocks) {
        return;
    }
    std::lock_guard<std::mutex> lock(conn->sendLock);
    const int fd = conn->fd.load();
    if (conn->bReadPaused.load() || fd == -1 || conn->iBacklog.load() < kBacklogPauseBlocks) {
        return;
    }
    // Removed rather than modified to an empty mask: epoll reports errors and hang-ups whatever
    // the mask, and a level-triggered report nobody reads would spin the reader thread.
    if (epoll_oper_event(m_epollRdFd, fd, EPOLL_CTL_DEL, kReadMask, EPOLL_MODE_REMOVE, conn) == 0) {
        conn->bReadPaused.store(true);
    }
}

bool CEventLoop::defer_close_while_replies_owed(CSocketConnection* conn)
{
    std::lock_guard<std::mutex> lock(conn->sendLock);
    const int fd = conn->fd.load();
    if (fd == -1 || conn->iBacklog.load() <= 0) {
        return false;
    }
    if (!conn->bReadPaused.load()) {
        if (epoll_oper_event(m_epollRdFd, fd, EPOLL_CTL_DEL, kReadMask, EPOLL_MODE_REMOVE, conn) !=
            0) {
            return false;
        }
        conn->bReadPaused.store(true);
    }
    conn->bPeerClosed.store(true);
    return true;
}

void CEventLoop::resume_read(CSocketConnection* conn)
{
    // Under the record's sendLock, so a close (which clears the flag first) cannot interleave.
    const int fd = conn->fd.load();
    if (fd != -1) {
        (void)epoll_oper_event(m_epollRdFd, fd, EPOLL_CTL_ADD, kReadMask, EPOLL_MODE_ADD, conn);
    }
    conn->bReadPaused.store(false);
}

void CEventLoop::pause_listener(CSocketConnection* conn)
{
    if (conn == nullptr) {
        return;
    }
    for (const auto& paused : m_pausedListeners) {
        if (paused.first == conn) {
            return;
        }
    }
    if (epoll_oper_event(m_epollRdFd, conn->fd.load(), EPOLL_CTL_DEL, kReadMask, EPOLL_MODE_REMOVE,
                         conn) == 0) {
        m_pausedListeners.emplace_back(conn, std::chrono::steady_clock::now() + kListenerPause);
    }
}

int CEventLoop::reader_wait_ms()
{
    if (m_pausedListeners.empty()) {
        return kEpollWaitMs;
    }
    auto due = m_pausedListeners.front().second;
    for (const auto& paused : m_pausedListeners) {
        due = std::min(due, paused.second);
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<int64_t>(left.count(), 0, kEpollWaitMs));
}

void CEventLoop::resume_due_listeners()
{
    if (m_pausedListeners.empty()) {
        return; // the usual case: no clock read per wait
    }
    const auto now = std::chrono::steady_clock::now();
    for (size_t i = 0; i < m_pausedListeners.size();) {
        if (m_pausedListeners[i].second > now) {
            ++i;
            continue;
        }
        CSocketConnection* conn = m_pausedListeners[i].first;
        (void)epoll_oper_event(m_epollRdFd, conn->fd.load(), EPOLL_CTL_ADD, kReadMask,
                               EPOLL_MODE_ADD, conn);
        m_pausedListeners[i] = m_pausedListeners.back();
        m_pausedListeners.pop_back();
    }
}

void* CEventLoop::SocketEpollRdThread(void* loop)
{
    NameThread("finsEpollRd");
    static_cast<CEventLoop*>(loop)->EpollRdThread();
    return nullptr;
}

void* CEventLoop::SocketEpollWrThread(void* loop)
{
    NameThread("finsEpollWr");
    static_cast<CEventLoop*>(loop)->EpollWrThread();
    return nullptr;
}

void* CEventLoop::SocketSendThread(void* loop)
{
    NameThread("SockSend");
    static_cast<CEventLoop*>(loop)->SendThread();
    return nullptr;
}

void CEventLoop::EpollRdThread()
{
    t_readerLoop = this;
    while (!m_stopRd.load()) {
        if (epoll_process_event(m_epollRdFd, reader_wait_ms()) != 0) {
            WaitAfterFailure();
        }
        resume_due_listeners();
        IdelRecyConnections();
    }
    flush_outbox();
    t_readerLoop = nullptr;
}

void CEventLoop::EpollWrThread()
{
    while (!m_stopWr.load()) {
        if (epoll_process_event(m_epollWrFd, kEpollWaitMs) != 0) {
            WaitAfterFailure();
        }
    }
}

// The send thread takes the whole queue at once and writes outside m_sendMutex, so producers are
// never held up by socket writes. Blocks of a record whose earlier block is still being finished
// by the writer thread move (node and all) to that record's held list and leave the queue; a
// pass therefore never walks them again, and the thread sleeps until a write handler reports
// (notify_sendthread), a block arrives or a stop is asked: no pass runs without work.
void CEventLoop::SendThread()
{
    std::list<char*> batch;
    std::list<char*> freeNodes;
    while (wait_for_send_work(batch, freeNodes)) {
        send_batch(batch, freeNodes);
    }
}

bool CEventLoop::wait_for_send_work(std::list<char*>& batch, std::list<char*>& freeNodes)
{
    bool heldReady = false;
    {
        std::unique_lock<std::mutex> lock(m_sendMutex);
        if (m_sendSpare.size() < kSendSpareNodes) {
            m_sendSpare.splice(m_sendSpare.end(), freeNodes);
        }
        while (m_sendQueue.empty() && !m_heldReady && !m_stopSend.load()) {
            m_sendWaiting.store(true, std::memory_order_relaxed);
            m_sendCond.wait(lock);
            m_sendWaiting.store(false, std::memory_order_relaxed);
        }
        if (m_stopSend.load()) {
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

void CEventLoop::send_batch(std::list<char*>& batch, std::list<char*>& freeNodes)
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
        if (conn->bHeld) {
            conn->heldBlocks.splice(conn->heldBlocks.end(), batch, batch.begin());
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
        std::lock_guard<std::mutex> lock(conn->sendLock);
        if (send_run(conn, run, freeNodes)) {
            conn->bHeld = true;
            m_heldConns.push_back(conn);
        }
    }
}

// Writes a run of one record's blocks, in order. The caller holds the record's sendLock and the
// record has no write pending. Blocks of an ended use are dropped. True when a block was left to
// the writer thread; the run's unsent blocks are then at the front of the record's held list.
bool CEventLoop::send_run(CSocketConnection* conn, std::list<char*>& run,
                          std::list<char*>& freeNodes)
{
    const uint64_t sequence = conn->iCurrsequence.load();
    for (auto it = run.begin(); it != run.end();) {
        if (BlockHeader(*it)->iSequence == sequence) {
            ++it;
            continue;
        }
        send_block_done(*it); // made for a use of the record that has ended
        *it = nullptr;
        auto node = it++;
        freeNodes.splice(freeNodes.end(), run, node);
    }
    if (run.size() > 1) {
        return conn->bListener ? send_datagrams(conn, run, freeNodes)
                               : send_gather(conn, run, freeNodes);
    }
    if (run.empty()) {
        return false;
    }
    return send_one(conn, TakeFront(run, freeNodes));
}

// Several responses of one TCP connection in one send: fewer system calls and one pass through
// the socket's lock. Same bytes, same order as one send per block.
bool CEventLoop::send_gather(CSocketConnection* conn, std::list<char*>& run,
                             std::list<char*>& freeNodes)
{
    iovec iov[kMaxGatherBlocks];
    size_t count = 0;
    size_t total = 0;
    for (char* block : run) {
        iov[count].iov_base = SockMsgPayload(block);
        iov[count].iov_len = BlockHeader(block)->iLen;
        total += iov[count++].iov_len;
    }
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = count;
    const ssize_t r = sendmsg(conn->fd.load(), &msg, MSG_NOSIGNAL);
    // A failure other than a full socket drops the responses, as a failed single send does.
    const bool failed = (r < 0 && errno != EAGAIN) || (r == 0 && total > 0);
    size_t written = r > 0 ? static_cast<size_t>(r) : 0;
    while (!run.empty()) {
        const size_t len = BlockHeader(run.front())->iLen;
        if (!failed && written < len) {
            break;
        }
        written -= failed ? 0 : len;
        send_block_done(TakeFront(run, freeNodes));
    }
    if (run.empty()) {
        conn->iWritePending.store(0);
        return false;
    }
    char* head = TakeFront(run, freeNodes);
    conn->pSendBlock = head;
    conn->pSendPos = SockMsgPayload(head) + written;
    conn->iSendLeft = BlockHeader(head)->iLen - static_cast<uint32_t>(written);
    conn->heldBlocks.splice(conn->heldBlocks.begin(), run);
    wait_writable(conn);
    return true;
}

// Several responses of the datagram endpoint in one sendmmsg, each to the destination its block
// carries and from the local address its request was sent to. A datagram the call does not take (a
// full socket or a failure) goes through send_one, which logs a failure and leaves a full socket to
// the writer thread; the rest then wait behind it, as after any pending write. The caller holds the
// record's sendLock.
bool CEventLoop::send_datagrams(CSocketConnection* conn, std::list<char*>& run,
                                std::list<char*>& freeNodes)
{
    mmsghdr msgs[kMaxGatherBlocks];
    iovec iov[kMaxGatherBlocks];
    SourceAddrControl sources[kMaxGatherBlocks];
    while (!run.empty()) {
        unsigned int count = 0;
        for (auto it = run.begin(); run.size() > 1 && it != run.end() && count < kMaxGatherBlocks;
             ++it, ++count) {
            _SockMsgHeader* header = BlockHeader(*it);
            iov[count].iov_base = SockMsgPayload(*it);
            iov[count].iov_len = header->iLen;
            msgs[count] = mmsghdr{};
            msgs[count].msg_hdr.msg_name = &header->peerAddr;
            msgs[count].msg_hdr.msg_namelen = sizeof(header->peerAddr);
            msgs[count].msg_hdr.msg_iov = &iov[count];
            msgs[count].msg_hdr.msg_iovlen = 1;
            SetDatagramSource(msgs[count].msg_hdr, sources[count], header->localAddr);
        }
        const int sent = count > 1 ? sendmmsg(conn->fd.load(), msgs, count, MSG_NOSIGNAL) : 0;
        for (int i = 0; i < sent; ++i) {
            send_block_done(TakeFront(run, freeNodes));
        }
        if (sent > 0 || run.empty()) {
            continue; // a datagram the call stopped at is the first of the next call
        }
        if (send_one(conn, TakeFront(run, freeNodes))) {
            conn->heldBlocks.splice(conn->heldBlocks.begin(), run);
            return true;
        }
    }
    return false;
}

// Writes one block of a record that has no write pending. The caller holds the record's sendLock.
// True when the block was left to the writer thread (the record's later blocks must wait).
bool CEventLoop::send_one(CSocketConnection* conn, char* block)
{
    conn->pSendBlock = block;
    conn->pSendPos = SockMsgPayload(block);
    conn->iSendLeft = BlockHeader(block)->iLen;
    const int r = conn->sendproc(conn->pSendPos, conn->iSendLeft);
    if (r == static_cast<int>(conn->iSendLeft) || r == 0 || r < -1) {
        // Sent, or failed for good: a failed response is dropped and the reader side closes the
        // connection when it notices.
        conn->pSendBlock = nullptr;
        conn->pSendPos = nullptr;
        conn->iSendLeft = 0;
        conn->iWritePending.store(0);
        send_block_done(block);
        return false;
    }
    if (r > 0) {
        conn->pSendPos += r;
        conn->iSendLeft -= static_cast<uint32_t>(r);
    }
    wait_writable(conn);
    return true;
}

// The record's current send block waits for writability; the writer thread finishes it.
void CEventLoop::wait_writable(CSocketConnection* conn)
{
    conn->iWritePending.fetch_add(1);
    if (epoll_oper_event(m_epollWrFd, conn->fd.load(), EPOLL_CTL_ADD, EPOLLOUT, EPOLL_MODE_ADD,
                         conn) != 0) {
        kelLogAddErrorF(kLogSendRegister, SysErrText(errno).text);
    }
}

void CEventLoop::send_held(std::list<char*>& freeNodes)
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
void CEventLoop::drain_held(CSocketConnection* conn, std::list<char*>& freeNodes)
{
    std::lock_guard<std::mutex> lock(conn->sendLock);
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

// --- Connection pool ---

int CEventLoop::init_connections(int count)
{
    for (int i = 0; i < count; ++i) {
        auto* conn = new CSocketConnection();
        conn->GetOneToUse();
        m_allConnections.push_back(conn);
        m_freeConnections.push_back(conn);
    }
    return 0;
}

CSocketConnection* CEventLoop::get_connection(int fd)
{
    std::lock_guard<std::mutex> lock(m_poolMutex);
    CSocketConnection* conn = nullptr;
    if (!m_freeConnections.empty()) {
        conn = m_freeConnections.front();
        m_freeConnections.pop_front();
    } else {
        conn = new CSocketConnection();
        m_allConnections.push_back(conn);
    }
    conn->GetOneToUse();
    conn->fd.store(fd);
    return conn;
}

void CEventLoop::free_connection(CSocketConnection* conn)
{
    std::lock_guard<std::mutex> lock(m_poolMutex);
    conn->PutOneToFree();
    m_freeConnections.push_back(conn);
}

int CEventLoop::inRecyConnectQueue(CSocketConnection* conn)
{
    std::lock_guard<std::mutex> lock(m_recyMutex);
    if (conn->bInRecy) {
        return 0;
    }
    conn->bInRecy = true;
    conn->recyTime = time(nullptr);
    conn->iCurrsequence.fetch_add(1);
    m_recyConnections.push_back(conn);
    m_recyCount.fetch_add(1);
    return 0;
}

void CEventLoop::close_connections(CSocketConnection* conn)
{
    if (conn == nullptr) {
        return;
    }
    kelLogAddWarnF(kLogClose, static_cast<unsigned int>(reinterpret_cast<uintptr_t>(conn)),
                   conn->fd.load(), static_cast<unsigned long>(conn->iCurrsequence.load()));
    // The sequence moves first, so a block the send thread takes from here on is stale.
    inRecyConnectQueue(conn);
    std::lock_guard<std::mutex> lock(conn->sendLock);
    if (conn->iWritePending.load() > 0) {
        // The close ends the write registration; the unfinished block goes with it.
        finish_write(conn);
    }
    conn->bReadPaused.store(false);
    conn->bPeerClosed.store(false);
    const int fd = conn->fd.load();
    if (fd != -1) {
        close(fd);
        conn->fd.store(-1);
    }
}

void CEventLoop::IdelRecyConnections()
{
    if (m_recyCount.load() <= 0) {
        return;
    }
    const time_t now = time(nullptr);
    std::lock_guard<std::mutex> lock(m_recyMutex);
    for (auto it = m_recyConnections.begin(); it != m_recyConnections.end();) {
        CSocketConnection* conn = *it;
        if (conn->recyTime + m_recyWaitSec > now) {
            ++it;
            continue;
        }
        it = m_recyConnections.erase(it);
        conn->bInRecy = false;
        m_recyCount.fetch_sub(1);
        free_connection(conn);
    }
}

void CEventLoop::clear_connections()
{
    for (CSocketConnection* conn : m_allConnections) {
        delete conn;
    }
    m_allConnections.clear();
}
