#include "tests/net/NetHarness.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "appmem/AppAreaMem.h"
#include "base/RuntimeApi.h"
#include "utility/Singleton.h"

AppMemory::AppMemory() : m(kMemBytes), io(1024)
{
    for (uint32_t w = 0; w < kMemBytes / 2; ++w) {
        const uint16_t word = PatternWord(w);
        std::memcpy(&m[2 * w], &word, sizeof(word));
    }
    m_app.setSegment(APP_SEGMENT_MEMORY, m.data(), kMemBytes);
    m_app.setSegment(APP_SEGMENT_INPUT, io.data(), static_cast<uint32_t>(io.size()));
    m_app.setSegment(APP_SEGMENT_OUTPUT, io.data(), static_cast<uint32_t>(io.size()));
    CAppAreaMemmory* segments = utility::Singleton<CAppAreaMemmory>::instance();
    (void)segments->LoadAppMemoryAddr();
    utility::Singleton<CFinsProtocol>::instance()->SetMemory(segments);
}

LoopHarness::LoopHarness(bool start, int records)
    : loop(new CEventLoop()), binding(*utility::Singleton<CFinsProtocol>::instance()),
      tcp(std::make_unique<TcpServer>("127.0.0.1", 0)),
      udp(std::make_unique<UdpServer>("127.0.0.1", 0))
{
    loop->init_connections(records);
    tcp->set_frame_handler(&binding);
    udp->set_frame_handler(&binding);
    loop->epoll_add_listen_event(tcp.get(), &ISocketServer::sock_event_accept,
                                 RecordKind::Listener);
    loop->epoll_add_listen_event(udp.get(), &ISocketServer::sock_read_request_handler,
                                 RecordKind::Datagram);
    tcpPort = ntohs(LocalAddr(tcp->get_listen_sock()).sin_port);
    udpPort = ntohs(LocalAddr(udp->get_listen_sock()).sin_port);
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

size_t EventLoopTestPeer::blocksFor(CEventLoop& loop, CSocketConnection* conn)
{
    CLockGuard lock(loop.m_send.m_sendMutex);
    size_t n = conn->heldBlocks.size();
    for (char* block : loop.m_send.m_sendQueue) {
        n += SockMsgHeaderOf(block)->pConn == conn ? 1 : 0;
    }
    return n;
}

std::vector<std::string> EventLoopTestPeer::takeQueued(CEventLoop& loop)
{
    CLockGuard lock(loop.m_send.m_sendMutex);
    std::vector<std::string> payloads;
    for (char* block : loop.m_send.m_sendQueue) {
        auto* header = SockMsgHeaderOf(block);
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
    auto* header = SockMsgHeaderOf(block);
    *header = _SockMsgHeader{};
    header->pConn = conn;
    header->iSequence = conn->iCurrsequence.load();
    header->iLen = static_cast<uint32_t>(payload.size());
    std::memcpy(SockMsgPayload(block), payload.data(), payload.size());
    conn->iBacklog.fetch_add(1);
    return block;
}
