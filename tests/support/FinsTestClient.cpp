#include "tests/support/FinsTestClient.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace {

constexpr int kPollStepMs = 2;
constexpr size_t kTcpHeader = 16;
constexpr size_t kFinsResponseMin = 14;
constexpr uint32_t kMaxTcpLength = 65535 + 8;
constexpr size_t kMaxDatagram = 65535;

// Waits for events on fd for what is left of the deadline: true when they came.
bool PollUntil(int fd, short events, long long deadline)
{
    for (;;) {
        const long long left = deadline - NowMs();
        pollfd p{fd, events, 0};
        if (left <= 0) {
            return false;
        }
        const int ready = poll(&p, 1, static_cast<int>(left));
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

// Binds fd to source (host order, any port); true when there is none to bind (INADDR_ANY).
bool BindSource(int fd, uint32_t source)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(source);
    return source == INADDR_ANY ||
           bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0;
}

// Nothing more to wait for after a send or receive result r: an error other than "try again".
bool Failed(ssize_t r)
{
    return r < 0 && errno != EAGAIN && errno != EINTR;
}

} // namespace

uint16_t TestPort()
{
    const char* text = std::getenv(kPortVariable);
    const long port = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    return port > 0 && port <= UINT16_MAX ? static_cast<uint16_t>(port) : kFinsPort;
}

long long NowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

sockaddr_in LoopbackAddr(uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

sockaddr_in LocalAddr(int fd)
{
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        return sockaddr_in{};
    }
    return addr;
}

int ConnectTcp(uint16_t port, int rcvBuf, uint32_t source, int timeoutMs, uint32_t address)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == -1) {
        return -1;
    }
    if (rcvBuf > 0) {
        (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvBuf, sizeof(rcvBuf));
    }
    // A blocking connect gives up after the send timeout; every later send or receive of the tests
    // passes MSG_DONTWAIT, so the timeout bounds the connect alone.
    const timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    (void)setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    const int one = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    sockaddr_in addr = LoopbackAddr(port);
    addr.sin_addr.s_addr = htonl(address);
    if (!BindSource(fd, source) ||
        connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int OpenUdp(uint32_t source)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd != -1 && !BindSource(fd, source)) {
        close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const std::string& bytes, int timeoutMs)
{
    const long long deadline = NowMs() + timeoutMs;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (Failed(n) || !PollUntil(fd, POLLOUT, deadline)) {
            return false;
        }
    }
    return true;
}

bool SendTo(int fd, uint16_t port, const std::string& bytes)
{
    const sockaddr_in addr = LoopbackAddr(port);
    return sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&addr),
                  sizeof(addr)) == static_cast<ssize_t>(bytes.size());
}

bool RecvExact(int fd, size_t n, std::string& out, int timeoutMs)
{
    const long long deadline = NowMs() + timeoutMs;
    out.assign(n, '\0');
    size_t done = 0;
    while (done < n) {
        const ssize_t r = recv(fd, &out[done], n - done, MSG_DONTWAIT);
        if (r > 0) {
            done += static_cast<size_t>(r);
        } else if (r == 0 || Failed(r) || !PollUntil(fd, POLLIN, deadline)) {
            out.resize(done);
            return false;
        }
    }
    return true;
}

bool RecvDatagram(int fd, std::string& out, int timeoutMs)
{
    const long long deadline = NowMs() + timeoutMs;
    out.assign(kMaxDatagram, '\0');
    for (;;) {
        const ssize_t r = recv(fd, &out[0], out.size(), MSG_DONTWAIT);
        if (r >= 0) {
            out.resize(static_cast<size_t>(r));
            return true;
        }
        if (Failed(r) || !PollUntil(fd, POLLIN, deadline)) {
            out.clear();
            return false;
        }
    }
}

bool WaitPeerClose(int fd, int timeoutMs)
{
    const long long deadline = NowMs() + timeoutMs;
    char buf[65536];
    for (;;) {
        const ssize_t r = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (r == 0 || Failed(r)) {
            return true;
        }
        if (r < 0 && !PollUntil(fd, POLLIN, deadline)) {
            return false;
        }
    }
}

bool Quiet(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 0;
}

void ResetClose(int fd)
{
    const linger l{1, 0};
    (void)setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    close(fd);
}

bool WaitUntil(const std::function<bool()>& pred, int timeoutMs)
{
    const long long deadline = NowMs() + timeoutMs;
    while (!pred()) {
        if (NowMs() >= deadline) {
            return false;
        }
        (void)poll(nullptr, 0, kPollStepMs);
    }
    return true;
}

FinsTestClient::~FinsTestClient()
{
    Close();
}

void FinsTestClient::Close()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

bool FinsTestClient::ConnectTcp(uint16_t port, int timeoutMs, uint32_t source, uint32_t address)
{
    Close();
    m_udp = false;
    m_fd = ::ConnectTcp(port, 0, source, timeoutMs, address);
    return m_fd != -1;
}

bool FinsTestClient::OpenUdp(uint16_t port, uint32_t address, uint32_t source)
{
    Close();
    m_udp = true;
    m_fd = ::OpenUdp(source);
    sockaddr_in addr = LoopbackAddr(port);
    addr.sin_addr.s_addr = htonl(address);
    if (m_fd != -1 && connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        Close();
    }
    return m_fd != -1;
}

bool FinsTestClient::RecvTcpFrame(std::string& frame, int timeoutMs)
{
    std::string body;
    if (!RecvExact(m_fd, kTcpHeader, frame, timeoutMs) || frame.compare(0, 4, "FINS") != 0) {
        return false;
    }
    const uint32_t length = Be32(frame, 4);
    if (length < 8 || length > kMaxTcpLength || !RecvExact(m_fd, length - 8, body, timeoutMs)) {
        return false;
    }
    frame += body;
    return true;
}

bool FinsTestClient::Handshake(uint8_t clientNode)
{
    std::string frame;
    return SendAll(m_fd, NodeRequest(clientNode)) && RecvTcpFrame(frame) &&
           Be32(frame, 8) == kTcpNodeResponse && Be32(frame, 12) == 0;
}

bool FinsTestClient::Exchange(const std::string& fins, std::string& response, int timeoutMs)
{
    if (m_udp) {
        return SendAll(m_fd, fins, timeoutMs) && RecvDatagram(m_fd, response, timeoutMs);
    }
    std::string frame;
    if (!SendAll(m_fd, TcpFrame(kTcpFrame, fins), timeoutMs) || !RecvTcpFrame(frame, timeoutMs) ||
        Be32(frame, 8) != kTcpFrame || Be32(frame, 12) != 0) {
        return false;
    }
    response = frame.substr(kTcpHeader);
    return true;
}

FinsResult FinsTestClient::Request(uint16_t command, const std::string& params)
{
    const uint8_t sid = ++m_sid;
    std::string response;
    if (!Exchange(FinsHeader(command, sid, 1, 2) + params, response) ||
        response.size() < kFinsResponseMin || static_cast<uint8_t>(response[0]) != 0xC0 ||
        static_cast<uint8_t>(response[9]) != sid || Be16(response, 10) != command) {
        return FinsResult{false, 0, {}};
    }
    return FinsResult{true, Be16(response, 12), response.substr(kFinsResponseMin)};
}

FinsResult FinsTestClient::ReadWords(uint8_t area, uint16_t word, uint16_t count)
{
    return Request(0x0101, AreaCommand(area, word, 0, count));
}

FinsResult FinsTestClient::WriteWords(uint8_t area, uint16_t word,
                                      const std::vector<uint16_t>& words)
{
    return Request(0x0102, AreaCommand(area, word, 0, static_cast<unsigned int>(words.size())) +
                               WordsToWire(words));
}
