// Base of the socket servers: the FINS/TCP stream framing on the reader thread, which hands whole
// frames to the server's frame handler; finishing partly written responses on the writer thread;
// the plain socket helpers both servers share.
#include "net/ISocketServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "base/LogLimiter.h"
#include "base/kellog.h"
#include "fins/FinsFrame.h"
#include "net/EventLoop.h"
#include "utility/ByteOrder.h"

namespace {

constexpr const char* kLogPeerClosed = "client:%s request disconnect fd:%d";
constexpr const char* kLogPeerAbort = "client:%s connection abort(%s),fd:%d";
constexpr const char* kLogFrameTooLong =
    "client:%s,recv invaild packet,size:%d>limit len close conn";
constexpr const char* kLogWriteDelFail = "client:%s delete write event fail,error:%d,%s";

// Any client can end connections, or send bad length fields, at line rate.
CLogLimiter s_peerClosedLimit(kLogPeerClosed, kLogLimitPeerLines);
CLogLimiter s_peerAbortLimit(kLogPeerAbort, kLogLimitPeerLines);
CLogLimiter s_frameTooLongLimit(kLogFrameTooLong, kLogLimitPeerLines);

// The length field sits behind the four magic bytes of the FINS/TCP header.
constexpr int kLengthFieldOffset = 4;

void ResetFraming(CSocketConnection* conn)
{
    conn->recvStat = RECV_HEADER_START;
    conn->pRecvPos = conn->headerBuf;
    conn->iRecvLeft = kFinsTcpHeaderLen;
}

void AdvanceFraming(CSocketConnection* conn, int n, uint8_t state)
{
    conn->pRecvPos += n;
    conn->iRecvLeft -= n;
    conn->recvStat = state;
}

// The framing state after `n` more bytes of the current header or body arrived at pRecvPos.
void ConsumeStep(ISocketServer& server, CSocketConnection* conn, int n)
{
    const bool header = conn->recvStat == RECV_HEADER_START || conn->recvStat == RECV_HEADER_PART;
    if (n < conn->iRecvLeft) {
        AdvanceFraming(conn, n, header ? RECV_HEADER_PART : RECV_BODY_PART);
        return;
    }
    if (!header) {
        server.sock_wait_request_handler_proc_plast(conn);
        return;
    }
    server.sock_wait_request_handler_proc_p1(conn);
    // An empty body (length field 8) completes the frame with its header: waiting for a
    // zero-byte receive would look like a peer close.
    if (conn->recvStat == RECV_BODY_START && conn->iRecvLeft == 0) {
        server.sock_wait_request_handler_proc_plast(conn);
    }
}

} // namespace

sockaddr_in MakeIpv4Addr(const char* ip, unsigned short port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    // An unparsable text leaves the zeroed address: every local address.
    (void)inet_aton(ip != nullptr ? ip : "", &addr.sin_addr);
    return addr;
}

void FormatIpv4(const in_addr& addr, char* out, size_t len)
{
    char text[INET_ADDRSTRLEN] = {};
    (void)inet_ntop(AF_INET, &addr, text, sizeof(text));
    std::snprintf(out, len, "%s", text);
}

ISocketServer::ISocketServer() : m_listenFd(-1), m_loop(nullptr) {}

ISocketServer::~ISocketServer() = default;

void ISocketServer::set_event_loop(CEventLoop* loop)
{
    m_loop = loop;
}

void ISocketServer::set_frame_handler(IFrameHandler* handler)
{
    m_handler = handler;
}

int ISocketServer::sock_event_accept(CSocketConnection* conn)
{
    (void)conn;
    return 0;
}

// One receive per call. A large rest of a body goes straight into the receive block; otherwise
// up to kStreamReadChunk bytes are taken at once and cut into frames here, so pipelined frames cost
// one receive rather than two each. The read is never larger than the frames the connection may
// still have answered before its backlog pauses it (each frame is at least a 16-byte header and
// brings at most one response), so the pause is never overshot.
int ISocketServer::sock_read_request_handler(CSocketConnection* conn)
{
    if (conn == nullptr) {
        return -1;
    }
    const bool body = conn->recvStat == RECV_BODY_START || conn->recvStat == RECV_BODY_PART;
    if (body && conn->iRecvLeft >= kStreamReadChunk) {
        const int n = recvproc(conn, conn->pRecvPos, conn->iRecvLeft);
        if (n <= 0) {
            return -1;
        }
        conn->bRecvDrained = n < conn->iRecvLeft;
        ConsumeStep(*this, conn, n);
        return 0;
    }
    char chunk[kStreamReadChunk];
    const int frames = std::max(1, kBacklogPauseBlocks - conn->iBacklog.load());
    const int want = std::min(kStreamReadChunk, frames * kFinsTcpHeaderLen);
    const int n = recvproc(conn, chunk, want);
    if (n <= 0) {
        return -1;
    }
    conn->bRecvDrained = n < want;
    const char* pos = chunk;
    for (int left = n; left > 0 && conn->fd.load() != -1;) {
        const int take = std::min(left, conn->iRecvLeft);
        std::memcpy(conn->pRecvPos, pos, static_cast<size_t>(take));
        pos += take;
        left -= take;
        ConsumeStep(*this, conn, take);
    }
    return 0;
}

int ISocketServer::sock_write_request_handler(CSocketConnection* conn)
{
    // Runs with the record's sendLock held (the loop's write dispatch takes it).
    if (conn == nullptr || conn->pSendBlock == nullptr) {
        return 0;
    }
    const int n = sendproc(conn, conn->pSendPos, conn->iSendLeft);
    if (n > 0 && static_cast<uint32_t>(n) < conn->iSendLeft) {
        conn->pSendPos += n;
        conn->iSendLeft -= static_cast<uint32_t>(n);
        return 0;
    }
    if (n == -1) {
        // Writable, yet the send would block: keep the block and the registration.
        return 0;
    }
    // Finished or failed: the registration ends either way, so no later event sends from the
    // released block and the next partial write can register again.
    const int fd = conn->fd.load();
    if (epoll_oper_event(m_loop != nullptr ? m_loop->get_write_epoll_fd() : -1, fd, EPOLL_CTL_DEL,
                         EPOLLOUT, EPOLL_MODE_REMOVE, conn) != 0) {
        const int err = errno;
        kelLogAddErrorF(kLogWriteDelFail, conn->szPeerAddr, err, SysErrText(err).text);
    }
    if (m_loop != nullptr) {
        m_loop->finish_write(conn);
        return 0;
    }
    delete[] conn->pSendBlock;
    conn->pSendBlock = nullptr;
    conn->pSendPos = nullptr;
    conn->iSendLeft = 0;
    int pending = conn->iWritePending.load();
    while (pending > 0 && !conn->iWritePending.compare_exchange_weak(pending, pending - 1)) {
    }
    return 0;
}

int ISocketServer::sock_close_connection(CSocketConnection* conn)
{
    if (m_loop == nullptr) {
        return -1;
    }
    m_loop->close_connections(conn);
    return 0;
}

int ISocketServer::set_sock_opt(int fd)
{
    const int on = 1;
    const int bytes = kSockBufferBytes;
    // Results ignored: a connection without these options still works.
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    (void)setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof(bytes));
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
    return 0;
}

int ISocketServer::msg_send(char* block)
{
    if (block == nullptr) {
        return -1;
    }
    if (m_loop == nullptr) {
        delete[] block;
        return 0;
    }
    m_loop->msg_send(block);
    return 0;
}

int ISocketServer::sendproc(CSocketConnection* conn, char* data, unsigned int len)
{
    // MSG_NOSIGNAL: a peer that reset must not raise SIGPIPE in the host process.
    const ssize_t r = send(conn->fd.load(), data, len, MSG_NOSIGNAL);
    if (r >= 0) {
        return static_cast<int>(r);
    }
    return errno == EAGAIN ? -1 : -2;
}

CSocketConnection* ISocketServer::get_connection(int fd)
{
    return m_loop != nullptr ? m_loop->get_connection(fd) : nullptr;
}

void ISocketServer::loop_turn_ended() {}

int ISocketServer::get_listen_sock()
{
    return m_listenFd;
}

int ISocketServer::epoll_oper_event(int epfd, int fd, unsigned int op, unsigned int flag, int mode,
                                    CSocketConnection* conn)
{
    if (m_loop == nullptr) {
        return -1;
    }
    return m_loop->epoll_oper_event(epfd, fd, op, flag, mode, conn);
}

int ISocketServer::setnonblocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    (void)fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    return 0;
}

int ISocketServer::recvproc(CSocketConnection* conn, void* buf, int len)
{
    const int fd = conn->fd.load();
    const ssize_t n = recv(fd, buf, static_cast<size_t>(len), 0);
    if (n > 0) {
        // Only the idle sweep reads the time (servers get their settings before the loop starts).
        if (m_access.idleTimeoutS != 0) {
            conn->lastRecv = std::chrono::steady_clock::now();
        }
        return static_cast<int>(n);
    }
    if (n == 0) {
        if (!conn->bPeerClosed.load()) {
            s_peerClosedLimit.WarnF(kLogPeerClosed, conn->szPeerAddr, fd);
        }
        // A client may close its side right after its last request: the replies already owed to
        // it are written before the connection is closed.
        if (m_loop == nullptr || !m_loop->defer_close_while_replies_owed(conn)) {
            sock_close_connection(conn);
        }
        return 0;
    }
    const int err = errno;
    if (err == EINTR || err == EAGAIN) {
        return -1;
    }
    if (err == ECONNABORTED || err == ECONNRESET || err == ENOTCONN) {
        s_peerAbortLimit.WarnF(kLogPeerAbort, conn->szPeerAddr, SysErrText(err).text, fd);
    }
    sock_close_connection(conn);
    return -1;
}

int ISocketServer::sock_wait_request_handler_proc_p1(CSocketConnection* conn)
{
    if (conn == nullptr) {
        return -1;
    }
    uint32_t length = 0;
    std::memcpy(&length, conn->headerBuf + kLengthFieldOffset, sizeof(length));
    (void)SwapByteOrderAll(reinterpret_cast<char*>(&length), sizeof(length));
    // Unsigned: a length field below 8 wraps to a huge body and is refused with the rest.
    const uint32_t body = length - kFinsTcpLengthFieldEnd;
    if (body > kMaxFinsTcpBody) {
        s_frameTooLongLimit.ErrorF(kLogFrameTooLong, conn->szPeerAddr, static_cast<int>(body));
        ResetFraming(conn);
        sock_close_connection(conn);
        return 0;
    }
    const uint32_t frameLen = kFinsTcpHeaderLen + body;
    char* block = conn->take_recv_block(frameLen);
    if (block == nullptr) {
        // Without memory for the frame the stream cannot be followed any further.
        ResetFraming(conn);
        sock_close_connection(conn);
        return 0;
    }
    _SockMsgHeader* header = SockMsgHeaderOf(block);
    *header = _SockMsgHeader{};
    header->pConn = conn;
    header->iSequence = conn->iCurrsequence.load();
    header->iLen = frameLen;
    std::memcpy(SockMsgPayload(block), conn->headerBuf, kFinsTcpHeaderLen);
    conn->pRecvBlock = block;
    conn->pRecvPos = SockMsgPayload(block) + kFinsTcpHeaderLen;
    conn->iRecvLeft = static_cast<int>(body);
    conn->recvStat = RECV_BODY_START;
    return 0;
}

int ISocketServer::sock_wait_request_handler_proc_plast(CSocketConnection* conn)
{
    char* block = conn->pRecvBlock;
    if (block != nullptr && m_handler != nullptr) {
        m_handler->HandleFrame(block);
    }
    conn->release_recv_block();
    ResetFraming(conn);
    if (m_loop != nullptr) {
        m_loop->pause_read_if_backlogged(conn);
    }
    return 0;
}
