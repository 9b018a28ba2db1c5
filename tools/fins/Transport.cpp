// Sockets of the fins client.
#include "tools/fins/Transport.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

constexpr size_t kMaxDatagram = 65535;
constexpr uint32_t kMaxTcpLength = 65535 + 8;
constexpr size_t kNodeReplyBody = 8;

long long NowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string SysError(const char* what)
{
    return std::string(what) + ": " + strerror(errno);
}

// The last byte of an IPv4 address is its FINS node number on this network.
uint8_t NodeOf(const sockaddr_in& addr)
{
    return static_cast<uint8_t>(ntohl(addr.sin_addr.s_addr) & 0xFF);
}

} // namespace

FinsTransport::~FinsTransport()
{
    if (m_fd >= 0) {
        close(m_fd);
    }
}

bool FinsTransport::Open(const std::string& host, const std::string& port, std::string* error)
{
    m_deadlineMs = NowMs() + m_timeoutMs;
    if (!Connect(host, port, error)) {
        return false;
    }
    return m_udp || Handshake(error);
}

bool FinsTransport::Connect(const std::string& host, const std::string& port, std::string* error)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = m_udp ? SOCK_DGRAM : SOCK_STREAM;
    addrinfo* found = nullptr;
    if (int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        *error = "cannot resolve " + host + ": " + gai_strerror(rc);
        return false;
    }
    m_fd = socket(AF_INET, hints.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int rc = m_fd < 0 ? -1 : connect(m_fd, found->ai_addr, found->ai_addrlen);
    sockaddr_in peer{};
    std::memcpy(&peer, found->ai_addr, sizeof(peer));
    freeaddrinfo(found);
    if (rc != 0 && errno != EINPROGRESS) {
        *error = SysError("connect");
        return false;
    }
    if (rc != 0 && !WaitReady(POLLOUT, error)) {
        *error = "connect: " + *error;
        return false;
    }
    int soError = 0;
    socklen_t len = sizeof(soError);
    getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &soError, &len);
    if (soError != 0) {
        *error = std::string("connect: ") + strerror(soError);
        return false;
    }
    sockaddr_in local{};
    socklen_t localLen = sizeof(local);
    getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &localLen);
    m_nodes = FinsNodes{NodeOf(peer), NodeOf(local)};
    return true;
}

// The server echoes the client node asked for and names its own; both address later frames.
bool FinsTransport::Handshake(std::string* error)
{
    FinsTcpHeader header{};
    Bytes body;
    if (!SendAll(BuildNodeRequest(0), error) || !RecvTcpFrame(&header, &body, error)) {
        return false;
    }
    if (header.command != kTcpNodeResponse || body.size() < kNodeReplyBody) {
        *error = "unexpected answer to the node address request";
        return false;
    }
    m_nodes = FinsNodes{body[7], body[3]};
    return true;
}

bool FinsTransport::Exchange(const Bytes& fins, Bytes* response, std::string* error)
{
    m_deadlineMs = NowMs() + m_timeoutMs;
    if (m_udp) {
        return SendAll(fins, error) && RecvDatagram(response, error);
    }
    Bytes frame = BuildTcpHeader(kTcpFrame, fins.size(), 0);
    frame.insert(frame.end(), fins.begin(), fins.end());
    FinsTcpHeader header{};
    if (!SendAll(frame, error) || !RecvTcpFrame(&header, response, error)) {
        return false;
    }
    if (header.command != kTcpFrame) {
        *error = "unexpected FINS/TCP command " + std::to_string(header.command);
        return false;
    }
    return true;
}

bool FinsTransport::WaitReady(short events, std::string* error)
{
    for (;;) {
        long long left = m_deadlineMs - NowMs();
        pollfd p{m_fd, events, 0};
        int ready = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
        if (ready > 0) {
            return true;
        }
        if (ready == 0) {
            *error = "no answer within " + std::to_string(m_timeoutMs) + " ms";
            return false;
        }
        if (errno != EINTR) {
            *error = SysError("poll");
            return false;
        }
    }
}

bool FinsTransport::SendAll(const Bytes& bytes, std::string* error)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n >= 0) {
            sent += static_cast<size_t>(n);
        } else if (errno != EAGAIN && errno != EINTR) {
            *error = SysError("send");
            return false;
        } else if (errno == EAGAIN && !WaitReady(POLLOUT, error)) {
            return false;
        }
    }
    return true;
}

bool FinsTransport::RecvExact(uint8_t* out, size_t len, std::string* error)
{
    size_t got = 0;
    while (got < len) {
        if (!WaitReady(POLLIN, error)) {
            return false;
        }
        ssize_t n = recv(m_fd, out + got, len - got, 0);
        if (n == 0) {
            *error = "the server closed the connection";
            return false;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            *error = SysError("recv");
            return false;
        }
        got += n > 0 ? static_cast<size_t>(n) : 0;
    }
    return true;
}

bool FinsTransport::RecvTcpFrame(FinsTcpHeader* header, Bytes* body, std::string* error)
{
    uint8_t raw[kTcpHeaderBytes];
    if (!RecvExact(raw, sizeof(raw), error)) {
        return false;
    }
    if (!ParseTcpHeader(raw, header) || header->length < 8 || header->length > kMaxTcpLength) {
        *error = "the answer is not a FINS/TCP frame";
        return false;
    }
    body->assign(header->length - 8, 0);
    if (!body->empty() && !RecvExact(body->data(), body->size(), error)) {
        return false;
    }
    if (header->errorCode != 0) {
        *error = "FINS/TCP error " + FinsTcpErrorText(header->errorCode);
        return false;
    }
    return true;
}

bool FinsTransport::RecvDatagram(Bytes* out, std::string* error)
{
    out->assign(kMaxDatagram, 0);
    for (;;) {
        if (!WaitReady(POLLIN, error)) {
            return false;
        }
        ssize_t n = recv(m_fd, out->data(), out->size(), 0);
        if (n >= 0) {
            out->resize(static_cast<size_t>(n));
            return true;
        }
        if (errno != EAGAIN && errno != EINTR) {
            *error = errno == ECONNREFUSED ? "no FINS server at this address (port unreachable)"
                                           : SysError("recv");
            return false;
        }
    }
}
