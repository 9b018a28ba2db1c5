// Clients of two loopback addresses through runtime-host. With a settings file (--config) the
// controller admits two client addresses only, keeps DM read-only, lets one of them write and
// logs its writes, and reports its own model text, and the log shows every refusal. A strict client
// of 127.0.0.1 over a UDP socket connected to the second address (127.0.0.2) hears every answer
// from that address, one at a time and in a burst that leaves in one batch, or the connected socket
// drops the reply.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

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

} // namespace
