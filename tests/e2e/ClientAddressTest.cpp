// Clients of two loopback addresses through runtime-host. With a settings file (--config) the
// controller admits two client addresses only, keeps DM read-only, lets one of them write and
// logs its writes, and reports its own model text, and the log shows every refusal. A strict client
// of 127.0.0.1 over a UDP socket connected to the second address (127.0.0.2) hears every answer
// from that address, one at a time and in a burst that leaves in one batch, or the connected socket
// drops the reply.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

#include "tests/support/FinsTestClient.h"
#include "tests/support/HostProcess.h"
#include "tests/utility/TempDir.h"

namespace {

constexpr uint32_t kAllowed = 0x7F000001;       // 127.0.0.1
constexpr uint32_t kSecondAddress = 0x7F000002; // 127.0.0.2, left out of the allow list below
constexpr uint32_t kReader = 0x7F000003;        // 127.0.0.3, admitted but no writer
constexpr uint8_t kSecondNode = 2;
constexpr int kBurst = 8;

using ClientAddressTest = HostTest;

TEST_F(ClientAddressTest, AllowListAndReadOnlyDmRefuseAndLogEachRequest)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string file = dir.file("DrvFins.ini");
    std::ofstream(file) << "[controller]\nmodel = Line 3 press\n"
                        << "[access]\nallow = 127.0.0.1, 127.0.0.3\nread_only = DM\n"
                        << "write_allow = 127.0.0.1\nlog_writes = on\n";
    StartHost({"--config", file});
    const std::string port = std::to_string(TestPort());
    const ProgramResult info = RunProgram("fins", {"info", "--port", port});
    EXPECT_EQ(0, info.exitCode) << info.err;
    EXPECT_NE(std::string::npos, info.out.find("model: Line 3 press\n")) << info.out;

    FinsTestClient client;
    ASSERT_TRUE(client.ConnectTcp(TestPort(), kWaitMs, kAllowed));
    ASSERT_TRUE(client.Handshake(0));
    EXPECT_EQ(0x2101, client.WriteWords(kDmWord, 10, {7}).code);
    const FinsResult dm = client.ReadWords(kDmWord, 10, 1);
    EXPECT_EQ(kRespOk, dm.code);
    EXPECT_EQ(std::vector<uint16_t>{0}, WireToWords(dm.data));
    EXPECT_EQ(kRespOk, client.WriteWords(kCioWord, 10, {7}).code);
    FinsTestClient reader;
    ASSERT_TRUE(reader.ConnectTcp(TestPort(), kWaitMs, kReader));
    EXPECT_EQ(0x2101, reader.WriteWords(kCioWord, 10, {8}).code);
    EXPECT_EQ(WordsToWire({7}), reader.ReadWords(kCioWord, 10, 1).data);

    FinsTestClient stranger;
    ASSERT_TRUE(stranger.ConnectTcp(TestPort(), kWaitMs, kSecondAddress));
    EXPECT_TRUE(WaitPeerClose(stranger.Fd(), kWaitMs));
    ASSERT_TRUE(stranger.OpenUdp(TestPort(), INADDR_LOOPBACK, kSecondAddress));
    EXPECT_FALSE(stranger.ReadWords(kDmWord, 0, 1).answered);

    EXPECT_TRUE(host->WaitForLog("127.0.0.2 not in the allow list", 2, kReadyTimeoutMs))
        << host->Log();
    EXPECT_EQ(1, host->CountLog("write into a read-only area refused"));
    EXPECT_EQ(1, host->CountLog("not in the write allow list, write refused (command 0102)"));
    EXPECT_EQ(1, host->CountLog(" wrote CIO10 (0102)"));
}

TEST_F(ClientAddressTest, ConnectedUdpClientOfASecondAddressHearsFromIt)
{
    StartHost();
    FinsTestClient client;
    // Sent from 127.0.0.1: a reply the system gives the source of its route would come from there.
    ASSERT_TRUE(client.OpenUdp(TestPort(), kSecondAddress, kAllowed));
    const auto clientNode = static_cast<uint8_t>(kAllowed & 0xFF);
    for (int i = 0; i < kBurst; ++i) {
        ASSERT_TRUE(SendAll(client.Fd(), FinsHeader(0x0101, i, kSecondNode, clientNode) +
                                             AreaCommand(kDmWord, 0, 0, 1)));
    }
    for (int i = 0; i < kBurst; ++i) {
        std::string response;
        ASSERT_TRUE(RecvDatagram(client.Fd(), response)) << "reply " << i;
        ASSERT_EQ(16u, response.size());
        EXPECT_EQ(clientNode, static_cast<uint8_t>(response[4])) << "DA1";
        EXPECT_EQ(kSecondNode, static_cast<uint8_t>(response[7])) << "SA1";
        EXPECT_EQ(i, static_cast<uint8_t>(response[9])) << "SID";
    }
}

// Datagrams from `port` to `port` (the two controllers' endpoints) a raw UDP socket sees on
// loopback within windowMs.
int DatagramsBetweenControllers(int sniffer, uint16_t port, int windowMs)
{
    int seen = 0;
    const long long end = NowMs() + windowMs;
    for (long long now = NowMs(); now < end; now = NowMs()) {
        pollfd p{sniffer, POLLIN, 0};
        unsigned char packet[2048];
        if (poll(&p, 1, static_cast<int>(end - now)) <= 0) {
            continue;
        }
        const ssize_t n = recv(sniffer, packet, sizeof(packet), 0);
        const size_t ip = (packet[0] & 0x0Fu) * 4u;
        if (n >= static_cast<ssize_t>(ip + 4)) {
            const unsigned from = packet[ip] << 8 | packet[ip + 1];
            const unsigned to = packet[ip + 2] << 8 | packet[ip + 3];
            seen += from == port && to == port;
        }
    }
    return seen;
}

// One UDP datagram whose source is forged (host-order addresses, one port for both ends).
bool SendForged(int raw, uint32_t from, uint32_t to, uint16_t port, const std::string& payload)
{
    const auto udpLen = static_cast<unsigned>(8 + payload.size());
    // IPv4 header (checksum and id left to the kernel), then UDP without a checksum.
    const std::string packet = Hex("45 00") + Big16(20 + udpLen) + Hex("0000 4000 40 11 0000") +
                               Big32(from) + Big32(to) + Big16(port) + Big16(port) + Big16(udpLen) +
                               Hex("0000") + payload;
    sockaddr_in dst = LoopbackAddr(port);
    dst.sin_addr.s_addr = htonl(to);
    return sendto(raw, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&dst),
                  sizeof(dst)) == static_cast<ssize_t>(packet.size());
}

// Regression: a response frame (ICF C0) was answered with 0x1005, itself a response, so one
// datagram sent to controller A as if from controller B had the two answer each other for ever.
TEST(ResponseFrame, IsNeverAnsweredSoTwoControllersCannotAnswerEachOtherForEver)
{
    const int raw = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
    const int sniffer = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_UDP);
    if (raw < 0 || sniffer < 0) {
        close(raw);
        close(sniffer);
        GTEST_SKIP() << "forging a datagram's source takes raw sockets (root)";
    }
    ASSERT_TRUE(WaitPortFree(TestPort(), kPortBusyTimeoutMs));
    const uint16_t port = TestPort();
    const std::string portText = std::to_string(port);
    HostProcess a({"--bind", "127.0.0.1", "--port", portText});
    HostProcess b({"--bind", "127.0.0.2", "--port", portText});
    ASSERT_TRUE(a.Start() && b.Start());
    ASSERT_TRUE(a.WaitReady(kReadyTimeoutMs)) << a.Log();
    ASSERT_TRUE(b.WaitForLog("udp server is running", 1, kReadyTimeoutMs)) << b.Log();

    const std::string response = Hex("C0 00 02 00 01 00 00 02 00 11 01 01 00 00");
    ASSERT_TRUE(SendForged(raw, kSecondAddress, kAllowed, port, response));
    // The forged datagram itself, and no answer to it.
    EXPECT_EQ(1, DatagramsBetweenControllers(sniffer, port, 500));

    for (uint32_t server : {kAllowed, kSecondAddress}) {
        SCOPED_TRACE(server == kAllowed ? "TCP to A" : "TCP to B");
        FinsTestClient client;
        ASSERT_TRUE(client.ConnectTcp(port, kWaitMs, INADDR_ANY, server));
        ASSERT_TRUE(client.Handshake(0));
        ASSERT_TRUE(SendAll(client.Fd(), TcpFrame(2, Hex("C0") + FinsHeader(0x0101).substr(1) +
                                                         AreaCommand(kDmWord, 0, 0, 1))));
        EXPECT_TRUE(Quiet(client.Fd(), 300));
        EXPECT_EQ(kRespOk, client.ReadWords(kDmWord, 0, 1).code);
    }
    close(raw);
    close(sniffer);
    // A dropped the forged datagram and a frame, B a frame: one warning each.
    for (auto [host, dropped] : {std::pair{&a, 2}, std::pair{&b, 1}}) {
        int code = -1;
        ASSERT_TRUE(host->Signal(SIGTERM) && host->WaitExit(kExitTimeoutMs, &code));
        EXPECT_EQ(0, code) << host->Log();
        EXPECT_EQ(dropped, host->CountLog("sent a response frame (ICF c0), dropped"))
            << host->Log();
    }
}

} // namespace
