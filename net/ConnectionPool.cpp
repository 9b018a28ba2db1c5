#include "net/ConnectionPool.h"

#include <unistd.h>

CConnectionPool::~CConnectionPool()
{
    {
        CLockGuard lock(m_poolMutex);
        for (CSocketConnection* conn : m_allConnections) {
            // Connections still open are closed so their clients see the end and no descriptor
            // outlives the loop; the servers' own sockets belong to the servers.
            const int fd = conn->fd.load();
            if (fd != -1 && !conn->IsServerSocket()) {
                close(fd);
                conn->fd.store(-1);
            }
            for (char* block : conn->heldBlocks) {
                delete[] block;
            }
            conn->heldBlocks.clear();
        }
    }
    clear_connections();
}

int CConnectionPool::init_connections(int count)
{
    CLockGuard lock(m_poolMutex);
    for (int i = 0; i < count; ++i) {
        auto* conn = new CSocketConnection();
        conn->GetOneToUse();
        m_allConnections.push_back(conn);
        m_freeConnections.push_back(conn);
    }
    return 0;
}

CSocketConnection* CConnectionPool::get_connection(int fd)
{
    CLockGuard lock(m_poolMutex);
    CSocketConnection* conn = nullptr;
    if (!m_freeConnections.empty()) {
        conn = m_freeConnections.front();
        m_freeConnections.pop_front();
    } else {
        conn = new CSocketConnection();
        m_allConnections.push_back(conn);
    }
    conn->GetOneToUse();
    conn->fd.store(fd);
    return conn;
}

void CConnectionPool::free_connection(CSocketConnection* conn)
{
    CLockGuard lock(m_poolMutex);
    conn->PutOneToFree();
    m_freeConnections.push_back(conn);
}

int CConnectionPool::inRecyConnectQueue(CSocketConnection* conn)
{
    CLockGuard lock(m_recyMutex);
    if (conn->bInRecy) {
        return 0;
    }
    conn->bInRecy = true;
    conn->recyTime = time(nullptr);
    conn->iCurrsequence.fetch_add(1);
    m_recyConnections.push_back(conn);
    m_recyCount.fetch_add(1);
    return 0;
}

void CConnectionPool::IdelRecyConnections()
{
    if (m_recyCount.load() <= 0) {
        return;
    }
    const time_t now = time(nullptr);
    CLockGuard lock(m_recyMutex);
    for (auto it = m_recyConnections.begin(); it != m_recyConnections.end();) {
        CSocketConnection* conn = *it;
        if (conn->recyTime + m_recyWaitSec > now) {
            ++it;
            continue;
        }
        it = m_recyConnections.erase(it);
        conn->bInRecy = false;
        m_recyCount.fetch_sub(1);
        free_connection(conn);
    }
}

void CConnectionPool::clear_connections()
{
    CLockGuard recy(m_recyMutex);
    m_recyConnections.clear();
    m_recyCount.store(0);
    CLockGuard lock(m_poolMutex);
    for (CSocketConnection* conn : m_allConnections) {
        delete conn;
    }
    m_allConnections.clear();
    m_freeConnections.clear();
}

std::vector<CSocketConnection*>
CConnectionPool::collect_connections(const std::function<bool(const CSocketConnection&)>& test)
{
    std::vector<CSocketConnection*> found;
    CLockGuard lock(m_poolMutex);
    for (CSocketConnection* conn : m_allConnections) {
        if (test(*conn)) {
            found.push_back(conn);
        }
    }
    return found;
}
