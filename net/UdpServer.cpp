// The FINS/UDP endpoint. Built on the owner's thread; datagrams are read on the reader thread and
// responses sent on the send thread (retried once on the writer thread), each to the sender of
// the datagram it answers, which travels in the send block.
#include "net/UdpServer.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/LogLimiter.h"
#include "base/kellog.h"
#include "net/EventLoop.h"

namespace {

constexpr const char* kLogSocket = "create udp server fail,error:%s";
constexpr const char* kLogBind = "bind error %s";
constexpr const char* kLogRunning = "udp server is running ip = %s, port = %d";
constexpr const char* kLogRecvFrom = "udp server recvfrom error %s";
constexpr const char* kLogSendTo = "sendto error:%s";
constexpr const char* kLogPktInfo = "udp server IP_PKTINFO error %s";
constexpr const char* kLogNotAllowed = "client:%s not in the allow list, datagram dropped";

// The local address a received datagram was sent to, from its IP_PKTINFO control data; INADDR_ANY
// when there is none.
in_addr ArrivedAt(msghdr& msg)
{
    in_addr local{};
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof(info));
            local = info.ipi_spec_dst;
        }
    }
    return local;
}

// A refused send is a peer's doing (an unreachable or invalid destination) and limited as such; a
// receive error the endpoint cannot clear pauses it and is logged at most once a second.
CLogLimiter s_sendToLimit(kLogSendTo, kLogLimitPeerLines);
CLogLimiter s_recvLimit(kLogRecvFrom, kLogLimitBackoffLines);
CLogLimiter s_notAllowedLimit(kLogNotAllowed, kLogLimitPeerLines);

} // namespace

UdpServer::UdpServer(const char* ip, unsigned short port, int bindErrorLogged)
{
    m_listenFd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
    if (m_listenFd == -1) {
        kelLogAddErrorF(kLogSocket, SysErrText(errno).text);
        return;
    }
    // Each datagram's destination address comes with it, so that its response leaves from the
    // address the client sent to (an alias or second interface), which a connected client expects.
    const int on = 1;
    if (setsockopt(m_listenFd, IPPROTO_IP, IP_PKTINFO, &on, sizeof(on)) != 0) {
        kelLogAddErrorF(kLogPktInfo, SysErrText(errno).text);
    }
    const sockaddr_in addr = MakeIpv4Addr(ip, port);
    if (bind(m_listenFd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
        const int err = errno;
        if (err != bindErrorLogged) {
            kelLogAddErrorF(kLogBind, SysErrText(err).text);
        }
        close(m_listenFd); // an endpoint without a socket is never registered
        m_listenFd = -1;
        return;
    }
    kelLogAddInfoF(kLogRunning, ip != nullptr ? ip : "", port);
}

UdpServer::~UdpServer()
{
    if (m_listenFd != -1) {
        close(m_listenFd);
    }
}

// One receive per call takes up to kRecvBatch datagrams (never more than the record may still
// answer before its backlog pauses it), so a burst costs one system call instead of one per
// datagram and one more to find the socket empty. Each datagram is then handled as if read alone.
int UdpServer::sock_read_request_handler(CSocketConnection* conn)
{
    if (conn == nullptr) {
        return -1;
    }
    const int room = std::max(1, kBacklogPauseBlocks - conn->iBacklog.load());
    const auto want = static_cast<unsigned int>(std::min(kRecvBatch, room));
    mmsghdr msgs[kRecvBatch];
    iovec iov[kRecvBatch];
    sockaddr_in from[kRecvBatch];
    SourceAddrControl control[kRecvBatch];
    for (unsigned int i = 0; i < want; ++i) {
        iov[i].iov_base = m_recvBuf[i];
        iov[i].iov_len = kMaxDatagram;
        msgs[i] = mmsghdr{};
        msgs[i].msg_hdr.msg_name = &from[i];
        msgs[i].msg_hdr.msg_namelen = sizeof(from[i]);
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
        msgs[i].msg_hdr.msg_control = control[i].buf;
        msgs[i].msg_hdr.msg_controllen = sizeof(control[i].buf);
    }
    const int got = recvmmsg(conn->fd.load(), msgs, want, 0, nullptr);
    if (got < 0) {
        const int err = errno;
        if (err == EINTR || err == EAGAIN) {
            return -1;
        }
        s_recvLimit.ErrorF(kLogRecvFrom, SysErrText(err).text);
        // The error may stay (the readiness with it): the endpoint rests a moment rather than
        // have the real-time reader thread spin on it.
        if (m_loop != nullptr) {
            m_loop->pause_listener(conn);
        }
        return -1;
    }
    conn->bRecvDrained = static_cast<unsigned int>(got) < want;
    for (int i = 0; i < got; ++i) {
        if (!admit(from[i])) {
            continue;
        }
        std::memcpy(&conn->peerAddr, &from[i], sizeof(from[i]));
        conn->localAddr = ArrivedAt(msgs[i].msg_hdr);
        deliver(conn, m_recvBuf[i], msgs[i].msg_len);
    }
    return 0;
}

// A datagram from a client the allow list leaves out is dropped unanswered.
bool UdpServer::admit(const sockaddr_in& from)
{
    if (m_access.allow.Allows(from.sin_addr.s_addr)) {
        return true;
    }
    s_notAllowedLimit.WarnF(kLogNotAllowed, Ipv4Text(from.sin_addr).text);
    return false;
}

void UdpServer::deliver(CSocketConnection* conn, char* datagram, unsigned int len)
{
    std::memcpy(conn->szLocalAddr, LocalAddrText(), sizeof(conn->szLocalAddr));
    conn->boundAddr = m_boundAddr;
    const auto* from = reinterpret_cast<const sockaddr_in*>(&conn->peerAddr);
    // Formatting the address text costs more than the rest of a small request; a client usually
    // sends datagram after datagram, so the text is made again only when the sender's address
    // changes.
    if (!m_peerTextValid || from->sin_addr.s_addr != m_peerText.s_addr ||
        conn->szPeerAddr[0] == '\0') {
        FormatIpv4(from->sin_addr, conn->szPeerAddr, sizeof(conn->szPeerAddr));
        m_peerText = from->sin_addr;
        m_peerTextValid = true;
    }
    if (m_handler != nullptr) {
        m_handler->HandleDatagram(conn, datagram, len);
    }
    if (m_loop != nullptr) {
        m_loop->pause_read_if_backlogged(conn);
    }
}

const char* UdpServer::LocalAddrText()
{
    if (m_localAddr[0] != '\0') {
        return m_localAddr;
    }
    sockaddr_in local{};
    socklen_t localLen = sizeof(local);
    if (getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&local), &localLen) == 0) {
        m_boundAddr = local;
        FormatIpv4(local.sin_addr, m_localAddr, sizeof(m_localAddr));
    }
    return m_localAddr; // empty after a failed look-up, which the next datagram repeats
}

int UdpServer::sock_write_request_handler(CSocketConnection* conn)
{
    // Runs with the record's sendLock held (the loop's write dispatch takes it). One retry of the
    // pending datagram, then the registration ends whatever became of it.
    if (conn == nullptr) {
        return 0;
    }
    if (conn->pSendBlock != nullptr) {
        (void)sendproc(conn, conn->pSendPos, conn->iSendLeft);
    }
    if (m_loop == nullptr) {
        return 0;
    }
    (void)epoll_oper_event(m_loop->get_write_epoll_fd(), conn->fd.load(), EPOLL_CTL_DEL, EPOLLOUT,
                           EPOLL_MODE_REMOVE, conn);
    m_loop->finish_write(conn);
    return 0;
}

int UdpServer::sendproc(CSocketConnection* conn, char* data, unsigned int len)
{
    if (conn == nullptr || conn->pSendBlock == nullptr) {
        return -2; // no block, no destination
    }
    const _SockMsgHeader* header = SockMsgHeaderOf(conn->pSendBlock);
    sockaddr_in to = header->peerAddr;
    iovec iov{data, len};
    msghdr msg{};
    msg.msg_name = &to;
    msg.msg_namelen = sizeof(to);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    SourceAddrControl control;
    SetDatagramSource(msg, control, header->localAddr);
    const ssize_t r = sendmsg(m_listenFd, &msg, MSG_NOSIGNAL);
    if (r < 0) {
        const int err = errno;
        if (err == EAGAIN || err == EINTR) {
            return -1;
        }
        // A datagram that cannot be sent (a forged source port 0, an unreachable network) is
        // dropped at once: parked for the writer thread, it would hold the endpoint's later
        // responses behind it.
        s_sendToLimit.ErrorF(kLogSendTo, SysErrText(err).text);
        return -2;
    }
    return static_cast<int>(r);
}
