// The boundary between the protocol and the network: the block format frames arrive and responses
// leave in, and what the protocol needs of the connection a request came on. The network layer
// implements IFinsLink over its connection records; the protocol sees a record only as an opaque
// CSocketConnection pointer and never reads one itself.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <new>

class CSocketConnection;

// Header of a send block and of a receive block. A block is one new[] char allocation: this
// header, then iLen payload bytes. Send block payload: the bytes of one response. Receive block
// payload: one whole FINS/TCP frame, header bytes as received, then the body.
struct _SockMsgHeader
{
    CSocketConnection* pConn; // record the block belongs to
    uint64_t iSequence;       // the record's iCurrsequence when the block was made
    uint32_t iLen;            // payload bytes behind this header
    // UDP send blocks only: the sender of the datagram this response answers. Copied on the
    // reader thread when the block is made, so the send thread never reads the record's peerAddr.
    sockaddr_in peerAddr;
    // UDP send blocks only: the local address that datagram was sent to, the response's source
    // (INADDR_ANY: whichever the routing picks). Copied like peerAddr.
    in_addr localAddr;
};

// A new block with room for `payload` bytes behind its header (not filled); null when memory is
// short. Released with delete[].
inline char* SockMsgNewBlock(size_t payload)
{
    return new (std::nothrow) char[sizeof(_SockMsgHeader) + payload];
}

// The header of a block SockMsgNewBlock made: new[] aligns a block for every type of the default
// alignment, the header's included (8 bytes on armhf, where a misaligned 64-bit access faults).
inline _SockMsgHeader* SockMsgHeaderOf(char* block)
{
    static_assert(alignof(_SockMsgHeader) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
    return static_cast<_SockMsgHeader*>(static_cast<void*>(block));
}

// Payload of a block: the bytes right behind its header.
inline char* SockMsgPayload(char* block)
{
    return block + sizeof(_SockMsgHeader);
}

// FINS node numbers of a connection's two ends: the last byte of each IPv4 address, 0 unknown.
struct FinsNodes
{
    uint32_t client; // the peer
    uint32_t server; // this server
};

// Called on the reader thread only, for records in use.
class IFinsLink
{
public:
    virtual ~IFinsLink() = default;
    // The peer's address and port ("10.0.0.21:50000"), for log lines; valid until the next call.
    virtual const char* PeerAddrText(CSocketConnection* conn) = 0;
    // The peer's IPv4 address in network byte order, as the address lists match it (over UDP the
    // sender of the datagram being handled); 0 when the peer has no IPv4 address.
    virtual in_addr_t PeerAddr(CSocketConnection* conn) = 0;
    // The node numbers of conn's peer and local address.
    virtual FinsNodes AddressNodes(CSocketConnection* conn) = 0;
    // Whether a node address handshake has been answered on conn, and its recording.
    virtual bool IsHandShake(CSocketConnection* conn) = 0;
    virtual void SetHandShake(CSocketConnection* conn) = 0;
    // Queues a send block holding one response of len bytes behind its header (not filled) for
    // conn, taking ownership (the record's send_block): 0, -1 for a null block.
    virtual int SendReply(CSocketConnection* conn, char* block, uint32_t len) = 0;
};
