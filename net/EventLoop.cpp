// The event loop's threads and dispatch: epoll waits on the reader ("finsEpollRd") and writer
// ("finsEpollWr") threads, closing connections and pausing listeners. The send thread
// ("SockSend") runs the send queue (which also pauses reading from backlogged connections); the
// pool holds the records. The owner's thread builds, starts, stops and destroys the loop.
#include "net/EventLoop.h"

#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "base/LogLimiter.h"
#include "base/kellog.h"
#include "net/RealtimeThread.h"

namespace {

constexpr const char* kLogEpollRdCreate = "create epoll readd fd error:%d,%s";
constexpr const char* kLogEpollWrCreate = "create epoll write fd error:%d,%s";
constexpr const char* kLogEpollCtl = "epoll_ctl(%d,%u,%u,%d)fail,error:%d,%s";
constexpr const char* kLogEpollWait = "epoll_wait() fail:%s";
constexpr const char* kLogEpollNoBlock = "epoll_wait() should block,but return,error:%s";
constexpr const char* kLogStopping = "eventloop all thread ready stop";
constexpr const char* kLogStopped = "eventloop all thread stop success";
constexpr const char* kLogClose = "close connection:%x,fd:%d,iCurrsequence:%llu";

// Slots of the loop's threads in the CPU clock.
constexpr int kReaderClock = 0;
constexpr int kWriterClock = 1;
constexpr int kSendClock = 2;

// A failing wait is retried after a pause (WaitAfterFailure) and logged at most once a second.
CLogLimiter s_waitLimit(kLogEpollWait, kLogLimitBackoffLines);
CLogLimiter s_noBlockLimit(kLogEpollNoBlock, kLogLimitBackoffLines);
// Any client can open and close connections at line rate.
CLogLimiter s_closeLimit(kLogClose, kLogLimitPeerLines);

constexpr uint32_t kErrorMask = EPOLLERR | EPOLLHUP | EPOLLRDHUP;
constexpr int64_t kEpollWaitNs = int64_t{kEpollWaitMs} * 1'000'000;

// After a failed wait the thread still waits out the timeout: a broken epoll descriptor must not
// turn a real-time thread into a spinning one.
void WaitAfterFailure()
{
    (void)poll(nullptr, 0, kEpollWaitMs);
}

} // namespace

CEventLoop::CEventLoop()
{
    (void)epoll_init(); // logged inside; the loop then runs with a descriptor of -1
}

CEventLoop::~CEventLoop()
{
    FINS_ASSERT_NOT_ROLE(m_readerRole);
    if (m_epollRdFd != -1) {
        close(m_epollRdFd);
    }
    if (m_epollWrFd != -1) {
        close(m_epollWrFd);
    }
    // The send queue releases its blocks, then the pool closes the sockets still open and
    // destroys the records (members in reverse order).
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
        s_waitLimit.ErrorF(kLogEpollWait, SysErrText(err).text);
        return -1;
    }
    if (n == 0) {
        if (timeout_ms == -1) {
            s_noBlockLimit.ErrorF(kLogEpollNoBlock, SysErrText(errno).text);
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
    if (m_readerRole.is_self()) {
        m_send.flush_outbox();
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
    FINS_ASSERT_ROLE(m_readerRole);
    const SockEventHandler handler = conn->readHandler;
    ISocketServer* server = conn->pSockServer;
    if (handler == nullptr || server == nullptr) {
        return;
    }
    for (int i = 0; i < kReadsPerEvent; ++i) {
        const int rc = (server->*handler)(conn);
        m_send.flush_run();
        m_send.flush_if_idle();
        // A listener takes one accept per event: an accept that finds nothing would log. The
        // datagram endpoint reads on until a receive finds nothing (which it does not log), so a
        // burst of datagrams costs one wait.
        if (rc != 0 || conn->kind == RecordKind::Listener || conn->bRecvDrained ||
            conn->fd.load() == -1 || conn->bReadPaused.load()) {
            break;
        }
    }
}

void CEventLoop::dispatch_write_event(CSocketConnection* conn, uint32_t ev)
{
    FINS_ASSERT_ROLE(m_writerRole);
    CLockGuard lock(conn->sendLock);
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
                                       int (ISocketServer::*handler)(CSocketConnection*),
                                       RecordKind kind)
{
    FINS_ASSERT(!on_loop_thread());
    if (server == nullptr || server->get_listen_sock() == -1) {
        return -1; // a socket the server could not open or bind would only report errors
    }
    server->set_event_loop(this);
    CSocketConnection* conn = get_connection(server->get_listen_sock());
    conn->SetSockServer(server);
    conn->readHandler = handler;
    conn->kind = kind;
    // A data endpoint (the UDP socket) may have to retry a datagram on writability; its record
    // needs the write handler for that. A listener never registers for writing.
    if (kind == RecordKind::Datagram) {
        conn->writeHandler = &ISocketServer::sock_write_request_handler;
    }
    m_servers.push_back(server);
    return epoll_oper_event(m_epollRdFd, conn->fd.load(), EPOLL_CTL_ADD, kEpollReadMask,
                            EPOLL_MODE_ADD, conn);
}

int CEventLoop::CreateRealtimeThread(pthread_t* tid, void* (*start)(void*), void* arg,
                                     unsigned int priority)
{
    return StartRealtimeThread(m_threadCreate, tid, start, arg, priority);
}

void CEventLoop::set_cpu_share(unsigned percent)
{
    FINS_ASSERT(!on_loop_thread());
    m_budget.set_share(percent);
}

int CEventLoop::event_start(unsigned int priority)
{
    FINS_ASSERT(!on_loop_thread());
    const int rd =
        CreateRealtimeThread(&m_rdThread, &CEventLoop::SocketEpollRdThread, this, priority);
    const int wr =
        CreateRealtimeThread(&m_wrThread, &CEventLoop::SocketEpollWrThread, this, priority);
    const int send =
        CreateRealtimeThread(&m_sendThread, &CEventLoop::SocketSendThread, this, priority);
    if (rd != 0 || wr != 0 || send != 0) {
        // A loop without one of its threads cannot serve (nothing read, or nothing written): the
        // threads that did start are stopped rather than left half serving.
        event_stop();
        return -1;
    }
    return 0;
}

void CEventLoop::event_stop()
{
    FINS_ASSERT(!on_loop_thread());
    kelLogAddInfoF("%s", kLogStopping);
    m_stopRd.store(true);
    m_stopWr.store(true);
    m_send.stop();
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
    if (block != nullptr) {
        m_send.push(block);
    }
}

void CEventLoop::notify_sendthread()
{
    m_send.notify();
}

void CEventLoop::send_block_done(char* block)
{
    m_send.block_done(block);
}

void CEventLoop::finish_write(CSocketConnection* conn)
{
    m_send.finish_write(conn);
}

void CEventLoop::pause_read_if_backlogged(CSocketConnection* conn)
{
    m_send.pause_read_if_backlogged(conn);
}

bool CEventLoop::defer_close_while_replies_owed(CSocketConnection* conn)
{
    return m_send.defer_close_while_replies_owed(conn);
}

void CEventLoop::pause_listener(CSocketConnection* conn)
{
    FINS_ASSERT_ROLE(m_readerRole);
    if (conn == nullptr) {
        return;
    }
    for (const auto& paused : m_pausedListeners) {
        if (paused.first == conn) {
            return;
        }
    }
    if (epoll_oper_event(m_epollRdFd, conn->fd.load(), EPOLL_CTL_DEL, kEpollReadMask,
                         EPOLL_MODE_REMOVE, conn) == 0) {
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

// The end of every reader turn, before the next wait: the one place where the work that is due
// once a turn hangs. Listeners paused for an error come back, closed records that waited long
// enough are freed, each server does its own (the TCP server's idle sweep), and last the CPU
// budget decides whether the next turn may begin now.
void CEventLoop::end_turn()
{
    FINS_ASSERT_ROLE(m_readerRole);
    resume_due_listeners();
    IdelRecyConnections();
    for (ISocketServer* server : m_servers) {
        server->loop_turn_ended();
    }
    CLogLimiter::FlushEndedWindows(); // a flood that stopped still has its count logged
    spend_cpu_budget();
}

// With a share below 100 % the reader reads the clocks once a turn and, once the window's share
// is spent, takes no new work until the window ends: requests wait in the socket buffers meanwhile
// (TCP flow control holds a flooding client back) and are read in order afterwards. The send and
// writer threads finish what they hold; they have no new work without the reader. Without a
// budget nothing is read, and an idle loop never gets here more often than its waits end.
void CEventLoop::spend_cpu_budget()
{
    if (!m_budget.limited()) {
        return;
    }
    const int64_t until = m_budget.after_turn(m_budgetClock->now_ns(), m_budgetClock->cpu_ns());
    if (until == 0) {
        return;
    }
    // A debt of many windows (a long turn at a small share) is waited out in steps of one wait,
    // so that a stop is still seen as soon as it would be by the wait.
    for (int64_t now = m_budgetClock->now_ns(); now < until && !m_stopRd.load();
         now = m_budgetClock->now_ns()) {
        m_budgetClock->sleep_until_ns(std::min(until, now + kEpollWaitNs));
    }
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
        (void)epoll_oper_event(m_epollRdFd, conn->fd.load(), EPOLL_CTL_ADD, kEpollReadMask,
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
    m_readerRole.bind();
    m_clock.add_current_thread(kReaderClock);
    while (!m_stopRd.load()) {
        if (epoll_process_event(m_epollRdFd, reader_wait_ms()) != 0) {
            WaitAfterFailure();
        }
        end_turn();
    }
    m_send.flush_outbox();
    m_clock.remove_current_thread(kReaderClock);
    m_readerRole.unbind();
}

void CEventLoop::EpollWrThread()
{
    m_writerRole.bind();
    m_clock.add_current_thread(kWriterClock);
    while (!m_stopWr.load()) {
        if (epoll_process_event(m_epollWrFd, kEpollWaitMs) != 0) {
            WaitAfterFailure();
        }
    }
    m_clock.remove_current_thread(kWriterClock);
    m_writerRole.unbind();
}

void CEventLoop::SendThread()
{
    m_sendRole.bind();
    m_clock.add_current_thread(kSendClock);
    m_send.run();
    m_clock.remove_current_thread(kSendClock);
    m_sendRole.unbind();
}

bool CEventLoop::on_loop_thread() const
{
    return m_readerRole.is_self() || m_writerRole.is_self() || m_sendRole.is_self();
}

// --- Connection pool ---

int CEventLoop::init_connections(int count)
{
    FINS_ASSERT(!on_loop_thread());
    return m_pool.init_connections(count);
}

CSocketConnection* CEventLoop::get_connection(int fd)
{
    FINS_ASSERT_ROLE(m_readerRole);
    return m_pool.get_connection(fd);
}

void CEventLoop::free_connection(CSocketConnection* conn)
{
    FINS_ASSERT_ROLE(m_readerRole);
    m_pool.free_connection(conn);
}

int CEventLoop::inRecyConnectQueue(CSocketConnection* conn)
{
    FINS_ASSERT_ROLE(m_readerRole);
    return m_pool.inRecyConnectQueue(conn);
}

void CEventLoop::close_connections(CSocketConnection* conn)
{
    FINS_ASSERT_ROLE(m_readerRole);
    if (conn == nullptr) {
        return;
    }
    m_send.flush_run(); // responses made before the close still go out
    s_closeLimit.WarnF(kLogClose, static_cast<unsigned int>(reinterpret_cast<uintptr_t>(conn)),
                       conn->fd.load(),
                       static_cast<unsigned long long>(conn->iCurrsequence.load()));
    // The sequence moves first, so a block the send thread takes from here on is stale.
    inRecyConnectQueue(conn);
    CLockGuard lock(conn->sendLock);
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
    FINS_ASSERT_ROLE(m_readerRole);
    m_pool.IdelRecyConnections();
}

std::vector<CSocketConnection*>
CEventLoop::collect_connections(const std::function<bool(const CSocketConnection&)>& test)
{
    FINS_ASSERT_ROLE(m_readerRole);
    return m_pool.collect_connections(test);
}

void CEventLoop::clear_connections()
{
    FINS_ASSERT(!on_loop_thread());
    m_pool.clear_connections();
}
