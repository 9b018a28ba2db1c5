// Base of the two servers: the server's own socket, the loop it is registered with, and the default
// FINS/TCP handlers the loop calls through the records' handler pointers (stream framing on read,
// finishing a partly written response on write). Virtual operations are in a fixed slot order.
#pragma once

#include <netinet/in.h>

#include "base/SysErrText.h"
#include "net/ServerAccess.h"
#include "net/SockConnection.h"

class CEventLoop;

// Where a server hands what it receives. Set by the owner before registration; called on the
// reader thread only.
class IFrameHandler
{
public:
    virtual ~IFrameHandler() = default;
    // One whole FINS/TCP frame in a receive block (see _SockMsgHeader); the block stays the
    // caller's.
    virtual void HandleFrame(char* block) = 0;
    // One whole FINS/UDP datagram of len bytes, its sender and local address already in conn.
    virtual void HandleDatagram(CSocketConnection* conn, char* data, unsigned int len) = 0;
};

// An IPv4 address for ip (dotted text; inet_aton, an unparsable text gives 0.0.0.0) and port.
sockaddr_in MakeIpv4Addr(const char* ip, unsigned short port);
// The dotted text of an IPv4 address into out (NUL-terminated, cut to len).
void FormatIpv4(const in_addr& addr, char* out, size_t len);
// The dotted text of an IPv4 address, for one log line: Ipv4Text(addr).text.
struct Ipv4Text
{
    explicit Ipv4Text(const in_addr& addr) { FormatIpv4(addr, text, sizeof(text)); }
    char text[INET_ADDRSTRLEN];
};

// Largest FINS/TCP body accepted; the length field must lie between 8 and this plus 8.
constexpr uint32_t kMaxFinsTcpBody = 65535;
// Accepted sockets get these send and receive buffers.
constexpr int kSockBufferBytes = 262144;
// Most bytes one stream receive takes (on the reader thread's stack); a larger rest of a frame
// body is received straight into its receive block.
constexpr int kStreamReadChunk = 16384;

class ISocketServer
{
public:
    ISocketServer();
    virtual ~ISocketServer();
    ISocketServer(const ISocketServer&) = delete;
    ISocketServer& operator=(const ISocketServer&) = delete;

    // Remembers the loop; called by the loop when the server is registered (owner thread).
    virtual void set_event_loop(CEventLoop* loop);
    // Where received frames and datagrams go (not owned; owner thread, before registration).
    // Without one they are dropped.
    void set_frame_handler(IFrameHandler* handler);
    // The access rules; set on the owner thread before the loop's threads start, read on the
    // reader thread.
    void set_access(const ServerAccess& access) { m_access = access; }
    const ServerAccess& access() const { return m_access; }
    // Read handler of a listening record. The base does nothing and returns 0.
    virtual int sock_event_accept(CSocketConnection* conn);
    // Read handler of a data record: one receive, framed into FINS/TCP frames that are handed to
    // the frame handler. -1 when the receive produced no bytes, else 0. Reader thread.
    virtual int sock_read_request_handler(CSocketConnection* conn);
    // Write handler: continues the record's partly written send block. Returns 0. Writer thread.
    virtual int sock_write_request_handler(CSocketConnection* conn) REQUIRES(conn->sendLock);
    // Ends the record's use through the loop: 0; -1 without a loop.
    virtual int sock_close_connection(CSocketConnection* conn);
    // Options of a newly accepted socket (TCP_NODELAY, buffers). Returns 0.
    virtual int set_sock_opt(int fd);
    // Hands a send block to the loop's send queue: 0 (without a loop the block is released).
    // Null block: -1.
    virtual int msg_send(char* block);
    // Writes now: count written, -1 when the socket would block, -2 any other failure.
    virtual int sendproc(CSocketConnection* conn, char* data, unsigned int len)
        REQUIRES(conn->sendLock);
    // A record from the loop's pool for fd; null without a loop.
    virtual CSocketConnection* get_connection(int fd);
    // The server's own work that is due once a loop turn (the loop calls it at the end of every
    // reader turn, busy or idle, so it must be cheap when there is nothing to do). The base has
    // none. Reader thread.
    virtual void loop_turn_ended();

    int get_listen_sock();
    // Forwards to the loop's epoll_oper_event; -1 without a loop.
    int epoll_oper_event(int epfd, int fd, unsigned int op, unsigned int flag, int mode,
                         CSocketConnection* conn);
    int setnonblocking(int fd);
    // One receive: bytes received; 0 when the peer closed (the connection is then closed);
    // -1 for would-block or interruption (connection kept) and for other failures (closed).
    int recvproc(CSocketConnection* conn, void* buf, int len);
    // Header complete: checks the length field and prepares the body read. -1 for a null record.
    int sock_wait_request_handler_proc_p1(CSocketConnection* conn);
    // Frame complete: hands it to the frame handler and resets the framing. Returns 0.
    int sock_wait_request_handler_proc_plast(CSocketConnection* conn);

protected:
    int m_listenFd;     // the server's own socket; set on the owner thread before registration
    CEventLoop* m_loop; // not owned; set at registration, before the loop's threads start
    IFrameHandler* m_handler = nullptr; // not owned; set before registration
    ServerAccess m_access;              // see set_access
};
