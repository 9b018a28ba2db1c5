// Loopback round trips through the real event loop: one client, one 10-word DM read at a time,
// over FINS/TCP and over FINS/UDP. Prints requests per second and the p50 and p99 latency of a
// round trip (send of the request to the last byte of the response).
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "appmem/AppAreaMem.h"
#include "base/CmpImports.h"
#include "fins/FinsProtocol.h"
#include "net/EventLoop.h"
#include "net/FinsBinding.h"
#include "net/TcpServer.h"
#include "net/UdpServer.h"
#include "utility/Singleton.h"

namespace {

constexpr size_t kSegmentBytes = 65536;
constexpr uint16_t kReadWords = 10;
constexpr size_t kTcpReplyBytes = 16 + 14 + 2 * kReadWords;
constexpr size_t kUdpReplyBytes = 14 + 2 * kReadWords;
constexpr timeval kClientTimeout{5, 0};

std::vector<char> g_segment(kSegmentBytes, 0x5A);
char g_app;

void* GetFirstApp(RTS_RESULT* result)
{
    *result = 0;
    return &g_app;
}

uint8_t* GetSegmentAddress(void*, uint32_t, RTS_RESULT* result)
{
    *result = 0;
    return reinterpret_cast<uint8_t*>(g_segment.data());
}

uint32_t GetSegmentSize(void*, uint32_t, RTS_RESULT* result)
{
    *result = 0;
    return static_cast<uint32_t>(g_segment.size());
}

std::string DmRead(bool tcp)
{
    std::string fins = {'\x80', 0, 2, 0,      1, 0,  0, 1, 0,
                        0x11,   1, 1, '\x82', 0, 20, 0, 0, static_cast<char>(kReadWords)};
    if (!tcp) {
        return fins;
    }
    const auto len = static_cast<char>(8 + fins.size());
    return std::string("FINS") + std::string{0, 0, 0, len, 0, 0, 0, 2, 0, 0, 0, 0} + fins;
}

uint16_t BoundPort(int fd)
{
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

// The loop with a listener and a UDP endpoint on 127.0.0.1, threads at ordinary priority.
struct Server
{
    Server()
    {
        pfAppGetFirstApp = &GetFirstApp;
        pfAppGetSegmentAddress = &GetSegmentAddress;
        pfAppGetSegmentSize = &GetSegmentSize;
        CAppAreaMemmory* segments = utility::Singleton<CAppAreaMemmory>::instance();
        (void)segments->LoadAppMemoryAddr();
        utility::Singleton<CFinsProtocol>::instance()->SetMemory(segments);
        loop->init_connections(64);
        tcp->set_frame_handler(&binding);
        udp->set_frame_handler(&binding);
        loop->epoll_add_listen_event(tcp.get(), &ISocketServer::sock_event_accept,
                                     RecordKind::Listener);
        loop->epoll_add_listen_event(udp.get(), &ISocketServer::sock_read_request_handler,
                                     RecordKind::Datagram);
        loop->event_start(0);
    }
    ~Server()
    {
        loop->event_stop();
        delete loop;
    }
    CEventLoop* loop = new CEventLoop();
    CFinsBinding binding{*utility::Singleton<CFinsProtocol>::instance()};
    std::unique_ptr<TcpServer> tcp = std::make_unique<TcpServer>("127.0.0.1", 0);
    std::unique_ptr<UdpServer> udp = std::make_unique<UdpServer>("127.0.0.1", 0);
};

int Client(int type, uint16_t port)
{
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    const int on = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &kClientTimeout, sizeof(kClientTimeout));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One request and its whole response; false on a timeout or a short answer.
bool RoundTrip(int fd, const std::string& request, char* buf, size_t replyBytes, bool stream)
{
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        return false;
    }
    size_t got = 0;
    while (got < replyBytes) {
        const ssize_t n = recv(fd, buf + got, stream ? replyBytes - got : replyBytes + 1, 0);
        if (n <= 0) {
            return false;
        }
        got += static_cast<size_t>(n);
    }
    return got == replyBytes;
}

void RunRoundTrips(benchmark::State& state, bool tcp)
{
    Server server;
    const uint16_t port =
        BoundPort(tcp ? server.tcp->get_listen_sock() : server.udp->get_listen_sock());
    const int fd = Client(tcp ? SOCK_STREAM : SOCK_DGRAM, port);
    const std::string request = DmRead(tcp);
    const size_t replyBytes = tcp ? kTcpReplyBytes : kUdpReplyBytes;
    char buf[256];
    std::vector<double> micros;
    micros.reserve(1 << 20);
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        if (!RoundTrip(fd, request, buf, replyBytes, tcp)) {
            state.SkipWithError("no complete response");
            break;
        }
        micros.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
    }
    close(fd);
    if (micros.empty()) {
        return;
    }
    std::sort(micros.begin(), micros.end());
    state.counters["req_per_s"] =
        benchmark::Counter(static_cast<double>(micros.size()), benchmark::Counter::kIsRate);
    state.counters["p50_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
}

void BM_TcpRoundTrip(benchmark::State& state)
{
    RunRoundTrips(state, true);
}

void BM_UdpRoundTrip(benchmark::State& state)
{
    RunRoundTrips(state, false);
}

BENCHMARK(BM_TcpRoundTrip)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_UdpRoundTrip)->UseRealTime()->MinTime(2.0);

} // namespace

BENCHMARK_MAIN();
