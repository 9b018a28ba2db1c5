// Worker threads of fins-bench: each runs a level-triggered epoll loop over its own connections.
// Over TCP a connection answers in order, so the k-th response must carry SID k mod 256; over UDP
// each socket talks to the server alone and the same holds.
#include "tools/fins-bench/Worker.h"

#include "tools/fins-bench/WireFormat.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

constexpr int kPollMs = 50;             // longest epoll wait: bounds deadline and timeout checks
constexpr uint64_t kSweepNs = 50000000; // timeouts are looked for every 50 ms
constexpr int kMaxEvents = 256;
constexpr uint8_t kClientNode = 2;
constexpr uint64_t kSidModulo = 256;

std::string errnoText(int err)
{
    char buf[128];
    // GNU strerror_r: thread-safe, returns the text (maybe not in buf).
    return strerror_r(err, buf, sizeof(buf));
}

} // namespace

uint64_t monotonicNs()
{
    timespec ts{};
    (void)clock_gettime(CLOCK_MONOTONIC, &ts); // cannot fail for CLOCK_MONOTONIC
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

bool Barrier::arriveAndWait()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    ++m_arrived;
    m_cond.notify_all();
    m_cond.wait(lock, [this] { return m_aborted || m_arrived >= m_parties; });
    return !m_aborted;
}

void Barrier::abort()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_aborted = true;
    m_cond.notify_all();
}

void SharedRun::fail(const std::string& what)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_failed.load(std::memory_order_relaxed)) {
            return;
        }
        m_failure = what;
        m_failed.store(true, std::memory_order_release);
    }
    connected.abort();
    go.abort();
    loaded.abort();
}

std::string SharedRun::failure() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failure;
}

Worker::Worker(const BenchOptions& opts, const RequestTemplate& request, const sockaddr_in& server,
               SharedRun& run, unsigned firstIndex, std::vector<uint64_t> quotas)
    : m_opts(opts), m_request(request), m_server(server), m_run(run), m_firstIndex(firstIndex),
      m_batch(std::max(1u, opts.connectBatch / std::max(1u, opts.threads))), m_conns(quotas.size())
{
    const std::size_t due =
        opts.udp ? request.responseLen() + 1 // +1 shows an oversized datagram
                 : std::max(opts.pipeline * request.responseLen(), nodeAddressReplyLen());
    for (std::size_t i = 0; i < m_conns.size(); ++i) {
        m_conns[i].quota = quotas[i];
        m_conns[i].sendNs.resize(opts.pipeline);
        m_conns[i].in.resize(due);
    }
}

Worker::~Worker()
{
    closeAll();
}

void Worker::run()
{
    m_epfd = epoll_create1(EPOLL_CLOEXEC);
    if (m_epfd < 0) {
        m_run.fail("epoll_create1: " + errnoText(errno));
        return;
    }
    const bool connected = connectAll();
    if (m_run.connected.arriveAndWait() && connected && m_run.go.arriveAndWait()) {
        loadAll();
        // Everyone keeps their connections until the last worker is through, so the load runs
        // with all of them open.
        (void)m_run.loaded.arriveAndWait(); // false only after a failure, handled by the caller
    }
    m_result.served =
        static_cast<unsigned>(std::count_if(m_conns.begin(), m_conns.end(), [](const Conn& c) {
            return c.received > 0 && c.received == c.sent;
        }));
    closeAll();
}

bool Worker::connectAll()
{
    while (m_nextToOpen < m_conns.size() || m_opening > 0) {
        while (m_opening < m_batch && m_nextToOpen < m_conns.size()) {
            if (!openConn(static_cast<uint32_t>(m_nextToOpen++))) {
                return false;
            }
        }
        if (m_opening == 0) {
            continue;
        }
        if (!pump(kPollMs) || !checkTimeouts(monotonicNs())) {
            return false;
        }
    }
    return !m_run.failed();
}

bool Worker::openConn(uint32_t idx)
{
    Conn& c = m_conns[idx];
    c.fd =
        socket(AF_INET, (m_opts.udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (c.fd < 0) {
        return failSys(idx, "socket");
    }
    const int one = 1;
    if (!m_opts.udp && setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) != 0) {
        return failSys(idx, "setsockopt(TCP_NODELAY)");
    }
    const auto* addr = reinterpret_cast<const sockaddr*>(&m_server);
    if (connect(c.fd, addr, sizeof(m_server)) != 0 && errno != EINPROGRESS) {
        return failSys(idx, "connect");
    }
    c.phaseStartNs = monotonicNs();
    if (m_opts.udp) {
        c.state = State::Ready;
        return setInterest(idx, EPOLLIN);
    }
    // A non-blocking connect completes as a writable event, also when it failed.
    c.state = State::Connecting;
    ++m_opening;
    return setInterest(idx, EPOLLOUT);
}

bool Worker::onConnected(uint32_t idx)
{
    Conn& c = m_conns[idx];
    int err = 0;
    socklen_t len = sizeof(err);
    if (getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
        return failSys(idx, "getsockopt(SO_ERROR)");
    }
    if (err != 0) {
        return fail(idx, "connect: " + errnoText(err));
    }
    const std::vector<uint8_t> hello = nodeAddressRequest(kClientNode);
    c.out.assign(hello.begin(), hello.end());
    c.state = State::Handshaking;
    c.phaseStartNs = monotonicNs();
    return flush(idx);
}

bool Worker::onHandshakeReply(uint32_t idx)
{
    const long n = readSome(idx);
    if (n <= 0) {
        return n == 0;
    }
    Conn& c = m_conns[idx];
    std::size_t frameLen = 0;
    const int st = frameAt(idx, 0, nodeAddressReplyLen(), frameLen);
    if (st <= 0) {
        return st == 0;
    }
    const std::string bad = checkNodeAddressReply(c.in.data(), frameLen, kClientNode);
    if (!bad.empty()) {
        return fail(idx, bad);
    }
    if (c.inUsed != frameLen) {
        return fail(idx, "bytes behind the node address reply that nothing asked for");
    }
    c.inUsed = 0;
    c.state = State::Ready;
    --m_opening;
    return true;
}

void Worker::loadAll()
{
    m_active = m_conns.size();
    for (uint32_t i = 0; i < m_conns.size(); ++i) {
        if (!fill(i, monotonicNs())) {
            return;
        }
    }
    while (m_active > 0) {
        if (!pump(kPollMs)) {
            return;
        }
        const uint64_t now = monotonicNs();
        if (!m_stopping && m_run.deadlineNs != 0 && now >= m_run.deadlineNs) {
            stopSending();
        }
        if (!checkTimeouts(now)) {
            return;
        }
    }
}

void Worker::stopSending()
{
    m_stopping = true;
    for (Conn& c : m_conns) {
        if (!c.done && c.inflight() == 0) {
            c.done = true;
            --m_active;
        }
    }
}

bool Worker::pump(int timeoutMs)
{
    epoll_event events[kMaxEvents];
    const int n = epoll_wait(m_epfd, events, kMaxEvents, timeoutMs);
    if (n < 0) {
        if (errno == EINTR) {
            return true;
        }
        m_run.fail("epoll_wait: " + errnoText(errno));
        return false;
    }
    for (int i = 0; i < n; ++i) {
        if (!handle(events[i].data.u32, events[i].events)) {
            return false;
        }
    }
    return !m_run.failed();
}

bool Worker::handle(uint32_t idx, uint32_t events)
{
    Conn& c = m_conns[idx];
    switch (c.state) {
    case State::Connecting:
        return onConnected(idx);
    case State::Handshaking:
        return (events & EPOLLOUT) != 0 && !c.out.empty() ? flush(idx) : onHandshakeReply(idx);
    case State::Ready:
        if ((events & EPOLLOUT) != 0 && !flush(idx)) {
            return false;
        }
        if ((events & (EPOLLIN | EPOLLERR | EPOLLHUP)) == 0) {
            return true;
        }
        return m_opts.udp ? onUdpReadable(idx) : onTcpReadable(idx);
    case State::Closed:
        break;
    }
    return true;
}

bool Worker::onTcpReadable(uint32_t idx)
{
    const long n = readSome(idx);
    if (n <= 0) {
        return n == 0;
    }
    const uint64_t now = monotonicNs();
    Conn& c = m_conns[idx];
    std::size_t pos = 0;
    for (;;) {
        std::size_t frameLen = 0;
        const int st = frameAt(idx, pos, m_request.responseLen(), frameLen);
        if (st < 0) {
            return false;
        }
        if (st == 0) {
            break;
        }
        if (!takeResponse(idx, c.in.data() + pos, frameLen, now)) {
            return false;
        }
        pos += frameLen;
    }
    std::memmove(c.in.data(), c.in.data() + pos, c.inUsed - pos);
    c.inUsed -= pos;
    if (c.inUsed > 0 && c.inflight() == 0) {
        return fail(idx, "bytes behind the last response that nothing asked for");
    }
    return afterResponses(idx, now);
}

bool Worker::onUdpReadable(uint32_t idx)
{
    Conn& c = m_conns[idx];
    // Reads what is due and no more, which spares the failing read at pipeline 1; a datagram that
    // nobody asked for is read (and refused) when nothing is due.
    const bool nothingDue = c.inflight() == 0;
    while (nothingDue || c.inflight() > 0) {
        const ssize_t n = recv(c.fd, c.in.data(), c.in.size(), 0);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                break;
            }
            return failSys(idx, "recv");
        }
        if (!takeResponse(idx, c.in.data(), static_cast<std::size_t>(n), monotonicNs())) {
            return false;
        }
    }
    return afterResponses(idx, monotonicNs());
}

// One receive into the free end of the connection's buffer. Returns the byte count, 0 when the
// socket had nothing after all, -1 after a failure (the server closing counts as one).
long Worker::readSome(uint32_t idx)
{
    Conn& c = m_conns[idx];
    const ssize_t n = recv(c.fd, c.in.data() + c.inUsed, c.in.size() - c.inUsed, 0);
    if (n > 0) {
        c.inUsed += static_cast<std::size_t>(n);
        return n;
    }
    if (n == 0) {
        fail(idx, "the server closed the connection");
        return -1;
    }
    if (errno == EAGAIN || errno == EINTR) {
        return 0;
    }
    failSys(idx, "recv");
    return -1;
}

// Looks for a whole FINS/TCP frame at `pos` of the receive buffer. Returns 1 with its length when
// it is all there, 0 when more bytes are needed, -1 after a failure: a frame longer than anything
// that may be due, where `expected` bytes were expected.
int Worker::frameAt(uint32_t idx, std::size_t pos, std::size_t expected, std::size_t& frameLen)
{
    const Conn& c = m_conns[idx];
    if (c.inUsed - pos < finswire::kTcpHeaderLen) {
        return 0;
    }
    const uint8_t* head = c.in.data() + pos;
    frameLen = finswire::getBe32(head + finswire::kTcpLengthOffset) + finswire::kTcpLengthBias;
    if (frameLen > c.in.size() || frameLen < finswire::kTcpHeaderLen) {
        fail(idx, "a FINS/TCP frame of " + std::to_string(frameLen) + " bytes where " +
                      std::to_string(expected) + " were expected");
        return -1;
    }
    return c.inUsed - pos >= frameLen ? 1 : 0;
}

bool Worker::takeResponse(uint32_t idx, const uint8_t* frame, std::size_t len, uint64_t now)
{
    Conn& c = m_conns[idx];
    if (c.inflight() == 0) {
        return fail(idx, "a response that nothing asked for");
    }
    const auto sid = static_cast<uint8_t>(c.received % kSidModulo);
    const std::string bad = m_request.checkResponse(frame, len, sid);
    if (!bad.empty()) {
        return fail(idx, "response " + std::to_string(c.received + 1) + ": " + bad);
    }
    m_result.latency.add(now - c.sendNs[c.received % m_opts.pipeline]);
    ++c.received;
    ++m_result.responses;
    m_result.lastResponseNs = now;
    return true;
}

bool Worker::afterResponses(uint32_t idx, uint64_t now)
{
    Conn& c = m_conns[idx];
    if (!fill(idx, now)) {
        return false;
    }
    if (!c.done && c.inflight() == 0 && (m_stopping || c.sent == c.quota)) {
        c.done = true;
        --m_active;
    }
    return true;
}

bool Worker::fill(uint32_t idx, uint64_t now)
{
    Conn& c = m_conns[idx];
    if (m_stopping) {
        return true;
    }
    const uint64_t n = std::min<uint64_t>(m_opts.pipeline - c.inflight(), c.quota - c.sent);
    for (uint64_t i = 0; i < n; ++i) {
        m_request.appendTo(c.out, static_cast<uint8_t>(c.sent % kSidModulo));
        c.sendNs[c.sent % m_opts.pipeline] = now;
        ++c.sent;
    }
    return n == 0 || flush(idx);
}

// Hands pending bytes to the socket: a stream takes what it can, a datagram socket one request
// at a time. Watches for writability only while something is left.
bool Worker::flush(uint32_t idx)
{
    Conn& c = m_conns[idx];
    while (c.outOff < c.out.size()) {
        const std::size_t left = c.out.size() - c.outOff;
        const std::size_t chunk = m_opts.udp ? m_request.requestLen() : left;
        const ssize_t n = send(c.fd, c.out.data() + c.outOff, chunk, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            break;
        }
        if (n < 0) {
            return failSys(idx, "send");
        }
        c.outOff += static_cast<std::size_t>(n);
    }
    if (c.outOff == c.out.size()) {
        c.out.clear();
        c.outOff = 0;
    }
    return setInterest(idx, EPOLLIN | (c.out.empty() ? 0u : uint32_t{EPOLLOUT}));
}

bool Worker::setInterest(uint32_t idx, uint32_t mask)
{
    Conn& c = m_conns[idx];
    if (c.interest == mask) {
        return true;
    }
    epoll_event ev{};
    ev.events = mask;
    ev.data.u32 = idx;
    const int op = c.interest == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
    if (epoll_ctl(m_epfd, op, c.fd, &ev) != 0) {
        return failSys(idx, "epoll_ctl");
    }
    c.interest = mask;
    return true;
}

bool Worker::checkTimeouts(uint64_t now)
{
    if (now - m_lastSweepNs < kSweepNs) {
        return true;
    }
    m_lastSweepNs = now;
    for (uint32_t i = 0; i < m_conns.size(); ++i) {
        if (timedOut(i, now)) {
            return false;
        }
    }
    return true;
}

bool Worker::timedOut(uint32_t idx, uint64_t now)
{
    const Conn& c = m_conns[idx];
    const uint64_t limitNs = uint64_t{m_opts.timeoutMs} * 1000000ULL;
    const std::string within = " within " + std::to_string(m_opts.timeoutMs) + " ms";
    if (c.state == State::Connecting && now - c.phaseStartNs > limitNs) {
        return !fail(idx, "not connected" + within);
    }
    if (c.state == State::Handshaking && now - c.phaseStartNs > limitNs) {
        return !fail(idx, "no node address reply" + within);
    }
    if (c.state == State::Ready && c.inflight() > 0 &&
        now - c.sendNs[c.received % m_opts.pipeline] > limitNs) {
        return !fail(idx, "no response to request " + std::to_string(c.received + 1) + " (SID " +
                              std::to_string(c.received % kSidModulo) + ")" + within);
    }
    return false;
}

void Worker::closeAll()
{
    for (Conn& c : m_conns) {
        if (c.fd >= 0) {
            (void)close(c.fd); // nothing is pending; a failed close loses nothing
            c.fd = -1;
        }
        c.state = State::Closed;
    }
    if (m_epfd >= 0) {
        (void)close(m_epfd);
        m_epfd = -1;
    }
}

bool Worker::failSys(uint32_t idx, const char* call)
{
    return fail(idx, std::string(call) + ": " + errnoText(errno));
}

bool Worker::fail(uint32_t idx, const std::string& what)
{
    m_run.fail("connection " + std::to_string(m_firstIndex + idx + 1) + ": " + what);
    return false;
}
