// Joins the servers to the protocol both ways: received frames and datagrams go to the protocol's
// entries (ProcessRecvData, ProcessRWRequest), and the protocol's questions about a connection
// are answered from its record. Built by the owner, which sets it as the servers' frame handler
// and the protocol's link before the loop's threads start; reader thread from then on.
#pragma once

#include "fins/FinsProtocol.h"
#include "net/ISocketServer.h"

class CFinsBinding final : public IFrameHandler, public IFinsLink
{
public:
    // Binds to protocol (not owned) and makes itself the protocol's link.
    explicit CFinsBinding(CFinsProtocol& protocol);
    // Unbinds the protocol, if it is still bound to this binding.
    ~CFinsBinding() override;
    CFinsBinding(const CFinsBinding&) = delete;
    CFinsBinding& operator=(const CFinsBinding&) = delete;

    void HandleFrame(char* block) override;
    void HandleDatagram(CSocketConnection* conn, char* data, unsigned int len) override;

    const char* PeerAddrText(CSocketConnection* conn) override;
    in_addr_t PeerAddr(CSocketConnection* conn) override;
    FinsNodes AddressNodes(CSocketConnection* conn) override;
    bool IsHandShake(CSocketConnection* conn) override;
    void SetHandShake(CSocketConnection* conn) override;
    int SendReply(CSocketConnection* conn, char* block, uint32_t len) override;

private:
    CFinsProtocol& m_protocol;
    char m_peerText[kAddrTextLen] = {}; // PeerAddrText's answer; reader thread
};
