#include "tests/net/NetHarness.h"
#include "tests/support/FinsTestClient.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "appmem/AppAreaMem.h"
#include "base/RuntimeApi.h"
#include "utility/Singleton.h"

namespace {

constexpr const char* kLoopback = "127.0.0.1";
constexpr int kPollStepMs = 2;

std::string BigEndian16(uint16_t v)
{
    return {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)};
}

std::string BigEndian32(uint32_t v)
{
    return BigEndian16(static_cast<uint16_t>(v >> 16)) + BigEndian16(static_cast<uint16_t>(v));
}

uint16_t BoundPort(int fd)
{
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        return 0;
    }
    return ntohs(addr.sin_port);
}

using finstest::LoopbackAddr;
using finstest::NowMs;

// Waits for events on fd for what is left of the deadline: true when they came.
bool PollUntil(int fd, short events, int64_t deadline)
{
    const int64_t left = deadline - NowMs();
    if (left <= 0) {
        return false;
    }
    pollfd p{fd, events, 0};
    return poll(&p, 1, static_cast<int>(left)) > 0;
}

} // namespace

uint16_t PatternWord(uint32_t w)
{
    return static_cast<uint16_t>(w * 7919u + 0x1234u);
}

AppMemory::AppMemory() : m(kMemBytes), io(1024)
{
    for (uint32_t w = 0; w < kMemBytes / 2; ++w) {
        const uint16_t word = PatternWord(w);
        std::memcpy(&m[2 * w], &word, sizeof(word));
    }
    m_app.setSegment(APP_SEGMENT_MEMORY, m.data(), kMemBytes);
    m_app.setSegment(APP_SEGMENT_INPUT, io.data(), static_cast<uint32_t>(io.size()));
    m_app.setSegment(APP_SEGMENT_OUTPUT, io.data(), static_cast<uint32_t>(io.size()));
    (void)utility::Singleton<CAppAreaMemmory>::instance()->LoadAppMemoryAddr();
}

LoopHarness::LoopHarness(bool start, int records, uint16_t port)
    : loop(new CEventLoop()), binding(*utility::Singleton<CFinsProtocol>::instance()),
      tcp(std::make_unique<TcpServer>(kLoopback, port)),
      udp(std::make_unique<UdpServer>(kLoopback, 0))
{
    loop->init_connections(records);
    tcp->set_frame_handler(&binding);
    udp->set_frame_handler(&binding);
    loop->epoll_add_listen_event(tcp.get(), &ISocketServer::sock_event_accept);
    loop->epoll_add_listen_event(udp.get(), &ISocketServer::sock_read_request_handler);
    tcpPort = BoundPort(tcp->get_listen_sock());
    udpPort = BoundPort(udp->get_listen_sock());
    if (start) {
        loop->event_start(0);
    }
}

LoopHarness::~LoopHarness()
{
    stopAndDelete();
}

void LoopHarness::stopAndDelete()
{
    if (loop == nullptr) {
        return;
    }
    loop->event_stop();
    delete loop;
    loop = nullptr;
}

std::string TcpFrame(uint32_t command, const std::string& body, int64_t lengthField)
{
    const uint32_t length = lengthField < 0 ? static_cast<uint32_t>(8 + body.size())
                                            : static_cast<uint32_t>(lengthField);
    return std::string("FINS") + BigEndian32(length) + BigEndian32(command) + BigEndian32(0) + body;
}

std::string DmReadFins(uint8_t sid, uint16_t addr, uint16_t count)
{
    std::string f = {'\x80', 0, 2, 0, 1, 0, 0, 1, 0, static_cast<char>(sid), 1, 1, '\x82'};
    return f + BigEndian16(addr) + std::string(1, '\0') + BigEndian16(count);
}

std::string DmReadTcp(uint8_t sid, uint16_t addr, uint16_t count)
{
    return TcpFrame(2, DmReadFins(sid, addr, count));
}

std::string DmReadReplyFins(uint8_t sid, uint16_t addr, uint16_t count)
{
    std::string r = {'\xC0', 0, 2, 0, 1, 0, 0, 1, 0, static_cast<char>(sid), 1, 1, 0, 0};
    for (uint32_t w = addr; w < static_cast<uint32_t>(addr) + count; ++w) {
        r += BigEndian16(PatternWord(w));
    }
    return r;
}

std::string DmReadReplyTcp(uint8_t sid, uint16_t addr, uint16_t count)
{
    return TcpFrame(2, DmReadReplyFins(sid, addr, count));
}

// Binds fd to source (any port); true when there is none to bind.
bool BindSource(int fd, const char* source)
{
    if (source == nullptr) {
        return true;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    return inet_aton(source, &addr.sin_addr) != 0 &&
           bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0;
}

int ConnectTcp(uint16_t port, int rcvBuf, const char* source)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == -1) {
        return -1;
    }
    if (rcvBuf > 0) {
        (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvBuf, sizeof(rcvBuf));
    }
    const sockaddr_in addr = LoopbackAddr(port);
    if (!BindSource(fd, source) ||
        connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int OpenUdp(const char* source)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd != -1 && !BindSource(fd, source != nullptr ? source : kLoopback)) {
        close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const std::string& bytes, int timeoutMs)
{
    const int64_t deadline = NowMs() + timeoutMs;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        if (!PollUntil(fd, POLLOUT, deadline)) {
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
    const int64_t deadline = NowMs() + timeoutMs;
    out.assign(n, '\0');
    size_t done = 0;
    while (done < n) {
        if (!PollUntil(fd, POLLIN, deadline)) {
            out.resize(done);
            return false;
        }
        const ssize_t r = recv(fd, &out[done], n - done, MSG_DONTWAIT);
        if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) {
            out.resize(done);
            return false;
        }
        done += r > 0 ? static_cast<size_t>(r) : 0;
    }
    return true;
}

bool RecvDatagram(int fd, std::string& out, int timeoutMs)
{
    if (!PollUntil(fd, POLLIN, NowMs() + timeoutMs)) {
        return false;
    }
    out.assign(70000, '\0');
    const ssize_t r = recv(fd, &out[0], out.size(), MSG_DONTWAIT);
    out.resize(r > 0 ? static_cast<size_t>(r) : 0);
    return r >= 0;
}

bool WaitPeerClose(int fd, int timeoutMs)
{
    const int64_t deadline = NowMs() + timeoutMs;
    char buf[65536];
    while (PollUntil(fd, POLLIN, deadline)) {
        const ssize_t r = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) {
            return true;
        }
    }
    return false;
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
    const int64_t deadline = NowMs() + timeoutMs;
    while (!pred()) {
        if (NowMs() >= deadline) {
            return false;
        }
        (void)poll(nullptr, 0, kPollStepMs);
    }
    return true;
}

double ProcessCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double CpuOverIdle(int ms)
{
    const double before = ProcessCpuSeconds();
    (void)poll(nullptr, 0, ms);
    return ProcessCpuSeconds() - before;
}

int OpenDescriptorCount()
{
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
        count += entry->d_name[0] != '.' ? 1 : 0;
    }
    closedir(dir);
    return count - 1; // the directory's own descriptor
}

size_t EventLoopTestPeer::blocksFor(CEventLoop& loop, CSocketConnection* conn)
{
    CLockGuard lock(loop.m_send.m_sendMutex);
    size_t n = conn->heldBlocks.size();
    for (char* block : loop.m_send.m_sendQueue) {
        n += reinterpret_cast<_SockMsgHeader*>(block)->pConn == conn ? 1 : 0;
    }
    return n;
}

std::vector<std::string> EventLoopTestPeer::takeQueued(CEventLoop& loop)
{
    CLockGuard lock(loop.m_send.m_sendMutex);
    std::vector<std::string> payloads;
    for (char* block : loop.m_send.m_sendQueue) {
        auto* header = reinterpret_cast<_SockMsgHeader*>(block);
        payloads.emplace_back(SockMsgPayload(block), header->iLen);
        if (header->pConn != nullptr) {
            header->pConn->iBacklog.fetch_sub(1);
        }
        delete[] block;
    }
    loop.m_send.m_sendQueue.clear();
    loop.m_send.m_sendQueueCount.store(0);
    return payloads;
}

char* MakeSendBlock(CSocketConnection* conn, const std::string& payload)
{
    char* block = new char[sizeof(_SockMsgHeader) + payload.size()];
    auto* header = reinterpret_cast<_SockMsgHeader*>(block);
    *header = _SockMsgHeader{};
    header->pConn = conn;
    header->iSequence = conn->iCurrsequence.load();
    header->iLen = static_cast<uint32_t>(payload.size());
    std::memcpy(SockMsgPayload(block), payload.data(), payload.size());
    conn->iBacklog.fetch_add(1);
    return block;
}
