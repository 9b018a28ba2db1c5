// The FINS/UDP endpoint: one record for all peers; each datagram is handed whole to the frame
// handler and each response goes back to the sender of the datagram it answers.
#pragma once

#include "net/ISocketServer.h"

constexpr int kMaxDatagram = 65535;
// Datagrams one receive takes at most. Each has a buffer of its own; only the pages a datagram
// reaches are ever touched. Kept small: the responses of one receive leave together after it, so a
// receive that took every waiting client's request would leave each client idle until the last one
// is answered; a few at a time keep the clients busy while the rest are read, and still spare
// system calls under load.
constexpr int kRecvBatch = 4;

class UdpServer : public ISocketServer
{
public:
    // Creates and binds; a failure is logged and leaves the endpoint without a socket
    // (get_listen_sock() is -1), which the loop never registers. A bind failing with
    // bindErrorLogged (the errno the listener on the same address and port already logged for
    // its bind) is not logged a second time.
    UdpServer(const char* ip, unsigned short port, int bindErrorLogged = 0);
    ~UdpServer() override;

    // Reads the datagrams waiting (up to kRecvBatch) and hands each to the frame handler. 0 after
    // delivery (bRecvDrained tells whether the socket was emptied), -1 otherwise.
    int sock_read_request_handler(CSocketConnection* conn) override;
    // Resends the pending datagram, releases it and ends the write registration. Returns 0.
    int sock_write_request_handler(CSocketConnection* conn) REQUIRES(conn->sendLock) override;
    // Sends to the destination, from the local address, the record's current send block carries:
    // the bytes sent, -1 when the socket would block, -2 when the datagram cannot be sent (it is
    // dropped at once, logged at a limited rate).
    int sendproc(CSocketConnection* conn, char* data, unsigned int len)
        REQUIRES(conn->sendLock) override;

private:
    // The socket's local address text (and m_boundAddr), looked up once: bound, it never changes.
    // Reader thread.
    const char* LocalAddrText();

    // Whether the allow list admits the sender; a refusal is logged. Reader thread.
    bool admit(const sockaddr_in& from);
    // One datagram to the frame handler, its sender already in the record's peerAddr. Reader
    // thread.
    void deliver(CSocketConnection* conn, char* datagram, unsigned int len);

    // Receive buffers, one per datagram of a receive; left untouched until a datagram lands.
    char m_recvBuf[kRecvBatch][kMaxDatagram + 1]; // reader thread
    char m_localAddr[kAddrTextLen]{};             // reader thread; empty until looked up
    sockaddr_in m_boundAddr{};                    // the address of that text; reader thread
    // The address whose text the record's szPeerAddr holds (valid once set). Reader thread.
    in_addr m_peerText{};
    bool m_peerTextValid = false;
};
