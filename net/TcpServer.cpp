// The FINS/TCP listener. Built and destroyed on the owner's thread; sock_event_accept runs on the
// loop's reader thread and hands each connection a record of its own; the idle sweep runs there at
// the end of the loop's turns.
#include "net/TcpServer.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/LogLimiter.h"
#include "base/kellog.h"
#include "net/EventLoop.h"

namespace {

constexpr const char* kLogSocket = "tcp::server :socket():%s";
constexpr const char* kLogReuseAddr = "set socketopt reuse error:%s";
constexpr const char* kLogBind = "bind error:%s";
constexpr const char* kLogListen = "listen error:%s";
constexpr const char* kLogRunning = "tcp server is running ip = %s, port = %d";
constexpr const char* kLogKeepAlive = "socket set sock keep alive error: errno=%d errstr=%s";
constexpr const char* kLogKeepIdle = "socket set sock TCP_KEEPIDLE error: errno=%d errstr=%s";
constexpr const char* kLogKeepIntvl = "socket set sock TCP_KEEPINTVL error: errno=%d errstr=%s";
constexpr const char* kLogKeepCnt = "socket set sock TCP_KEEPCNT error: errno=%d errstr=%s";
constexpr const char* kLogAcceptEintr = "accept errno = EINTR %s";
constexpr const char* kLogAcceptEagain = "accept errno = EAGAIN";
constexpr const char* kLogAcceptEmfile = "accept errno = EMFILE";
constexpr const char* kLogAcceptError = "accept error:%s";
constexpr const char* kLogNewConnection = "new tcp connection:%s Success,fd:%d";
constexpr const char* kLogNotAllowed = "client:%s not in the allow list, connection refused";
constexpr const char* kLogOverLimit = "client:%s over max_connections (%u), connection refused";
constexpr const char* kLogOverClientLimit =
    "client:%s over max_connections_per_client (%u), connection refused";
constexpr const char* kLogIdle = "client:%s idle for %u s, connection closed,fd:%d";

// Accept errors a peer causes (a connection reset before it was taken) are limited like other
// network-triggered lines; an error the listener cannot clear is logged at most once a second.
CLogLimiter s_eintrLimit(kLogAcceptEintr, kLogLimitPeerLines);
CLogLimiter s_eagainLimit(kLogAcceptEagain, kLogLimitPeerLines);
CLogLimiter s_abortLimit(kLogAcceptError, kLogLimitPeerLines);
CLogLimiter s_emfileLimit(kLogAcceptEmfile, kLogLimitBackoffLines);
CLogLimiter s_errorLimit(kLogAcceptError, kLogLimitBackoffLines);
// Any client can make the server refuse at line rate.
CLogLimiter s_notAllowedLimit(kLogNotAllowed, kLogLimitPeerLines);
CLogLimiter s_overLimit(kLogOverLimit, kLogLimitPeerLines);
CLogLimiter s_overClientLimit(kLogOverClientLimit, kLogLimitPeerLines);
CLogLimiter s_newConnectionLimit(kLogNewConnection, kLogLimitPeerLines);
CLogLimiter s_idleLimit(kLogIdle, kLogLimitPeerLines);

// One integer socket option: 0, or the errno of the failure.
int SetIntOption(int fd, int level, int option, int value)
{
    return setsockopt(fd, level, option, &value, sizeof(value)) == 0 ? 0 : errno;
}

// Errors that concern one pending connection only; the next accept may well succeed.
bool PassingAcceptError(int err)
{
    return err == EINTR || err == EAGAIN || err == ECONNABORTED;
}

void LogPassingAcceptError(int err)
{
    if (err == EINTR) {
        s_eintrLimit.ErrorF(kLogAcceptEintr, SysErrText(err).text);
    } else if (err == EAGAIN) {
        s_eagainLimit.ErrorF("%s", kLogAcceptEagain);
    } else {
        s_abortLimit.ErrorF(kLogAcceptError, SysErrText(err).text);
    }
}

// The socket is closed and the endpoint left without one, so the loop never watches it.
void CloseFailed(int* fd)
{
    close(*fd);
    *fd = -1;
}

} // namespace

TcpServer::TcpServer(const char* ip, unsigned short port)
{
    m_listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (m_listenFd == -1) {
        kelLogAddErrorF(kLogSocket, SysErrText(errno).text);
        return;
    }
    const sockaddr_in addr = MakeIpv4Addr(ip, port);
    const int on = 1;
    if (setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0) {
        kelLogAddErrorF(kLogReuseAddr, SysErrText(errno).text);
    }
    // No SO_REUSEPORT: a second server on this machine must fail to bind rather than take half
    // of the new connections to memory of its own.
    if (bind(m_listenFd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
        m_bindError = errno;
        kelLogAddErrorF(kLogBind, SysErrText(m_bindError).text);
        CloseFailed(&m_listenFd);
        return;
    }
    if (listen(m_listenFd, kListenBacklog) != 0) {
        kelLogAddErrorF(kLogListen, SysErrText(errno).text);
        CloseFailed(&m_listenFd);
        return;
    }
    m_port = port;
    m_ip = ip != nullptr ? ip : "";
    setnonblocking(m_listenFd);
    kelLogAddInfoF(kLogRunning, m_ip.c_str(), port);
}

TcpServer::~TcpServer()
{
    if (m_listenFd != -1) {
        close(m_listenFd);
    }
}

int TcpServer::sock_event_accept(CSocketConnection* listenConn)
{
    // Cleared for good the first time the system lacks accept4.
    static int use_accept4 = 1;
    sockaddr_in peer{};
    socklen_t peerLen = sizeof(peer);
    int fd = -1;
    for (;;) {
        peerLen = sizeof(peer);
        auto* peerAddr = reinterpret_cast<sockaddr*>(&peer);
        fd = use_accept4 != 0 ? accept4(m_listenFd, peerAddr, &peerLen, SOCK_NONBLOCK)
                              : accept(m_listenFd, peerAddr, &peerLen);
        if (fd != -1) {
            break;
        }
        const int err = errno;
        if (err == ENOSYS && use_accept4 != 0) {
            use_accept4 = 0;
            continue;
        }
        return accept_failed(listenConn, err);
    }
    // Refused before any byte is read: the client sees the connection end at once.
    if (!admit(peer)) {
        close(fd);
        return -1;
    }
    CSocketConnection* conn = get_connection(fd);
    if (conn == nullptr) {
        close(fd);
        return -1;
    }
    take_record(conn, peer);
    sockaddr_in local{};
    socklen_t localLen = sizeof(local);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLen) == 0) {
        conn->boundAddr = local;
        FormatIpv4(local.sin_addr, conn->szLocalAddr, sizeof(conn->szLocalAddr));
    }
    set_sock_opt(fd);
    if (use_accept4 == 0) {
        setnonblocking(fd);
    }
    char peerText[INET_ADDRSTRLEN] = {};
    FormatIpv4(peer.sin_addr, peerText, sizeof(peerText));
    std::snprintf(conn->szPeerAddr, sizeof(conn->szPeerAddr), "%s:%d", peerText,
                  ntohs(peer.sin_port));
    conn->readHandler = &ISocketServer::sock_read_request_handler;
    conn->writeHandler = &ISocketServer::sock_write_request_handler;
    conn->SetSockServer(this);
    if (epoll_oper_event(m_loop->get_read_epoll_fd(), fd, EPOLL_CTL_ADD, EPOLLIN | EPOLLRDHUP,
                         EPOLL_MODE_ADD, conn) != 0) {
        sock_close_connection(conn);
        return -1;
    }
    s_newConnectionLimit.InfoF(kLogNewConnection, conn->szPeerAddr, fd);
    return 0;
}

// The allow list first, then the limit for all clients, then the one for this client.
bool TcpServer::admit(const sockaddr_in& peer)
{
    const in_addr_t addr = peer.sin_addr.s_addr;
    if (!m_access.allow.Allows(addr)) {
        s_notAllowedLimit.WarnF(kLogNotAllowed, Ipv4Text(peer.sin_addr).text);
        return false;
    }
    const uint32_t total = m_access.maxConnections;
    if (total != 0 && m_open >= total) {
        s_overLimit.WarnF(kLogOverLimit, Ipv4Text(peer.sin_addr).text, total);
        return false;
    }
    const uint32_t perClient = m_access.maxConnectionsPerClient;
    const auto it = m_openPerClient.find(addr);
    if (perClient != 0 && it != m_openPerClient.end() && it->second >= perClient) {
        s_overClientLimit.WarnF(kLogOverClientLimit, Ipv4Text(peer.sin_addr).text, perClient);
        return false;
    }
    return true;
}

void TcpServer::take_record(CSocketConnection* conn, const sockaddr_in& peer)
{
    std::memcpy(&conn->peerAddr, &peer, sizeof(peer));
    conn->lastRecv = std::chrono::steady_clock::now();
    ++m_open;
    ++m_openPerClient[peer.sin_addr.s_addr];
}

// Every close of an accepted connection passes here, on the reader thread; a record whose socket
// is already closed was taken off the counts then.
int TcpServer::sock_close_connection(CSocketConnection* conn)
{
    if (conn != nullptr && !conn->IsServerSocket() && conn->fd.load() != -1) {
        const auto* peer = reinterpret_cast<const sockaddr_in*>(&conn->peerAddr);
        auto it = m_openPerClient.find(peer->sin_addr.s_addr);
        if (it != m_openPerClient.end() && --it->second == 0) {
            m_openPerClient.erase(it);
        }
        m_open -= m_open != 0 ? 1 : 0;
    }
    return ISocketServer::sock_close_connection(conn);
}

int TcpServer::accept_failed(CSocketConnection* listenConn, int err)
{
    if (PassingAcceptError(err)) {
        LogPassingAcceptError(err);
        return -1;
    }
    return accept_backoff(listenConn, err);
}

// Any other error (descriptors exhausted, a listener the system no longer accepts on) stays: the
// level-triggered listener would report it again at once and the reader thread, at real-time
// priority, would spin and flood the log. Instead the listener is left unwatched for a moment;
// established connections are served meanwhile.
int TcpServer::accept_backoff(CSocketConnection* listenConn, int err)
{
    if (err == EMFILE) {
        s_emfileLimit.ErrorF("%s", kLogAcceptEmfile);
    } else {
        s_errorLimit.ErrorF(kLogAcceptError, SysErrText(err).text);
    }
    if (m_loop != nullptr) {
        m_loop->pause_listener(listenConn);
    }
    return -1;
}

int TcpServer::set_sock_opt(int fd)
{
    ISocketServer::set_sock_opt(fd);
    (void)set_sock_keepalive(fd); // a connection without keep-alive is still served
    return 0;
}

bool TcpServer::set_sock_keepalive(int fd)
{
    int err = SetIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    if (err != 0) {
        kelLogAddErrorF(kLogKeepAlive, err, SysErrText(err).text);
        return false;
    }
    err = SetIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepAliveIdleSec);
    if (err != 0) {
        kelLogAddErrorF(kLogKeepIdle, err, SysErrText(err).text);
        return false;
    }
    err = SetIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepAliveIntervalSec);
    if (err != 0) {
        kelLogAddErrorF(kLogKeepIntvl, err, SysErrText(err).text);
        return false;
    }
    err = SetIntOption(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveProbes);
    if (err != 0) {
        kelLogAddErrorF(kLogKeepCnt, err, SysErrText(err).text);
        return false;
    }
    return true;
}

// The pool gathers the records under its mutex; they are closed after it is released, since a
// close takes the recycle mutex, which comes first in the lock order.
void TcpServer::loop_turn_ended()
{
    const uint32_t timeout = m_access.idleTimeoutS;
    if (timeout == 0 || m_loop == nullptr) {
        return; // idle connections are never closed: no clock read, no walk of the pool
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - m_lastIdleSweep < kIdleSweepInterval) {
        return;
    }
    m_lastIdleSweep = now;
    const std::vector<CSocketConnection*> idle =
        m_loop->collect_connections([this, now, timeout](const CSocketConnection& conn) {
            return conn.pSockServer == this && !conn.IsServerSocket() && conn.fd.load() != -1 &&
                   now - conn.lastRecv >= std::chrono::seconds(timeout);
        });
    for (CSocketConnection* conn : idle) {
        s_idleLimit.WarnF(kLogIdle, conn->szPeerAddr, timeout, conn->fd.load());
        (void)sock_close_connection(conn);
    }
}
