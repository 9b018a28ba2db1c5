// Owner of the network server: builds the event loop and both endpoints on a download, starts the
// loop's threads and stops them again. Runs on the runtime's event thread, one event at a time.
#include "component/FinsServer.h"

#include <memory>

#include "appmem/AppAreaMem.h"
#include "base/kellog.h"
#include "fins/FinsPolicy.h"
#include "fins/FinsProtocol.h"
#include "net/EventLoop.h"
#include "net/FinsBinding.h"
#include "net/TcpServer.h"
#include "net/UdpServer.h"
#include "utility/Singleton.h"

namespace {

// The access settings as the servers take them.
ServerAccess AccessOf(const FinsSettings& settings)
{
    ServerAccess access;
    (void)access.allow.Parse(settings.allow); // entries the loader already checked
    if (settings.allowNone) {
        access.allow.DenyAll();
    }
    access.maxConnections = settings.maxConnections;
    access.maxConnectionsPerClient = settings.maxConnectionsPerClient;
    access.idleTimeoutS = settings.idleTimeoutS;
    return access;
}

// The protocol's part of the settings.
FinsPolicy PolicyOf(const FinsSettings& settings)
{
    FinsPolicy policy;
    policy.model = settings.model;
    policy.readOnly = settings.readOnly;
    policy.writersNamed = settings.writersNamed;
    (void)policy.writeAllow.Parse(settings.writeAllow); // entries the loader already checked
    policy.logWrites = settings.logWrites;
    return policy;
}

} // namespace

CFinsServer::CFinsServer() : m_eventLoop(nullptr), m_tcpServer(nullptr), m_udpServer(nullptr) {}

CFinsServer::~CFinsServer()
{
    stop();
    m_udpServer.reset();
    m_tcpServer.reset();
}

int CFinsServer::initServer()
{
    m_settings = ResolveFinsSettings(m_settings);
    // Ranges past the end of this application's segments are left out of what is served, not of
    // the settings kept for a later download, whose application may be larger.
    FinsSettings served = m_settings;
    FitFinsAreasToSegments(served, *utility::Singleton<CAppAreaMemmory>::instance());
    if (!served.file.empty() || served.fromEnvironment) {
        for (const std::string& line : FormatFinsSettings(served)) {
            (void)kelLogAddInfoF("%s", line.c_str());
        }
    }
    return initServer(served);
}

// A loop that still runs is stopped (threads joined) before its endpoints are released: the
// runtime normally prepares every download, but if it does not, no thread may go on serving the
// sockets that are closed below.
int CFinsServer::initServer(const FinsSettings& settings)
{
    stop();
    auto loop = std::make_unique<CEventLoop>();
    (void)loop->init_connections(kServerPoolRecords);
    m_eventLoop = loop.release();
    m_eventLoop->set_cpu_share(settings.cpuShare);
    m_priority = settings.priority;

    // The old endpoints close their sockets before the new ones bind the same port.
    m_tcpServer.reset();
    m_udpServer.reset();
    // Handed down while no loop thread runs; the threads' start orders it before their reads.
    CFinsProtocol& protocol = *utility::Singleton<CFinsProtocol>::instance();
    CAppAreaMemmory* memory = utility::Singleton<CAppAreaMemmory>::instance();
    protocol.SetMemory(memory);
    protocol.SetPolicy(PolicyOf(settings));
    protocol.SetAreaMap(BuildFinsAreaMap(settings, *memory));
    const ServerAccess access = AccessOf(settings);
    m_binding = std::make_unique<CFinsBinding>(protocol);
    const char* bindAddr = settings.bindAddr.c_str();
    int result = 0;
    // An endpoint that could not open its socket logged why and is not registered (-1); the other
    // serves on, but the caller learns that one failed.
    int tcpBindError = 0;
    if (settings.tcp) {
        m_tcpServer = std::make_shared<TcpServer>(bindAddr, settings.port);
        m_tcpServer->set_frame_handler(m_binding.get());
        m_tcpServer->set_access(access);
        tcpBindError = m_tcpServer->bind_error();
        result |= m_eventLoop->epoll_add_listen_event(
            m_tcpServer.get(), &ISocketServer::sock_event_accept, RecordKind::Listener);
    }
    if (settings.udp) {
        // A port taken for both transports is logged once, by the listener.
        m_udpServer = std::make_shared<UdpServer>(bindAddr, settings.port, tcpBindError);
        m_udpServer->set_frame_handler(m_binding.get());
        m_udpServer->set_access(access);
        result |= m_eventLoop->epoll_add_listen_event(
            m_udpServer.get(), &ISocketServer::sock_read_request_handler, RecordKind::Datagram);
    }
    return result != 0 ? -1 : 0;
}

int CFinsServer::start()
{
    if (m_eventLoop == nullptr) {
        return -1;
    }
    return m_eventLoop->event_start(m_priority); // a thread that fails is logged
}

// The endpoints stay: their sockets remain bound, unserved, until the next initServer.
void CFinsServer::stop()
{
    if (m_eventLoop == nullptr) {
        return;
    }
    m_eventLoop->event_stop();
    delete m_eventLoop;
    m_eventLoop = nullptr;
}
