// The client side of the tests that talk to a server over loopback: socket helpers on plain
// descriptors and a FINS client for a running server, every wait bounded by a poll() deadline.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/FinsBytes.h"

constexpr uint16_t kFinsPort = 9600;
// The variable that gives runtime-host and the component their port; CTest sets it for the test
// programs whose hosts run on a port of their own.
constexpr const char* kPortVariable = "DRVFINS_PORT";
constexpr int kWaitMs = 5000; // upper bound of a wait that has none of its own

// The port the servers of this test program serve on: $DRVFINS_PORT, else 9600.
uint16_t TestPort();
long long NowMs();
// 127.0.0.1 at the given port (host order).
sockaddr_in LoopbackAddr(uint16_t port);
// The address a socket is bound to; all zero when there is none.
sockaddr_in LocalAddr(int fd);

// source: the client's own address, host order (127.0.0.2 plays another client); INADDR_ANY lets
// the system pick. A TCP socket connected to address:port (host order; 127.0.0.1 by default)
// within the timeout, or -1; a receive buffer of rcvBuf bytes when given; no Nagle delay.
int ConnectTcp(uint16_t port, int rcvBuf = 0, uint32_t source = INADDR_ANY, int timeoutMs = kWaitMs,
               uint32_t address = INADDR_LOOPBACK);
// A UDP socket bound to an ephemeral port of source (unbound for INADDR_ANY), or -1.
int OpenUdp(uint32_t source = INADDR_LOOPBACK);
bool SendAll(int fd, const std::string& bytes, int timeoutMs = kWaitMs);
bool SendTo(int fd, uint16_t port, const std::string& bytes);
// Exactly n bytes, or false at a timeout, an error or the peer's close.
bool RecvExact(int fd, size_t n, std::string& out, int timeoutMs = kWaitMs);
// One datagram, or false at the timeout.
bool RecvDatagram(int fd, std::string& out, int timeoutMs = kWaitMs);
// True when the peer closes (or resets) within the timeout; data arriving first is discarded.
bool WaitPeerClose(int fd, int timeoutMs = kWaitMs);
// True when nothing arrives on fd within the timeout.
bool Quiet(int fd, int timeoutMs);
// Resets the connection (linger 0) and closes fd.
void ResetClose(int fd);
// Polls pred every few milliseconds until it holds or the timeout passes.
bool WaitUntil(const std::function<bool()>& pred, int timeoutMs = kWaitMs);

struct FinsResult
{
    bool answered;    // a well-formed response to this request arrived in time
    uint16_t code;    // response code
    std::string data; // bytes after the response code
};

// A FINS client of a server on 127.0.0.1 (node 2 asking node 1), over TCP or UDP.
class FinsTestClient
{
public:
    FinsTestClient() = default;
    ~FinsTestClient();
    FinsTestClient(const FinsTestClient&) = delete;
    FinsTestClient& operator=(const FinsTestClient&) = delete;

    // Connects to address:port (host order; 127.0.0.1 by default) from `source` (any: the system
    // picks); false when refused or not done within the timeout.
    bool ConnectTcp(uint16_t port = TestPort(), int timeoutMs = kWaitMs,
                    uint32_t source = INADDR_ANY, uint32_t address = INADDR_LOOPBACK);
    // A UDP socket connected to port at a loopback address (host order; 127.0.0.1 by default),
    // sending from `source`.
    bool OpenUdp(uint16_t port = TestPort(), uint32_t address = INADDR_LOOPBACK,
                 uint32_t source = INADDR_ANY);
    void Close();
    int Fd() const { return m_fd; }

    // One whole FINS/TCP frame: 16-byte header and body.
    bool RecvTcpFrame(std::string& frame, int timeoutMs = kWaitMs);
    // Node address request for clientNode, answered without an error.
    bool Handshake(uint8_t clientNode);
    // Sends a FINS frame (wrapped in a FINS/TCP header over TCP) and returns the FINS frame that
    // answers it.
    bool Exchange(const std::string& fins, std::string& response, int timeoutMs = kWaitMs);

    FinsResult ReadWords(uint8_t area, uint16_t word, uint16_t count);
    FinsResult WriteWords(uint8_t area, uint16_t word, const std::vector<uint16_t>& words);

private:
    FinsResult Request(uint16_t command, const std::string& params);

    int m_fd = -1;
    bool m_udp = false;
    uint8_t m_sid = 0;
};
