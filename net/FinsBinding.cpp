#include "net/FinsBinding.h"

#include <cstdio>
#include <cstring>

#include "net/SockConnection.h"

namespace {

// The node is the last byte of an IPv4 address; 0 for no IPv4 address.
uint32_t NodeOf(const sockaddr_in& addr)
{
    return addr.sin_family == AF_INET ? ntohl(addr.sin_addr.s_addr) & 0xFFu : 0;
}

sockaddr_in Ipv4Of(const sockaddr_storage& addr)
{
    sockaddr_in in{};
    std::memcpy(&in, &addr, sizeof(in));
    return in;
}

} // namespace

CFinsBinding::CFinsBinding(CFinsProtocol& protocol) : m_protocol(protocol)
{
    m_protocol.SetLink(this);
}

CFinsBinding::~CFinsBinding()
{
    if (m_protocol.GetLink() == this) {
        m_protocol.SetLink(nullptr);
    }
}

void CFinsBinding::HandleFrame(char* block)
{
    (void)m_protocol.ProcessRecvData(block);
}

void CFinsBinding::HandleDatagram(CSocketConnection* conn, char* data, unsigned int len)
{
    (void)m_protocol.ProcessRWRequest(conn, data, len, false);
}

// Made from the binary address, so a UDP client (whose record's text is the address alone) is
// named with its port as a TCP one is.
const char* CFinsBinding::PeerAddrText(CSocketConnection* conn)
{
    const sockaddr_in peer = Ipv4Of(conn->peerAddr);
    char addr[INET_ADDRSTRLEN] = {};
    FormatIpv4(peer.sin_addr, addr, sizeof(addr));
    std::snprintf(m_peerText, sizeof(m_peerText), "%s:%u", addr,
                  static_cast<unsigned int>(ntohs(peer.sin_port)));
    return m_peerText;
}

in_addr_t CFinsBinding::PeerAddr(CSocketConnection* conn)
{
    const sockaddr_in peer = Ipv4Of(conn->peerAddr);
    return peer.sin_family == AF_INET ? peer.sin_addr.s_addr : 0;
}

FinsNodes CFinsBinding::AddressNodes(CSocketConnection* conn)
{
    return FinsNodes{NodeOf(Ipv4Of(conn->peerAddr)), NodeOf(conn->boundAddr)};
}

bool CFinsBinding::IsHandShake(CSocketConnection* conn)
{
    return conn->IsHandShake();
}

void CFinsBinding::SetHandShake(CSocketConnection* conn)
{
    conn->SetHandShake(true);
}

int CFinsBinding::SendReply(CSocketConnection* conn, char* block, uint32_t len)
{
    return conn->send_block(block, len);
}
