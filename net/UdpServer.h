// The FINS/UDP endpoint: one record for all peers; each datagram is handed whole to the protocol
// and each response goes back to the sender of the datagram it answers.
#pragma once

#include "net/ISocketServer.h"

constexpr int kMaxDatagram = 65535;

class UdpServer : public ISocketServer
{
public:
    UdpServer(const char* ip, unsigned short port);
    ~UdpServer() override;

    // Reads one datagram and hands it to the protocol. 0 after delivery, -1 otherwise.
    int sock_read_request_handler(CSocketConnection* conn) override;
    // Resends the pending datagram, releases it and ends the write registration. Returns 0.
    int sock_write_request_handler(CSocketConnection* conn) override;
    // sendto the destination carried by the record's current send block; -1 on failure.
    int sendproc(CSocketConnection* conn, char* data, unsigned int len) override;

private:
    // The socket's local address text, looked up once: bound, it never changes. Reader thread.
    const char* LocalAddrText();

    char m_recvBuf[kMaxDatagram + 1]; // reader thread
    char m_localAddr[kAddrTextLen]{}; // reader thread; empty until looked up
};
