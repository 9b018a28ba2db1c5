// The FINS/TCP listener: accepts connections and gives each a record whose handlers are the
// stream framing of ISocketServer.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <string>
#include <unordered_map>

#include "net/ISocketServer.h"

constexpr int kListenBacklog = 500;
constexpr int kKeepAliveIdleSec = 120;
constexpr int kKeepAliveIntervalSec = 15;
constexpr int kKeepAliveProbes = 3;
// Connections silent for the idle timeout are looked for this often at most.
constexpr std::chrono::seconds kIdleSweepInterval{1};

class TcpServer : public ISocketServer
{
public:
    // Creates, binds and listens; a failure is logged, closes the socket and stops construction:
    // the endpoint then has no socket (get_listen_sock() is -1) and is never registered.
    TcpServer(const char* ip, unsigned short port);
    ~TcpServer() override;
    // The errno of a failed bind (logged), 0 when the bind succeeded or was never tried.
    int bind_error() const { return m_bindError; }

    // Accepts one connection. 0 when it was set up, -1 otherwise. Reader thread.
    int sock_event_accept(CSocketConnection* listenConn) override;
    // Closes the record through the loop and takes it off the connection counts. Reader thread.
    int sock_close_connection(CSocketConnection* conn) override;
    // Base options plus keep-alive. Returns 0.
    int set_sock_opt(int fd) override;
    // Keep-alive on, idle 120 s, interval 15 s, 3 probes; false at the first failure.
    bool set_sock_keepalive(int fd);
    // The idle sweep: with an idle timeout set, at most once every kIdleSweepInterval, closes the
    // connections that have brought no byte for that long. Without one it reads no clock. Reader
    // thread.
    void loop_turn_ended() override;

private:
    // An error accept cannot clear: stop watching the listener briefly, log at most once a second.
    int accept_backoff(CSocketConnection* listenConn, int err);
    int accept_failed(CSocketConnection* listenConn, int err);
    // Whether the access rules admit one more connection from peer; a refusal is logged.
    bool admit(const sockaddr_in& peer);
    // A new connection's record: peer address, receive time and the connection counts.
    void take_record(CSocketConnection* conn, const sockaddr_in& peer);

    int m_bindError = 0;       // set by the constructor
    std::string m_ip;          // set once listening
    unsigned short m_port = 0; // host order; set once listening
    // Accepted connections still open, in all and per client address (network order; no entry
    // once a client has none). Reader thread, which accepts and closes.
    uint32_t m_open = 0;
    std::unordered_map<in_addr_t, uint32_t> m_openPerClient;
    std::chrono::steady_clock::time_point m_lastIdleSweep{}; // reader thread
};
