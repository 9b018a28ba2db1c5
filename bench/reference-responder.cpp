// reference-responder: the floor that server figures are compared with. One thread, one epoll
// instance, FINS/TCP and FINS/UDP on one loopback port; every request is answered straight from the
// read handler with a fixed, well-formed response of a size given on the command line (the
// request's SID, nodes and command echoed). It reads no memory and checks next to nothing, so it
// shows what any server on this machine can do at best per request.
//
// Test switches: --bad-sid answers with the SID plus one, --mute answers the node address
// handshake but no FINS request.
#include "tools/fins-bench/WireFormat.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace finswire;

namespace {

constexpr std::size_t kReadChunk = 65536;
constexpr std::size_t kOutHighWater = 1 << 20; // a connection owed this much is not read from
constexpr int kMaxEvents = 512;
constexpr int kUdpBurst = 64; // datagrams read per readiness event
constexpr int kPortAttempts = 20;
constexpr uint8_t kServerNode = 1;

struct Config
{
    uint16_t port = 0;
    unsigned items = 10;
    bool badSid = false;
    bool mute = false;
};

// The three answers, FINS part only (no FINS/TCP header): a word read of `items` words, a bit
// read of `items` bits, a write. Only SID, nodes and command are patched into a copy.
class Answers
{
public:
    Answers(unsigned items, bool badSid)
        : m_wordRead(head(itemBytes(kAreaDmWord, items))),
          m_bitRead(head(itemBytes(kAreaDmBit, items))), m_write(head(0)), m_notSupported(head(0)),
          m_badSid(badSid)
    {
        putBe16(&m_notSupported[kRespCodeOffset], kRespNotSupported);
        for (std::size_t i = kResponseHeadLen; i < m_bitRead.size(); ++i) {
            m_bitRead[i] = static_cast<uint8_t>(i & 1);
        }
    }

    // Appends the answer to the FINS request `fins` (at least kRequestHeadLen bytes) to `out`,
    // behind a FINS/TCP header when `tcp`.
    void append(std::vector<uint8_t>& out, const uint8_t* fins, bool tcp) const
    {
        const std::vector<uint8_t>& a = pick(fins);
        std::size_t at = out.size();
        if (tcp) {
            out.resize(at + kTcpHeaderLen);
            putTcpHeader(&out[at], a.size(), kTcpFrame, 0);
            at += kTcpHeaderLen;
        }
        out.insert(out.end(), a.begin(), a.end());
        uint8_t* r = &out[at];
        r[kDstNodeOffset] = fins[kSrcNodeOffset];
        r[kSrcNodeOffset] = fins[kDstNodeOffset];
        r[kSidOffset] = static_cast<uint8_t>(fins[kSidOffset] + (m_badSid ? 1 : 0));
        std::memcpy(r + kCommandOffset, fins + kCommandOffset, 2);
    }

private:
    static std::vector<uint8_t> head(std::size_t dataLen)
    {
        std::vector<uint8_t> a(kResponseHeadLen + dataLen, 0);
        std::memcpy(a.data(), kResponsePrefix, sizeof(kResponsePrefix));
        return a;
    }

    const std::vector<uint8_t>& pick(const uint8_t* fins) const
    {
        const uint16_t command = getBe16(fins + kCommandOffset);
        if (command == kCmdWrite) {
            return m_write;
        }
        if (command != kCmdRead) {
            return m_notSupported;
        }
        return isBitArea(fins[kCommandOffset + 2]) ? m_bitRead : m_wordRead;
    }

    std::vector<uint8_t> m_wordRead;
    std::vector<uint8_t> m_bitRead;
    std::vector<uint8_t> m_write;
    std::vector<uint8_t> m_notSupported;
    bool m_badSid;
};

struct Client
{
    std::vector<uint8_t> in;  // start of a frame not yet complete
    std::vector<uint8_t> out; // answers the socket has not taken yet
    uint32_t events = EPOLLIN;
};

class Responder
{
public:
    explicit Responder(const Config& cfg)
        : m_cfg(cfg), m_answers(cfg.items, cfg.badSid), m_rbuf(kReadChunk)
    {}
    ~Responder();
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

    bool open(); // binds both sockets; m_port is then the port in use
    uint16_t port() const { return m_port; }
    int run(); // serves until killed; returns 1 if epoll fails

private:
    bool bindPair(uint16_t port);
    bool watch(int fd, uint32_t events, int op);
    void onEvent(int fd, uint32_t events);
    void acceptAll();
    void onUdp();
    void onReadable(int fd);
    bool answerFrames(const uint8_t* data, std::size_t len, std::size_t& used);
    void answerFrame(const uint8_t* frame, std::size_t len);
    void flush(int fd);
    void drop(int fd);

    Config m_cfg;
    Answers m_answers;
    int m_epfd = -1;
    int m_tcpFd = -1;
    int m_udpFd = -1;
    uint16_t m_port = 0;
    std::vector<std::unique_ptr<Client>> m_clients; // by descriptor
    std::vector<uint8_t> m_rbuf;
    std::vector<uint8_t> m_wbuf; // answers of the current event, before they meet the socket
};

Responder::~Responder()
{
    for (std::size_t fd = 0; fd < m_clients.size(); ++fd) {
        if (m_clients[fd]) {
            (void)close(static_cast<int>(fd)); // exiting: nothing to report
        }
    }
    for (int fd : {m_epfd, m_tcpFd, m_udpFd}) {
        if (fd >= 0) {
            (void)close(fd);
        }
    }
}

bool Responder::bindPair(uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    m_tcpFd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    m_udpFd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    (void)setsockopt(m_tcpFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)); // restarts only
    socklen_t len = sizeof(addr);
    auto* sa = reinterpret_cast<sockaddr*>(&addr);
    if (m_tcpFd < 0 || m_udpFd < 0 || bind(m_tcpFd, sa, sizeof(addr)) != 0 ||
        listen(m_tcpFd, SOMAXCONN) != 0 || getsockname(m_tcpFd, sa, &len) != 0 ||
        bind(m_udpFd, sa, sizeof(addr)) != 0) {
        std::fprintf(stderr, "reference-responder: port %u: %s\n", port, std::strerror(errno));
        (void)close(m_tcpFd); // a failed attempt; the next one starts afresh
        (void)close(m_udpFd);
        m_tcpFd = m_udpFd = -1;
        return false;
    }
    m_port = ntohs(addr.sin_port);
    return true;
}

bool Responder::open()
{
    m_epfd = epoll_create1(EPOLL_CLOEXEC);
    if (m_epfd < 0) {
        std::perror("reference-responder: epoll_create1");
        return false;
    }
    // Port 0 asks for a free TCP port, which UDP may hold already: then try another.
    const int attempts = m_cfg.port == 0 ? kPortAttempts : 1;
    bool bound = false;
    for (int i = 0; i < attempts && !bound; ++i) {
        bound = bindPair(m_cfg.port);
    }
    return bound && watch(m_tcpFd, EPOLLIN, EPOLL_CTL_ADD) &&
           watch(m_udpFd, EPOLLIN, EPOLL_CTL_ADD);
}

bool Responder::watch(int fd, uint32_t events, int op)
{
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    if (epoll_ctl(m_epfd, op, fd, &ev) != 0) {
        std::perror("reference-responder: epoll_ctl");
        return false;
    }
    return true;
}

int Responder::run()
{
    epoll_event events[kMaxEvents];
    for (;;) {
        const int n = epoll_wait(m_epfd, events, kMaxEvents, -1);
        if (n < 0 && errno != EINTR) {
            std::perror("reference-responder: epoll_wait");
            return 1;
        }
        for (int i = 0; i < n; ++i) {
            onEvent(events[i].data.fd, events[i].events);
        }
    }
}

void Responder::onEvent(int fd, uint32_t events)
{
    if (fd == m_tcpFd) {
        acceptAll();
    } else if (fd == m_udpFd) {
        onUdp();
    } else if (static_cast<std::size_t>(fd) < m_clients.size() && m_clients[fd]) {
        if ((events & EPOLLOUT) != 0) {
            flush(fd);
        }
        // flush may have dropped the client
        if ((events & (EPOLLIN | EPOLLERR | EPOLLHUP)) != 0 && m_clients[fd]) {
            onReadable(fd);
        }
    }
}

void Responder::acceptAll()
{
    for (;;) {
        const int fd = accept4(m_tcpFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
                std::perror("reference-responder: accept4"); // EMFILE: retried at next event
            }
            return;
        }
        const int one = 1;
        (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)); // latency only
        if (static_cast<std::size_t>(fd) >= m_clients.size()) {
            m_clients.resize(static_cast<std::size_t>(fd) + 1);
        }
        m_clients[fd] = std::make_unique<Client>();
        if (!watch(fd, EPOLLIN, EPOLL_CTL_ADD)) {
            drop(fd);
        }
    }
}

void Responder::onUdp()
{
    for (int i = 0; i < kUdpBurst; ++i) {
        sockaddr_in peer{};
        socklen_t len = sizeof(peer);
        auto* sa = reinterpret_cast<sockaddr*>(&peer);
        const ssize_t n = recvfrom(m_udpFd, m_rbuf.data(), m_rbuf.size(), 0, sa, &len);
        if (n < 0) {
            return; // EAGAIN: all read; anything else: nothing to answer
        }
        if (m_cfg.mute || static_cast<std::size_t>(n) < kRequestHeadLen) {
            continue;
        }
        m_wbuf.clear();
        m_answers.append(m_wbuf, m_rbuf.data(), false);
        // A datagram the socket cannot take is lost, as datagrams are.
        (void)sendto(m_udpFd, m_wbuf.data(), m_wbuf.size(), 0, sa, len);
    }
}

void Responder::onReadable(int fd)
{
    Client& c = *m_clients[fd];
    const ssize_t n = recv(fd, m_rbuf.data(), m_rbuf.size(), 0);
    if (n <= 0) {
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            drop(fd);
        }
        return;
    }
    // Frames are answered from the read buffer itself unless a partial one came before.
    const bool carried = !c.in.empty();
    if (carried) {
        c.in.insert(c.in.end(), m_rbuf.begin(), m_rbuf.begin() + n);
    }
    const uint8_t* data = carried ? c.in.data() : m_rbuf.data();
    const std::size_t len = carried ? c.in.size() : static_cast<std::size_t>(n);
    std::size_t used = 0;
    m_wbuf.clear();
    if (!answerFrames(data, len, used)) {
        drop(fd);
        return;
    }
    if (carried) {
        c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(used));
    } else {
        c.in.assign(data + used, data + len);
    }
    c.out.insert(c.out.end(), m_wbuf.begin(), m_wbuf.end());
    flush(fd);
}

// Answers every whole FINS/TCP frame in data; `used` is where the first incomplete one starts.
// False for a length field the stream cannot recover from.
bool Responder::answerFrames(const uint8_t* data, std::size_t len, std::size_t& used)
{
    while (len - used >= kTcpHeaderLen) {
        const uint32_t field = getBe32(data + used + kTcpLengthOffset);
        if (field < kTcpLengthBias || field - kTcpLengthBias > kMaxTcpBody) {
            return false;
        }
        const std::size_t frameLen = field + kTcpLengthBias;
        if (len - used < frameLen) {
            break;
        }
        answerFrame(data + used, frameLen);
        used += frameLen;
    }
    return true;
}

void Responder::answerFrame(const uint8_t* frame, std::size_t len)
{
    const uint32_t command = getBe32(frame + kTcpCommandOffset);
    if (command == kTcpNodeRequest && len >= kTcpHeaderLen + kNodeRequestBody) {
        const std::size_t at = m_wbuf.size();
        m_wbuf.resize(at + kTcpHeaderLen + kNodeReplyBody, 0);
        putTcpHeader(&m_wbuf[at], kNodeReplyBody, kTcpNodeResponse, 0);
        m_wbuf[at + kTcpHeaderLen + kNodeClientByte] = frame[kTcpHeaderLen + kNodeClientByte];
        m_wbuf[at + kTcpHeaderLen + kNodeReplyBody - 1] = kServerNode;
    } else if (command == kTcpFrame && len >= kTcpHeaderLen + kRequestHeadLen && !m_cfg.mute) {
        m_answers.append(m_wbuf, frame + kTcpHeaderLen, true);
    }
}

// Sends what the client is owed; what the socket does not take waits for writability, and a
// client owed too much is not read from until it catches up.
void Responder::flush(int fd)
{
    Client& c = *m_clients[fd];
    std::size_t sent = 0;
    while (sent < c.out.size()) {
        const ssize_t n = send(fd, c.out.data() + sent, c.out.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            drop(fd);
            return;
        }
        if (n < 0) {
            break;
        }
        sent += static_cast<std::size_t>(n);
    }
    c.out.erase(c.out.begin(), c.out.begin() + static_cast<std::ptrdiff_t>(sent));
    uint32_t want = c.out.size() < kOutHighWater ? uint32_t{EPOLLIN} : 0;
    want |= c.out.empty() ? 0 : uint32_t{EPOLLOUT};
    if (want != c.events && watch(fd, want, EPOLL_CTL_MOD)) {
        c.events = want;
    }
}

void Responder::drop(int fd)
{
    (void)close(fd); // also ends its epoll registration
    m_clients[fd].reset();
}

bool parseArgs(int argc, char** argv, Config& cfg)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--bad-sid") {
            cfg.badSid = true;
        } else if (arg == "--mute") {
            cfg.mute = true;
        } else if (arg == "--port" && hasValue) {
            cfg.port = static_cast<uint16_t>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--words" && hasValue) {
            cfg.items = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else {
            return false;
        }
    }
    return cfg.items <= kMaxReadItems;
}

} // namespace

int main(int argc, char** argv)
{
    Config cfg;
    if (!parseArgs(argc, argv, cfg)) {
        std::fprintf(stderr, "usage: reference-responder [--port N] [--words N (<= 2000)] "
                             "[--bad-sid] [--mute]\n"
                             "  serves FINS/TCP and FINS/UDP on 127.0.0.1:N (N 0: a free port)\n");
        return 2;
    }
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0) {
        lim.rlim_cur = lim.rlim_max;
        (void)setrlimit(RLIMIT_NOFILE, &lim); // more connections if allowed; fewer is no failure
    }
    std::signal(SIGPIPE, SIG_IGN);
    Responder responder(cfg);
    if (!responder.open()) {
        return 1;
    }
    std::printf("reference-responder: port=%u words=%u\n", responder.port(), cfg.items);
    std::fflush(stdout);
    return responder.run();
}
