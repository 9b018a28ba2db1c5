// The pooled connection record: one per socket the event loop watches (accepted FINS/TCP
// connections, the TCP listener, the UDP endpoint), and the block format of everything travelling
// between sockets and the protocol. Records are owned by the loop's pool and reused; the use
// counter iCurrsequence tells a block made for an earlier use from one made for the current use.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <list>
#include <mutex>

#include "fins/FinsLink.h"
#include "net/ThreadSafety.h"

class ISocketServer;
class CSocketConnection;

// Read and write handlers: always one of ISocketServer's virtual operations, so a call on a
// derived server reaches its override.
typedef int (ISocketServer::*SockEventHandler)(CSocketConnection* conn);

// Control data of a datagram that names the local address it leaves from (IP_PKTINFO).
struct SourceAddrControl
{
    alignas(cmsghdr) char buf[CMSG_SPACE(sizeof(in_pktinfo))];
};

// Makes msg leave from `local`, with its control data in `control`. For INADDR_ANY msg gets no
// control data and the routing picks the source, as for a plain sendto.
void SetDatagramSource(msghdr& msg, SourceAddrControl& control, in_addr local);

// Receive phases of the FINS/TCP stream framing.
enum : uint8_t
{
    RECV_HEADER_START = 0,
    RECV_HEADER_PART = 1,
    RECV_BODY_START = 2,
    RECV_BODY_PART = 3,
};

// What a record stands for, set when it is registered with the loop: an accepted FINS/TCP
// connection, a TCP listener, or the FINS/UDP endpoint. The loop tells them apart by this alone.
enum class RecordKind : uint8_t
{
    Stream,
    Listener,
    Datagram,
};

constexpr int kFinsTcpHeaderLen = 16;
constexpr int kAddrTextLen = 32;
// Frames up to this size (header included) are received into the record's own spare block
// instead of a new one: reads and short writes, most of the traffic, then allocate nothing on the
// way in. Larger frames get a block of their size.
constexpr uint32_t kRecvSpareFrameBytes = 256;

// The send side of a record, in one place. Owner: the send thread while iWritePending is 0, the
// writer thread while it is non-zero; either only with sendLock held. The reader thread takes
// sendLock to close the socket, to pause and resume reading, to end a pending write, and to write a
// response itself while iBacklog and iWritePending are 0 (the send thread then has nothing of the
// record, and the writer thread nothing pending).
struct SockSendSide
{
    // Serialises every write of the socket (send thread, writer thread) with its close (reader
    // thread), so a write never reaches a descriptor number that was closed and handed to a new
    // connection.
    CMutex sendLock;
    // Non-zero while a send block of this record waits for writability. All three loop threads
    // change it; sequentially consistent.
    std::atomic<int> iWritePending{0};
    uint32_t iSendLeft GUARDED_BY(sendLock) = 0;
    char* pSendPos GUARDED_BY(sendLock) = nullptr;
    char* pSendBlock GUARDED_BY(sendLock) = nullptr; // owned
    // Blocks waiting behind a partly written one, in queue order; the nodes come from the send
    // queue. Changed under sendLock by the send thread, or by the reader thread while the record is
    // in the reader's run: a run starts only with iBacklog 0, so the send thread then has none of
    // the record's blocks and leaves the list alone until the run's leftovers reach it through the
    // queue (join_run asserts the list is empty when a run starts). The loop's destructor after
    // the threads have ended.
    std::list<char*> heldBlocks;
    bool bHeld = false; // send thread only: the record is in the send queue's held list
    // Blocks of this record queued, held or being written. Raised by whoever queues (reader
    // thread), lowered under sendLock when a block is released; relaxed reads only steer the
    // read pause, which is decided again under sendLock.
    std::atomic<int> iBacklog{0};
    // True while reading is paused because iBacklog reached its limit; changed under sendLock.
    std::atomic<bool> bReadPaused{false};
    // The peer closed its sending side while replies were still owed to it: reading stays paused
    // until they are written, then the connection is closed. Changed under sendLock.
    std::atomic<bool> bPeerClosed{false};
};

// Thread ownership: the reader thread owns the receive fields and the address texts and takes,
// closes and frees the record; the send side is described at SockSendSide. final: records are
// deleted only as this exact type.
class CSocketConnection final : public SockSendSide
{
public:
    CSocketConnection();
    ~CSocketConnection();
    CSocketConnection(const CSocketConnection&) = delete;
    CSocketConnection& operator=(const CSocketConnection&) = delete;

    // Prepares the record for a new use (sequence plus one, socket -1, framing reset, a stream
    // until registered as another kind). Keeps the
    // handlers, bHandShake, szLocalAddr, boundAddr and the node numbers. Returns 0. Both run while
    // no other thread can reach the record (taken from or returning to the free list), so they
    // touch the send side without its lock.
    int GetOneToUse() NO_THREAD_SAFETY_ANALYSIS;
    // Ends a use before the record returns to the free list: sequence plus one, blocks released.
    void PutOneToFree() NO_THREAD_SAFETY_ANALYSIS;

    // Queues a copy of len bytes for sending (a send block stamped with the current sequence).
    // -1 for null data; otherwise 0, whatever became of the block. Reader thread.
    virtual int send_message(const char* data, int len);
    // Queues a send block whose payload is already in place (SockMsgNewBlock), taking ownership:
    // stamps its header (this record, the current sequence, len, the UDP destination and source)
    // and hands it to msg_send. -1 for a null block; otherwise 0. Reader thread.
    int send_block(char* block, uint32_t len);
    // A receive block for a frame of frameLen bytes: the spare block when the frame fits it, else a
    // new one; null when memory is short. Release it with release_recv_block. Reader thread.
    char* take_recv_block(uint32_t frameLen);
    // Releases pRecvBlock (a spare block is only given back) and resets it. Reader thread.
    void release_recv_block();
    // Hands a send block to the owning server's queue: 0. Null block: -1. No owning server: the
    // block is released and -1 returned.
    virtual int msg_send(char* block);
    virtual int get_fd();

    // Writes bytes now through the owning server: count written, -1 would block, -2 failure;
    // 0 without an owning server. Send and writer threads, the reader thread for an at-once write.
    int sendproc(char* data, unsigned int len) REQUIRES(sendLock);
    bool IsHandShake();
    // Set by the protocol once a node address handshake has been answered on this connection.
    void SetHandShake(bool done);
    void SetSockServer(ISocketServer* server);

    SockEventHandler readHandler;  // set before registration; read by the reader thread
    SockEventHandler writeHandler; // set before registration; read by the writer thread
    bool bHandShake;               // reader thread
    uint8_t recvStat;              // reader thread
    time_t recyTime;               // guarded by the pool's m_recyMutex
    // Epoll mask last registered. Written by whichever thread registers (reader, send thread);
    // relaxed atomic, since each thread only reads back what it wrote itself.
    std::atomic<uint32_t> events;
    // The socket, -1 when none. Set and reset (on close) by the reader thread, read by the send and
    // writer threads for their writes.
    std::atomic<int> fd;
    char headerBuf[kFinsTcpHeaderLen]; // reader thread
    int iRecvLeft;                     // reader thread
    char* pRecvPos;                    // reader thread
    char* pRecvBlock;                  // reader thread; owned (unless it is pRecvSpare)
    // Receive block for small frames, made on the first one and kept for the record's life, uses
    // included. Reader thread; owned.
    char* pRecvSpare = nullptr;
    // Use counter: changed by the thread that takes, closes or frees the record, read by the send
    // thread without a common lock.
    std::atomic<uint64_t> iCurrsequence;
    // The peer: a TCP connection's client, the UDP endpoint's sender of the last datagram. Reader
    // thread. The client's node number is taken from it.
    sockaddr_storage peerAddr;
    in_addr localAddr; // UDP endpoint: where that datagram was sent to; reader thread
    // The socket's own address (getsockname): a TCP connection's local end, the UDP endpoint's bind
    // address (INADDR_ANY on the wildcard). Reader thread. The server's node number comes from it.
    sockaddr_in boundAddr;
    ISocketServer* pSockServer;     // not owned; set before registration
    char szPeerAddr[kAddrTextLen];  // reader thread
    char szLocalAddr[kAddrTextLen]; // reader thread
    uint32_t iClientNode;           // reader thread (protocol)
    uint32_t iServerNode;           // reader thread (protocol)

    // Set at registration (the owner for a server's own socket, the reader thread at accept);
    // every new use starts as a stream.
    RecordKind kind = RecordKind::Stream;
    // A server's own socket (listener, UDP endpoint) rather than an accepted connection.
    bool IsServerSocket() const { return kind != RecordKind::Stream; }
    bool bInRecy = false; // guarded by the pool's m_recyMutex: the record is in its recycle queue
    // Reader thread: the last stream receive took less than it asked for, so the socket is empty
    // for now and another receive in the same wake-up would only find nothing.
    bool bRecvDrained = false;
    // Reader thread: when the connection was accepted or last brought bytes; kept only while its
    // server has an idle timeout, the one reader (the idle sweep).
    std::chrono::steady_clock::time_point lastRecv{};
};
