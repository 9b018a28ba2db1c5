// A raw FINS client for tests against a running server on the loopback address: frames built
// byte by byte from the wire format, every wait bounded by a poll() deadline. Shared by the
// end-to-end and reliability tests.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

namespace finstest {

typedef std::vector<uint8_t> Bytes;

constexpr uint16_t kFinsPort = 9600;
// The variable that gives runtime-host and the component their port; CTest sets it for the test
// programs whose hosts run on a port of their own.
constexpr const char* kPortVariable = "DRVFINS_PORT";

// The port the servers of this test program serve on: $DRVFINS_PORT, else 9600.
uint16_t TestPort();
constexpr const char* kLoopback = "127.0.0.1";
constexpr int kDefaultTimeoutMs = 3000;

// Memory area codes.
constexpr uint8_t kCioBit = 0x30;
constexpr uint8_t kCioWord = 0xB0;
constexpr uint8_t kDmBit = 0x02;
constexpr uint8_t kDmWord = 0x82;
constexpr uint16_t kCioOutputs = 0x8000;

// FINS/TCP commands.
constexpr uint32_t kTcpNodeRequest = 0;
constexpr uint32_t kTcpNodeResponse = 1;
constexpr uint32_t kTcpFrame = 2;

// FINS response codes the server uses.
constexpr uint16_t kRespOk = 0x0000;
constexpr uint16_t kRespStartOutOfRange = 0x1103;
constexpr uint16_t kRespEndOutOfRange = 0x1104;

// A FINS memory area read (01 01) or write (01 02) with destination node 1 and source node 2.
Bytes FinsRead(uint8_t sid, uint8_t area, uint16_t word, uint8_t bit, uint16_t count);
Bytes FinsWrite(uint8_t sid, uint8_t area, uint16_t word, uint8_t bit, uint16_t count,
                const Bytes& data);
// The 16-byte FINS/TCP header for a body, followed by the body.
Bytes TcpWrap(uint32_t command, const Bytes& body, uint32_t errorCode = 0);
Bytes NodeRequest(uint8_t clientNode);

Bytes WordsToWire(const std::vector<uint16_t>& words);
std::vector<uint16_t> WireToWords(const Bytes& bytes);
uint16_t Be16(const uint8_t* p);
uint32_t Be32(const uint8_t* p);

struct FinsResult
{
    bool answered; // a well-formed response to this request arrived in time
    uint16_t code; // response code
    Bytes data;    // bytes after the response code
};

class FinsTestClient
{
public:
    FinsTestClient() = default;
    ~FinsTestClient();
    FinsTestClient(const FinsTestClient&) = delete;
    FinsTestClient& operator=(const FinsTestClient&) = delete;

    // Connects to 127.0.0.1:port from `source` (host order; any: the system picks); false when
    // refused or not done within the timeout.
    bool ConnectTcp(uint16_t port = TestPort(), int timeoutMs = kDefaultTimeoutMs,
                    uint32_t source = INADDR_ANY);
    // A UDP socket connected to port at a loopback address (host order; 127.0.0.1 by default),
    // sending from `source`.
    bool OpenUdp(uint16_t port = TestPort(), uint32_t address = INADDR_LOOPBACK,
                 uint32_t source = INADDR_ANY);
    void Close();
    int Fd() const { return m_fd; }

    bool SendAll(const Bytes& bytes, int timeoutMs = kDefaultTimeoutMs);
    bool RecvExact(size_t len, Bytes* out, int timeoutMs = kDefaultTimeoutMs);
    // One whole FINS/TCP frame: 16-byte header and body.
    bool RecvTcpFrame(Bytes* frame, int timeoutMs = kDefaultTimeoutMs);
    bool RecvDatagram(Bytes* out, int timeoutMs = kDefaultTimeoutMs);
    // True when the server ends the connection (EOF or reset) within the timeout.
    bool WaitClosed(int timeoutMs);

    // Node address request for clientNode; the whole 24-byte reply in *reply.
    bool Handshake(uint8_t clientNode, Bytes* reply = nullptr);
    // Sends a FINS frame (wrapped in a FINS/TCP header over TCP) and returns the FINS frame that
    // answers it.
    bool Exchange(const Bytes& fins, Bytes* response, int timeoutMs = kDefaultTimeoutMs);

    FinsResult Read(uint8_t area, uint16_t word, uint8_t bit, uint16_t count);
    FinsResult Write(uint8_t area, uint16_t word, uint8_t bit, uint16_t count, const Bytes& data);
    FinsResult ReadWords(uint8_t area, uint16_t word, uint16_t count);
    FinsResult WriteWords(uint8_t area, uint16_t word, const std::vector<uint16_t>& words);

private:
    bool WaitReady(short events, long long deadlineMs);
    // A new socket of the type, bound to source unless that is INADDR_ANY; false on failure.
    bool OpenFrom(int type, uint32_t source);
    FinsResult Request(const Bytes& fins, uint8_t sid, uint16_t command);

    int m_fd = -1;
    bool m_udp = false;
    uint8_t m_sid = 0;
};

long long NowMs();
// 127.0.0.1 at the given port (host order).
sockaddr_in LoopbackAddr(uint16_t port);

} // namespace finstest
