// Owner of the network server: the event loop and the FINS/TCP and FINS/UDP endpoints (by default
// on 0.0.0.0:9600). Driven by the application events on the runtime's event thread, one at a time.
#pragma once

#include <memory>

#include "component/FinsSettings.h"

class CEventLoop;
class CFinsBinding;
class TcpServer;
class UdpServer;

constexpr int kServerPoolRecords = 4096;

class CFinsServer
{
public:
    CFinsServer();
    // Stops the loop, then releases the UDP and the TCP endpoint.
    ~CFinsServer();
    CFinsServer(const CFinsServer&) = delete;
    CFinsServer& operator=(const CFinsServer&) = delete;

    // Builds a new loop and the endpoints the settings ask for, on their address and port and with
    // their access rules (a loop still running is stopped first, so no loop thread sees the change
    // half made), joined to the process-wide protocol through a binding that is both the
    // endpoints' frame handler and the protocol's link, and hands the protocol the model text and
    // the read-only areas. 0 when every endpoint the settings ask for was opened and registered
    // (also when both are off); -1 when one failed (logged), the other serving on.
    int initServer(const FinsSettings& settings);
    // The same with the settings in effect now (ResolveFinsSettings), logged when a file or the
    // environment gave any. Settings read from a file at an earlier download stay in force when
    // the file cannot be read now.
    int initServer();
    // Starts the loop's threads: 0, or -1 without a loop or when a thread could not be started
    // (logged; the loop is then left stopped).
    int start();
    // Stops and deletes the loop; the endpoints stay open, unserved, until the next initServer.
    void stop();

private:
    CEventLoop* m_eventLoop; // owned; null while stopped
    // Owned; replaced by initServer while no loop runs. The protocol must outlive it (the runtime's
    // exit hook releases the server first).
    std::unique_ptr<CFinsBinding> m_binding;
    std::shared_ptr<TcpServer> m_tcpServer;
    std::shared_ptr<UdpServer> m_udpServer;
    FinsSettings m_settings;                     // of the last initServer() that resolved them
    unsigned m_priority = kServerThreadPriority; // of the settings initServer took
};
