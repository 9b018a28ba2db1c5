// The pooled connection record. A record outlives each use, so every send block carries the use
// counter of the use it was made for; the send thread drops blocks whose use has ended.
#include "net/SockConnection.h"

#include <cstring>
#include <new>

#include "net/ISocketServer.h"

namespace {

void ReleaseBlock(char*& block)
{
    delete[] block;
    block = nullptr;
}

} // namespace

void SetDatagramSource(msghdr& msg, SourceAddrControl& control, in_addr local)
{
    msg.msg_control = nullptr;
    msg.msg_controllen = 0;
    if (local.s_addr == htonl(INADDR_ANY)) {
        return;
    }
    std::memset(&control, 0, sizeof(control));
    msg.msg_control = control.buf;
    msg.msg_controllen = sizeof(control.buf);
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_spec_dst = local; // the source; interface index 0 lets the routing choose
    std::memcpy(CMSG_DATA(c), &info, sizeof(info));
}

CSocketConnection::CSocketConnection()
    : readHandler(nullptr), writeHandler(nullptr), bHandShake(false), recvStat(RECV_HEADER_START),
      recyTime(0), events(0), fd(-1), iRecvLeft(0), pRecvPos(nullptr), pRecvBlock(nullptr),
      iCurrsequence(0), pSockServer(nullptr), iClientNode(0), iServerNode(0)
{
    std::memset(headerBuf, 0, sizeof(headerBuf));
    std::memset(&peerAddr, 0, sizeof(peerAddr));
    std::memset(&localAddr, 0, sizeof(localAddr));
    std::memset(&boundAddr, 0, sizeof(boundAddr));
    std::memset(szPeerAddr, 0, sizeof(szPeerAddr));
    std::memset(szLocalAddr, 0, sizeof(szLocalAddr));
}

CSocketConnection::~CSocketConnection()
{
    release_recv_block();
    ReleaseBlock(pRecvSpare);
    ReleaseBlock(pSendBlock);
}

char* CSocketConnection::take_recv_block(uint32_t frameLen)
{
    if (frameLen > kRecvSpareFrameBytes) {
        return SockMsgNewBlock(frameLen);
    }
    if (pRecvSpare == nullptr) {
        pRecvSpare = SockMsgNewBlock(kRecvSpareFrameBytes);
    }
    return pRecvSpare;
}

void CSocketConnection::release_recv_block()
{
    if (pRecvBlock != pRecvSpare) {
        delete[] pRecvBlock;
    }
    pRecvBlock = nullptr;
}

int CSocketConnection::GetOneToUse()
{
    iCurrsequence.fetch_add(1);
    events.store(0, std::memory_order_relaxed);
    fd.store(-1);
    recvStat = RECV_HEADER_START;
    pRecvPos = headerBuf;
    iRecvLeft = kFinsTcpHeaderLen;
    // A block still held here belongs to an ended use; the record owns it, so it goes now rather
    // than leak.
    release_recv_block();
    iSendLeft = 0;
    pSendPos = nullptr;
    ReleaseBlock(pSendBlock);
    iWritePending.store(0);
    pSockServer = nullptr;
    kind = RecordKind::Stream;
    szPeerAddr[0] = '\0';
    std::memset(&peerAddr, 0, sizeof(peerAddr));
    // A new use is a new client: it has not done a node address handshake yet.
    bHandShake = false;
    return 0;
}

void CSocketConnection::PutOneToFree()
{
    iCurrsequence.fetch_add(1);
    release_recv_block();
    ReleaseBlock(pSendBlock);
    iWritePending.store(0);
    szPeerAddr[0] = '\0';
    iClientNode = 0;
    iServerNode = 0;
}

int CSocketConnection::send_message(const char* data, int len)
{
    if (data == nullptr || len < 0) {
        return -1;
    }
    size_t payload = static_cast<size_t>(len);
    char* block = SockMsgNewBlock(payload);
    if (block == nullptr) {
        return -1;
    }
    std::memcpy(SockMsgPayload(block), data, payload);
    return send_block(block, static_cast<uint32_t>(payload));
}

int CSocketConnection::send_block(char* block, uint32_t len)
{
    if (block == nullptr) {
        return -1;
    }
    _SockMsgHeader head;
    std::memset(&head, 0, sizeof(head));
    head.pConn = this;
    head.iSequence = iCurrsequence.load();
    head.iLen = len;
    // The UDP endpoint answers the sender of the datagram being processed; the send thread takes
    // the address from the block, since peerAddr changes with the next datagram.
    std::memcpy(&head.peerAddr, &peerAddr, sizeof(head.peerAddr));
    head.localAddr = localAddr;
    std::memcpy(block, &head, sizeof(head));
    (void)msg_send(block); // queued or released there; the caller learns nothing either way
    return 0;
}

int CSocketConnection::msg_send(char* block)
{
    if (block == nullptr) {
        return -1;
    }
    if (pSockServer == nullptr) {
        delete[] block;
        return -1;
    }
    (void)pSockServer->msg_send(block);
    return 0;
}

int CSocketConnection::get_fd()
{
    return fd.load();
}

int CSocketConnection::sendproc(char* data, unsigned int len)
{
    if (pSockServer == nullptr) {
        return 0;
    }
    return pSockServer->sendproc(this, data, len);
}

bool CSocketConnection::IsHandShake()
{
    return bHandShake;
}

void CSocketConnection::SetHandShake(bool done)
{
    bHandShake = done;
}

void CSocketConnection::SetSockServer(ISocketServer* server)
{
    pSockServer = server;
}
