// The idle sweep of the event loop: on the reader thread, at most once a second, TCP connections
// that have brought no byte for their server's idle_timeout_s are closed like any other close (the
// pool recycles their records).
#include <chrono>
#include <vector>

#include "base/LogLimiter.h"
#include "base/kellog.h"
#include "net/EventLoop.h"

namespace {

constexpr const char* kLogIdle = "client:%s idle for %u s, connection closed,fd:%d";
CLogLimiter s_idleLimit(kLogIdle, kLogLimitPeerLines);

// Whether conn is an accepted connection silent for its server's idle timeout at `now`.
bool IsIdle(const CSocketConnection& conn, std::chrono::steady_clock::time_point now)
{
    if (conn.bListener || conn.fd.load() == -1 || conn.pSockServer == nullptr) {
        return false;
    }
    const uint32_t timeout = conn.pSockServer->access().idleTimeoutS;
    return timeout != 0 && now - conn.lastRecv >= std::chrono::seconds(timeout);
}

} // namespace

// The pool gathers the records under its mutex; they are closed after it is released, since a
// close takes the recycle mutex, which comes first in the lock order.
void CEventLoop::close_idle_connections()
{
    FINS_ASSERT_ROLE(m_readerRole);
    if (!m_sweepIdle) {
        return; // no server closes idle connections: the pool's walk is spared
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - m_lastIdleSweep < kIdleSweepInterval) {
        return;
    }
    m_lastIdleSweep = now;
    const std::vector<CSocketConnection*> idle = m_pool.collect_connections(
        [now](const CSocketConnection& conn) { return IsIdle(conn, now); });
    for (CSocketConnection* conn : idle) {
        s_idleLimit.WarnF(kLogIdle, conn->szPeerAddr, conn->pSockServer->access().idleTimeoutS,
                          conn->fd.load());
        (void)conn->pSockServer->sock_close_connection(conn);
    }
}
