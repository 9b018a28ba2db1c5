// The FINS/TCP listener: accepts connections and gives each a record whose handlers are the
// stream framing of ISocketServer.
#pragma once

#include <chrono>
#include <string>

#include "net/ISocketServer.h"

constexpr int kListenBacklog = 500;
constexpr int kKeepAliveIdleSec = 120;
constexpr int kKeepAliveIntervalSec = 15;
constexpr int kKeepAliveProbes = 3;

class TcpServer : public ISocketServer
{
public:
    // Creates, binds and listens; a failure is logged and stops construction (the socket, if
    // created, stays open until the destructor).
    TcpServer(const char* ip, unsigned short port);
    ~TcpServer() override;

    // Accepts one connection. 0 when it was set up, -1 otherwise. Reader thread.
    int sock_event_accept(CSocketConnection* listenConn) override;
    // Base options plus keep-alive. Returns 0.
    int set_sock_opt(int fd) override;
    // Keep-alive on, idle 120 s, interval 15 s, 3 probes; false at the first failure.
    bool set_sock_keepalive(int fd);

private:
    // Out of descriptors: stop watching the listener briefly and log at most once a second.
    int accept_out_of_descriptors(CSocketConnection* listenConn, int err);
    int accept_failed(CSocketConnection* listenConn, int err);

    std::string m_ip;                                       // set once listening
    unsigned short m_port = 0;                              // host order; set once listening
    std::chrono::steady_clock::time_point m_lastLimitLog{}; // reader thread
};
