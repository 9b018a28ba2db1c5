// The settings file in force through runtime-host --config: the controller admits two client
// addresses only, keeps DM read-only and reports its own model text; the log shows every refusal.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/FinsTestClient.h"
#include "tests/support/HostProcess.h"
#include "tests/utility/TempDir.h"

namespace {

constexpr uint32_t kAllowed = 0x7F000001;  // 127.0.0.1
constexpr uint32_t kStranger = 0x7F000002; // 127.0.0.2, not in the list

using SettingsTest = HostTest;

TEST_F(SettingsTest, AllowListAndReadOnlyDmRefuseAndLogEachRequest)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string file = dir.file("DrvFins.ini");
    std::ofstream(file) << "[controller]\nmodel = Line 3 press\n"
                        << "[access]\nallow = 127.0.0.1, 127.0.0.3\nread_only = DM\n";
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

    FinsTestClient stranger;
    ASSERT_TRUE(stranger.ConnectTcp(TestPort(), kWaitMs, kStranger));
    EXPECT_TRUE(WaitPeerClose(stranger.Fd(), kWaitMs));
    ASSERT_TRUE(stranger.OpenUdp(TestPort(), INADDR_LOOPBACK, kStranger));
    EXPECT_FALSE(stranger.ReadWords(kDmWord, 0, 1).answered);

    EXPECT_TRUE(host->WaitForLog("127.0.0.2 not in the allow list", 2, kReadyTimeoutMs))
        << host->Log();
    EXPECT_EQ(1, host->CountLog("write into a read-only area refused"));
}

} // namespace
