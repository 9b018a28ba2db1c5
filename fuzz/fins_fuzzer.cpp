// Feeds arbitrary bytes through the request path, as a FINS client could send them. The first
// byte picks the road: the FINS/TCP stream framing on one end of a socket pair (the second byte
// sets how many bytes arrive per write), one receive block straight into ProcessRecvData, or one
// FINS/UDP datagram into ProcessRWRequest. Records are real, owned by a capturing server;
// application memory is real memory served through the fake application manager. Every response
// must have the shape of a FINS response; all of them are released after each input.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "appmem/AppAreaMem.h"
#include "base/RuntimeApi.h"
#include "fins/FinsProtocol.h"
#include "net/FinsBinding.h"
#include "net/SockConnection.h"
#include "tests/support/CaptureServer.h"
#include "tests/support/FakeApplication.h"
#include "tests/support/FakeLogger.h"
#include "utility/Singleton.h"

namespace {

enum Road : uint8_t
{
    kTcpStream = 0,
    kTcpBlock = 1,
    kUdpDatagram = 2,
    kRoads = 3,
};

// The default application of runtime-host: I and Q of 64 KiB, M of 128 KiB.
constexpr size_t kIoBytes = 65536;
constexpr size_t kMemoryBytes = 131072;
constexpr size_t kTcpHeaderLen = 16;
constexpr size_t kFinsResponseMin = 14; // FINS header (10), command (2), response code (2)
constexpr size_t kResponseMax = 4096;   // the response buffer
constexpr uint32_t kTcpCommandFrame = 2;
// The stream arrives in writes of 1 to this many bytes, so headers and bodies come in pieces.
constexpr int kMaxWritePerStep = 256;

// A capturing server whose close ends the record's use as the loop's close does (no socket any
// more, so the framing stops in the middle of what it has read), without closing the descriptor:
// the socket pair belongs to the harness.
class FuzzServer : public CaptureServer
{
public:
    int sock_close_connection(CSocketConnection* conn) override
    {
        conn->fd.store(-1);
        closed = true;
        return 0;
    }
    bool closed = false;
};

// The wide layout's CIO and DM, and a range of every other area on M words DM also reaches, so
// every area code leads somewhere.
CFinsAreaMap EveryArea()
{
    const FinsAreaRange ranges[] = {
        {kAreaCio, 0, 32767, APP_AREA_I, 0},  {kAreaCio, 32768, 65535, APP_AREA_Q, 0},
        {kAreaDm, 0, 65535, APP_AREA_M, 0},   {kAreaW, 0, 511, APP_AREA_M, 60000},
        {kAreaH, 0, 511, APP_AREA_M, 60512},  {kAreaA, 0, 959, APP_AREA_M, 61024},
        {kAreaE0, 0, 999, APP_AREA_M, 62000}, {kAreaT, 0, 99, APP_AREA_M, 63000},
        {kAreaC, 0, 99, APP_AREA_M, 63100},   {kAreaTF, 0, 99, APP_AREA_M, 63200},
        {kAreaCF, 50, 99, APP_AREA_M, 63210},
    };
    CFinsAreaMap map;
    for (const FinsAreaRange& range : ranges) {
        (void)map.Add(range);
    }
    return map;
}

struct Harness
{
    Harness() : input(kIoBytes), output(kIoBytes), memory(kMemoryBytes)
    {
        app.setSegment(APP_SEGMENT_INPUT, input.data(), kIoBytes);
        app.setSegment(APP_SEGMENT_OUTPUT, output.data(), kIoBytes);
        app.setSegment(APP_SEGMENT_MEMORY, memory.data(), kMemoryBytes);
        if (segments.LoadAppMemoryAddr() != 0) {
            std::abort();
        }
        CFinsProtocol& protocol = *utility::Singleton<CFinsProtocol>::instance();
        protocol.SetMemory(&segments);
        protocol.SetAreaMap(EveryArea());
        server.set_frame_handler(&binding);
    }

    FakeLogger logger;
    FakeApplication app;
    std::vector<char> input;
    std::vector<char> output;
    std::vector<char> memory;
    CAppAreaMemmory segments;
    FuzzServer server;
    // Joins the stream framing to the process-wide protocol, as the component's owner does.
    CFinsBinding binding{*utility::Singleton<CFinsProtocol>::instance()};
};

Harness& TheHarness()
{
    static Harness harness;
    return harness;
}

CFinsProtocol& Protocol()
{
    return *utility::Singleton<CFinsProtocol>::instance();
}

uint32_t Big32(const std::string& b, size_t at)
{
    return (uint32_t{static_cast<uint8_t>(b[at])} << 24) |
           (uint32_t{static_cast<uint8_t>(b[at + 1])} << 16) |
           (uint32_t{static_cast<uint8_t>(b[at + 2])} << 8) | static_cast<uint8_t>(b[at + 3]);
}

// A FINS response begins C0 00 02 and holds at least its header, command and response code.
bool IsFinsResponse(const std::string& fins)
{
    return fins.size() >= kFinsResponseMin && fins.compare(0, 3, "\xC0\x00\x02", 3) == 0;
}

// Every response the input produced has the shape the peer expects; anything else is a fault.
void CheckResponses(const CSocketConnection* conn, bool tcp)
{
    for (const CaptureServer::Sent& s : TheHarness().server.sent()) {
        bool ok = s.conn == conn && s.sequence == conn->iCurrsequence.load() &&
                  s.bytes.size() <= kResponseMax;
        if (ok && tcp) {
            ok = s.bytes.size() >= kTcpHeaderLen && s.bytes.compare(0, 4, "FINS") == 0 &&
                 Big32(s.bytes, 4) == s.bytes.size() - 8 &&
                 (Big32(s.bytes, 8) != kTcpCommandFrame || s.bytes.size() == kTcpHeaderLen ||
                  IsFinsResponse(s.bytes.substr(kTcpHeaderLen)));
        } else if (ok) {
            ok = IsFinsResponse(s.bytes);
        }
        if (!ok) {
            std::abort();
        }
    }
}

// The stream framing reads from one end of a socket pair while the input arrives at the other,
// `step` bytes per write; a final close shows the framing the peer's end.
void FeedStream(CSocketConnection* conn, const uint8_t* data, size_t size, size_t step)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) != 0) {
        std::abort();
    }
    conn->fd.store(sv[0]);
    FuzzServer& server = TheHarness().server;
    server.closed = false;
    for (size_t at = 0; at <= size && !server.closed; at += step) {
        if (at < size) {
            const ssize_t n = write(sv[1], data + at, std::min(step, size - at));
            if (n != static_cast<ssize_t>(std::min(step, size - at))) {
                std::abort(); // the pair is drained after every write; it cannot be full
            }
        } else {
            (void)shutdown(sv[1], SHUT_WR);
        }
        while (!server.closed && server.sock_read_request_handler(conn) == 0) {
        }
    }
    close(sv[0]);
    close(sv[1]);
    conn->fd.store(-1); // the pair is gone, whether or not the framing closed the record
}

// One receive block of exactly the frame, as the framing hands it over.
void FeedBlock(CSocketConnection* conn, const uint8_t* data, size_t size)
{
    std::unique_ptr<char[]> block(new char[sizeof(_SockMsgHeader) + size]);
    _SockMsgHeader head{};
    head.pConn = conn;
    head.iSequence = conn->iCurrsequence.load();
    head.iLen = static_cast<uint32_t>(size);
    std::memcpy(block.get(), &head, sizeof(head));
    if (size > 0) {
        std::memcpy(SockMsgPayload(block.get()), data, size);
    }
    (void)Protocol().ProcessRecvData(block.get());
}

// One datagram in a buffer of exactly its size, so any read past it is caught.
void FeedDatagram(CSocketConnection* conn, const uint8_t* data, size_t size)
{
    std::unique_ptr<char[]> buf(new char[size == 0 ? 1 : size]);
    if (size > 0) {
        std::memcpy(buf.get(), data, size);
    }
    (void)Protocol().ProcessRWRequest(conn, buf.get(), static_cast<unsigned int>(size), false);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    Harness& h = TheHarness();
    const Road road = static_cast<Road>(data[0] % kRoads);
    const bool tcp = road != kUdpDatagram;
    // Loopback addresses, as the running host sees its clients: both node numbers are 1.
    std::unique_ptr<CSocketConnection> conn = h.server.newConnection(
        tcp ? "127.0.0.1:50000" : "127.0.0.1", tcp ? "127.0.0.1" : "0.0.0.0");
    if (road == kTcpStream && size >= 2) {
        FeedStream(conn.get(), data + 2, size - 2, 1 + data[1] % kMaxWritePerStep);
    } else if (road == kTcpBlock) {
        FeedBlock(conn.get(), data + 1, size - 1);
    } else if (road == kUdpDatagram) {
        FeedDatagram(conn.get(), data + 1, size - 1);
    }
    CheckResponses(conn.get(), tcp);
    h.server.clear();
    h.logger.clear();
    return 0;
}
