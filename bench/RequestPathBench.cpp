// The request path on the reader thread: one FINS/TCP frame from its receive block through
// ProcessRecvData to the queued send block. Time per iteration is the time per request; the
// server double releases each send block as the send thread would after writing it.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "appmem/AppAreaMem.h"
#include "base/CmpImports.h"
#include "fins/FinsProtocol.h"
#include "net/FinsBinding.h"
#include "net/ISocketServer.h"
#include "net/SockConnection.h"
#include "utility/Singleton.h"

namespace {

constexpr size_t kSegmentBytes = 65536;
std::vector<char> g_segments[3]; // I, Q, M
char g_app;

void* GetFirstApp(RTS_RESULT* result)
{
    *result = 0;
    return &g_app;
}

std::vector<char>& SegmentOf(uint32_t areaCode)
{
    return g_segments[areaCode == APP_SEGMENT_INPUT ? 0 : areaCode == APP_SEGMENT_OUTPUT ? 1 : 2];
}

uint8_t* GetSegmentAddress(void*, uint32_t areaCode, RTS_RESULT* result)
{
    *result = 0;
    return reinterpret_cast<uint8_t*>(SegmentOf(areaCode).data());
}

uint32_t GetSegmentSize(void*, uint32_t areaCode, RTS_RESULT* result)
{
    *result = 0;
    return static_cast<uint32_t>(SegmentOf(areaCode).size());
}

// Takes each queued send block and releases it, remembering the last payload size.
class SinkServer : public ISocketServer
{
public:
    int msg_send(char* block) override
    {
        _SockMsgHeader head;
        std::memcpy(&head, block, sizeof(head));
        lastLen = head.iLen;
        delete[] block;
        return 0;
    }
    uint32_t lastLen = 0;
};

void LoadApplication()
{
    for (std::vector<char>& seg : g_segments) {
        seg.assign(kSegmentBytes, 0x5A);
    }
    pfAppGetFirstApp = &GetFirstApp;
    pfAppGetSegmentAddress = &GetSegmentAddress;
    pfAppGetSegmentSize = &GetSegmentSize;
    CAppAreaMemmory* segments = utility::Singleton<CAppAreaMemmory>::instance();
    (void)segments->LoadAppMemoryAddr();
    utility::Singleton<CFinsProtocol>::instance()->SetMemory(segments);
}

void Big16(std::string& s, unsigned int v)
{
    s += static_cast<char>((v >> 8) & 0xFF);
    s += static_cast<char>(v & 0xFF);
}

// A FINS/TCP frame carrying a command and its parameters.
std::string Frame(unsigned int command, const std::string& params)
{
    std::string fins("\x80\x00\x02\x00\x03\x00\x00\x15\x00\x09", 10);
    Big16(fins, command);
    fins += params;
    std::string frame = "FINS";
    uint32_t length = static_cast<uint32_t>(fins.size()) + 8;
    Big16(frame, length >> 16);
    Big16(frame, length & 0xFFFF);
    frame += std::string("\0\0\0\x02\0\0\0\0", 8);
    return frame + fins;
}

// One memory area item: area code, word address, bit.
std::string Item(unsigned int area, unsigned int addr, unsigned int bit)
{
    std::string item(1, static_cast<char>(area));
    Big16(item, addr);
    return item + static_cast<char>(bit);
}

// A memory area command (and write data).
std::string Frame(unsigned int command, unsigned int area, unsigned int addr, unsigned int count,
                  const std::string& data)
{
    std::string params = Item(area, addr, 0);
    Big16(params, count);
    return Frame(command, params + data);
}

// Runs one request per iteration. The protocol converts fields in place, so each iteration starts
// from a fresh copy of the frame, as each frame arrives in a fresh receive block.
void RunRequest(benchmark::State& state, const std::string& frame, uint32_t expectedReply)
{
    LoadApplication();
    SinkServer server;
    CSocketConnection conn;
    conn.GetOneToUse();
    conn.SetSockServer(&server);
    std::strcpy(conn.szPeerAddr, "10.0.0.21:50000");
    std::strcpy(conn.szLocalAddr, "10.0.0.3");
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(50000);
    peer.sin_addr.s_addr = htonl(0x0A000015); // the texts' addresses, which the nodes come from
    std::memcpy(&conn.peerAddr, &peer, sizeof(peer));
    conn.boundAddr = peer;
    conn.boundAddr.sin_addr.s_addr = htonl(0x0A000003);
    std::unique_ptr<char[]> block(new char[sizeof(_SockMsgHeader) + frame.size()]);
    _SockMsgHeader head{};
    head.pConn = &conn;
    head.iLen = static_cast<uint32_t>(frame.size());
    std::memcpy(block.get(), &head, sizeof(head));
    CFinsProtocol& protocol = *utility::Singleton<CFinsProtocol>::instance();
    CFinsBinding binding(protocol);
    for (auto _ : state) {
        std::memcpy(SockMsgPayload(block.get()), frame.data(), frame.size());
        benchmark::DoNotOptimize(protocol.ProcessRecvData(block.get()));
    }
    if (server.lastLen != expectedReply) {
        state.SkipWithError("the request was not answered with a success response");
    }
    state.SetItemsProcessed(state.iterations());
}

// Reply sizes over TCP: 16 + 10 + 4 header bytes, then the data.
constexpr uint32_t kReplyHead = 30;

void DmRead10Words(benchmark::State& state)
{
    RunRequest(state, Frame(0x0101, 0x82, 100, 10, ""), kReplyHead + 20);
}

void DmRead2000Words(benchmark::State& state)
{
    RunRequest(state, Frame(0x0101, 0x82, 0, 2000, ""), kReplyHead + 4000);
}

void CioRead2000Bits(benchmark::State& state)
{
    RunRequest(state, Frame(0x0101, 0x30, 0x8000, 2000, ""), kReplyHead + 2000);
}

void DmWrite10Words(benchmark::State& state)
{
    RunRequest(state, Frame(0x0102, 0x82, 100, 10, std::string(20, '\x12')), kReplyHead);
}

// What an HMI polls: ten DM words and ten output bits scattered over the areas, in one request.
void MultipleRead20Items(benchmark::State& state)
{
    constexpr unsigned int kItems = 10;
    std::string items;
    for (unsigned int i = 0; i < kItems; ++i) {
        items += Item(0x82, 1000 * i, 0) + Item(0x30, 0x8000 + 300 * i, i);
    }
    // Per item its area code and the value: 2 bytes for a word, 1 for a bit.
    RunRequest(state, Frame(0x0104, items), kReplyHead + kItems * (3 + 2));
}

} // namespace

BENCHMARK(DmRead10Words);
BENCHMARK(DmRead2000Words);
BENCHMARK(CioRead2000Bits);
BENCHMARK(DmWrite10Words);
BENCHMARK(MultipleRead20Items);

BENCHMARK_MAIN();
