#include "net/FinsBinding.h"

#include "net/SockConnection.h"

namespace {

// The node is the last field of an address text, packed into bits 24-31.
constexpr unsigned int kNodeShift = 24;

uint32_t NodeOf(const char* addrText)
{
    return GetIpAddrLastValue(addrText) >> kNodeShift;
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

const char* CFinsBinding::PeerAddrText(CSocketConnection* conn)
{
    return conn->szPeerAddr;
}

FinsNodes CFinsBinding::AddressNodes(CSocketConnection* conn)
{
    return FinsNodes{NodeOf(conn->szPeerAddr), NodeOf(conn->szLocalAddr)};
}

FinsNodes CFinsBinding::ReplyNodes(CSocketConnection* conn)
{
    return FinsNodes{conn->iClientNode, conn->iServerNode};
}

void CFinsBinding::SetReplyNodes(CSocketConnection* conn, FinsNodes nodes)
{
    conn->iClientNode = nodes.client;
    conn->iServerNode = nodes.server;
}

bool CFinsBinding::IsHandShake(CSocketConnection* conn)
{
    return conn->IsHandShake();
}

void CFinsBinding::SetHandShake(CSocketConnection* conn)
{
    conn->SetHandShake(true);
}

int CFinsBinding::SendReply(CSocketConnection* conn, const char* data, int len)
{
    return conn->send_message(data, len);
}
