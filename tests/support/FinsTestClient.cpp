#include "tests/support/FinsTestClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace finstest {

namespace {

constexpr uint8_t kServerNode = 1;
constexpr uint8_t kClientNode = 2;
constexpr uint16_t kCmdRead = 0x0101;
constexpr uint16_t kCmdWrite = 0x0102;
constexpr size_t kTcpHeader = 16;
constexpr size_t kFinsResponseMin = 14;
constexpr uint32_t kMaxTcpLength = 65535 + 8;
constexpr size_t kMaxDatagram = 65535;

void PutBe16(Bytes& out, uint16_t v)
{
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v & 0xFF));
}

void PutBe32(Bytes& out, uint32_t v)
{
    PutBe16(out, static_cast<uint16_t>(v >> 16));
    PutBe16(out, static_cast<uint16_t>(v & 0xFFFF));
}

Bytes FinsCommand(uint8_t sid, uint16_t command, uint8_t area, uint16_t word, uint8_t bit,
                  uint16_t count)
{
    Bytes out = {0x80, 0x00, 0x02, 0x00, kServerNode, 0x00, 0x00, kClientNode, 0x00, sid};
    PutBe16(out, command);
    out.push_back(area);
    PutBe16(out, word);
    out.push_back(bit);
    PutBe16(out, count);
    return out;
}

} // namespace

sockaddr_in LoopbackAddr(uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

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

uint16_t Be16(const uint8_t* p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t Be32(const uint8_t* p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

Bytes FinsRead(uint8_t sid, uint8_t area, uint16_t word, uint8_t bit, uint16_t count)
{
    return FinsCommand(sid, kCmdRead, area, word, bit, count);
}

Bytes FinsWrite(uint8_t sid, uint8_t area, uint16_t word, uint8_t bit, uint16_t count,
                const Bytes& data)
{
    Bytes out = FinsCommand(sid, kCmdWrite, area, word, bit, count);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

Bytes TcpWrap(uint32_t command, const Bytes& body, uint32_t errorCode)
{
    Bytes out = {'F', 'I', 'N', 'S'};
    PutBe32(out, static_cast<uint32_t>(body.size() + 8));
    PutBe32(out, command);
    PutBe32(out, errorCode);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes NodeRequest(uint8_t clientNode)
{
    return TcpWrap(kTcpNodeRequest, Bytes{0, 0, 0, clientNode});
}

Bytes WordsToWire(const std::vector<uint16_t>& words)
{
    Bytes out;
    for (uint16_t w : words) {
        PutBe16(out, w);
    }
    return out;
}

std::vector<uint16_t> WireToWords(const Bytes& bytes)
{
    std::vector<uint16_t> out;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        out.push_back(Be16(&bytes[i]));
    }
    return out;
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

bool FinsTestClient::OpenFrom(int type, uint32_t source)
{
    Close();
    m_fd = socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(source);
    if (m_fd < 0 || (source != INADDR_ANY &&
                     bind(m_fd, reinterpret_cast<sockaddr*>(&from), sizeof(from)) != 0)) {
        Close();
        return false;
    }
    return true;
}

bool FinsTestClient::ConnectTcp(uint16_t port, int timeoutMs, uint32_t source)
{
    m_udp = false;
    if (!OpenFrom(SOCK_STREAM, source)) {
        return false;
    }
    sockaddr_in addr = LoopbackAddr(port);
    int rc = connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    if (rc != 0 && (errno != EINPROGRESS || !WaitReady(POLLOUT, NowMs() + timeoutMs))) {
        Close();
        return false;
    }
    int soError = 0;
    socklen_t len = sizeof(soError);
    getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &soError, &len);
    if (soError != 0) {
        Close();
        return false;
    }
    int one = 1;
    setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return true;
}

bool FinsTestClient::OpenUdp(uint16_t port, uint32_t address, uint32_t source)
{
    m_udp = true;
    if (!OpenFrom(SOCK_DGRAM, source)) {
        return false;
    }
    sockaddr_in addr = LoopbackAddr(port);
    addr.sin_addr.s_addr = htonl(address);
    if (connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        Close();
        return false;
    }
    return true;
}

bool FinsTestClient::WaitReady(short events, long long deadlineMs)
{
    for (;;) {
        long long left = deadlineMs - NowMs();
        if (left <= 0 || m_fd < 0) {
            return false;
        }
        pollfd p{m_fd, events, 0};
        int ready = poll(&p, 1, static_cast<int>(left));
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

bool FinsTestClient::SendAll(const Bytes& bytes, int timeoutMs)
{
    long long deadline = NowMs() + timeoutMs;
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n >= 0) {
            sent += static_cast<size_t>(n);
        } else if ((errno != EAGAIN && errno != EINTR) || !WaitReady(POLLOUT, deadline)) {
            return false;
        }
    }
    return true;
}

bool FinsTestClient::RecvExact(size_t len, Bytes* out, int timeoutMs)
{
    long long deadline = NowMs() + timeoutMs;
    out->assign(len, 0);
    size_t got = 0;
    while (got < len) {
        ssize_t n = recv(m_fd, out->data() + got, len - got, 0);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR) || !WaitReady(POLLIN, deadline)) {
            return false;
        }
    }
    return true;
}

bool FinsTestClient::RecvTcpFrame(Bytes* frame, int timeoutMs)
{
    long long deadline = NowMs() + timeoutMs;
    if (!RecvExact(kTcpHeader, frame, timeoutMs)) {
        return false;
    }
    uint32_t length = Be32(&(*frame)[4]);
    if (length < 8 || length > kMaxTcpLength) {
        return false;
    }
    Bytes body;
    long long left = deadline - NowMs();
    if (length > 8 && (left <= 0 || !RecvExact(length - 8, &body, static_cast<int>(left)))) {
        return false;
    }
    frame->insert(frame->end(), body.begin(), body.end());
    return true;
}

bool FinsTestClient::RecvDatagram(Bytes* out, int timeoutMs)
{
    long long deadline = NowMs() + timeoutMs;
    out->assign(kMaxDatagram, 0);
    for (;;) {
        ssize_t n = recv(m_fd, out->data(), out->size(), 0);
        if (n >= 0) {
            out->resize(static_cast<size_t>(n));
            return true;
        }
        if ((errno != EAGAIN && errno != EINTR) || !WaitReady(POLLIN, deadline)) {
            return false;
        }
    }
}

bool FinsTestClient::WaitClosed(int timeoutMs)
{
    long long deadline = NowMs() + timeoutMs;
    uint8_t buf[4096];
    for (;;) {
        ssize_t n = recv(m_fd, buf, sizeof(buf), 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            return true;
        }
        if (n < 0 && !WaitReady(POLLIN, deadline)) {
            return false;
        }
    }
}

bool FinsTestClient::Handshake(uint8_t clientNode, Bytes* reply)
{
    Bytes frame;
    if (!SendAll(NodeRequest(clientNode)) || !RecvTcpFrame(&frame)) {
        return false;
    }
    if (reply != nullptr) {
        *reply = frame;
    }
    return Be32(&frame[8]) == kTcpNodeResponse && Be32(&frame[12]) == 0;
}

bool FinsTestClient::Exchange(const Bytes& fins, Bytes* response, int timeoutMs)
{
    if (m_udp) {
        return SendAll(fins, timeoutMs) && RecvDatagram(response, timeoutMs);
    }
    Bytes frame;
    if (!SendAll(TcpWrap(kTcpFrame, fins), timeoutMs) || !RecvTcpFrame(&frame, timeoutMs)) {
        return false;
    }
    if (Be32(&frame[8]) != kTcpFrame || Be32(&frame[12]) != 0) {
        return false;
    }
    response->assign(frame.begin() + kTcpHeader, frame.end());
    return true;
}

FinsResult FinsTestClient::Request(const Bytes& fins, uint8_t sid, uint16_t command)
{
    FinsResult result{false, 0, {}};
    Bytes response;
    if (!Exchange(fins, &response) || response.size() < kFinsResponseMin) {
        return result;
    }
    if (response[0] != 0xC0 || response[9] != sid || Be16(&response[10]) != command) {
        return result;
    }
    result.answered = true;
    result.code = Be16(&response[12]);
    result.data.assign(response.begin() + kFinsResponseMin, response.end());
    return result;
}

FinsResult FinsTestClient::Read(uint8_t area, uint16_t word, uint8_t bit, uint16_t count)
{
    uint8_t sid = ++m_sid;
    return Request(FinsRead(sid, area, word, bit, count), sid, kCmdRead);
}

FinsResult FinsTestClient::Write(uint8_t area, uint16_t word, uint8_t bit, uint16_t count,
                                 const Bytes& data)
{
    uint8_t sid = ++m_sid;
    return Request(FinsWrite(sid, area, word, bit, count, data), sid, kCmdWrite);
}

FinsResult FinsTestClient::ReadWords(uint8_t area, uint16_t word, uint16_t count)
{
    return Read(area, word, 0, count);
}

FinsResult FinsTestClient::WriteWords(uint8_t area, uint16_t word,
                                      const std::vector<uint16_t>& words)
{
    return Write(area, word, 0, static_cast<uint16_t>(words.size()), WordsToWire(words));
}

} // namespace finstest
