// A socket server that sends nothing: msg_send keeps every send block a record queues, so tests
// see exactly the bytes that would reach the socket, with the block's header (owning record, use
// stamp, UDP peer). Never registered with a loop; safe to use from several threads.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/ISocketServer.h"

// Gives conn the peer and local address texts (szPeerAddr, szLocalAddr; at most 31 characters
// each) and the binary addresses they name (peerAddr, boundAddr; a ":port" suffix gives the port).
void SetConnectionAddrs(CSocketConnection* conn, const char* peer, const char* local);

class CaptureServer : public ISocketServer
{
public:
    // One kept send block: its header fields and its payload.
    struct Sent
    {
        CSocketConnection* conn;
        uint64_t sequence;
        sockaddr_in peer;
        std::string bytes;
    };

    CaptureServer() = default;
    ~CaptureServer() override = default;

    // Keeps the block (this server owns it from here). Null block: -1.
    int msg_send(char* block) override;

    std::vector<Sent> sent() const;
    // Payloads in queue order.
    std::vector<std::string> payloads() const;
    // Payload of the last block; empty when nothing was queued.
    std::string last() const;
    size_t count() const;
    void clear();

    // A record in use, owned by this server, with the given peer and local addresses
    // (SetConnectionAddrs).
    std::unique_ptr<CSocketConnection> newConnection(const char* peer, const char* local);

private:
    mutable std::mutex m_mutex;
    std::vector<std::unique_ptr<char[]>> m_blocks; // guarded by m_mutex
};
