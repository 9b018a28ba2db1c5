#include "tests/support/CaptureServer.h"

#include <arpa/inet.h>

#include <cstring>

namespace {

CaptureServer::Sent Decode(const char* block)
{
    _SockMsgHeader head;
    std::memcpy(&head, block, sizeof(head));
    return CaptureServer::Sent{head.pConn, head.iSequence, head.peerAddr,
                               std::string(block + sizeof(_SockMsgHeader), head.iLen)};
}

void CopyText(char* dst, const char* src)
{
    std::strncpy(dst, src != nullptr ? src : "", kAddrTextLen - 1);
    dst[kAddrTextLen - 1] = '\0';
}

// The IPv4 address an address text starts with ("a.b.c.d" or "a.b.c.d:port"); family 0 when none.
sockaddr_in Ipv4Of(const char* text)
{
    sockaddr_in addr{};
    std::string ip(text != nullptr ? text : "");
    const size_t colon = ip.find(':');
    if (colon != std::string::npos) {
        addr.sin_port = htons(static_cast<uint16_t>(std::stoi(ip.substr(colon + 1))));
    }
    ip = ip.substr(0, colon);
    if (inet_pton(AF_INET, ip.c_str(), &addr.sin_addr) == 1) {
        addr.sin_family = AF_INET;
    }
    return addr;
}

} // namespace

void SetConnectionAddrs(CSocketConnection* conn, const char* peer, const char* local)
{
    CopyText(conn->szPeerAddr, peer);
    CopyText(conn->szLocalAddr, local);
    const sockaddr_in peerIn = Ipv4Of(peer);
    std::memset(&conn->peerAddr, 0, sizeof(conn->peerAddr));
    std::memcpy(&conn->peerAddr, &peerIn, sizeof(peerIn));
    conn->boundAddr = Ipv4Of(local);
}

int CaptureServer::msg_send(char* block)
{
    if (block == nullptr) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_blocks.emplace_back(block);
    return 0;
}

std::vector<CaptureServer::Sent> CaptureServer::sent() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Sent> out;
    for (const auto& block : m_blocks) {
        out.push_back(Decode(block.get()));
    }
    return out;
}

std::vector<std::string> CaptureServer::payloads() const
{
    std::vector<std::string> out;
    for (const Sent& s : sent()) {
        out.push_back(s.bytes);
    }
    return out;
}

std::string CaptureServer::last() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_blocks.empty() ? std::string() : Decode(m_blocks.back().get()).bytes;
}

size_t CaptureServer::count() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_blocks.size();
}

void CaptureServer::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_blocks.clear();
}

std::unique_ptr<CSocketConnection> CaptureServer::newConnection(const char* peer, const char* local)
{
    auto conn = std::make_unique<CSocketConnection>();
    (void)conn->GetOneToUse();
    conn->SetSockServer(this);
    SetConnectionAddrs(conn.get(), peer, local);
    return conn;
}
