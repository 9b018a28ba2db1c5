// The settings file in force through runtime-host --config: the controller admits two client
// addresses only, keeps DM read-only and reports its own model text; the log shows every refusal.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/e2e/E2eFixture.h"
#include "tests/utility/TempDir.h"

namespace {

using finstest::FinsTestClient;

constexpr uint32_t kAllowed = 0x7F000001;  // 127.0.0.1
constexpr uint32_t kStranger = 0x7F000002; // 127.0.0.2, not in the list

using SettingsTest = E2eTest;

TEST_F(SettingsTest, AllowListAndReadOnlyDmRefuseAndLogEachRequest)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string file = dir.file("DrvFins.ini");
    std::ofstream(file) << "[controller]\nmodel = Line 3 press\n"
                        << "[access]\nallow = 127.0.0.1, 127.0.0.3\nread_only = DM\n";
    StartHost({"--config", file});
    const std::string port = std::to_string(finstest::TestPort());
    const finstest::ProgramResult info = finstest::RunProgram("fins", {"info", "--port", port});
    EXPECT_EQ(0, info.exitCode) << info.err;
    EXPECT_NE(std::string::npos, info.out.find("model: Line 3 press\n")) << info.out;

    FinsTestClient client;
    ASSERT_TRUE(client.ConnectTcp(finstest::TestPort(), finstest::kDefaultTimeoutMs, kAllowed));
    ASSERT_TRUE(client.Handshake(0));
    EXPECT_EQ(0x2101, client.WriteWords(finstest::kDmWord, 10, {7}).code);
    const finstest::FinsResult dm = client.ReadWords(finstest::kDmWord, 10, 1);
    EXPECT_EQ(finstest::kRespOk, dm.code);
    EXPECT_EQ(std::vector<uint16_t>{0}, finstest::WireToWords(dm.data));
    EXPECT_EQ(finstest::kRespOk, client.WriteWords(finstest::kCioWord, 10, {7}).code);

    FinsTestClient stranger;
    ASSERT_TRUE(stranger.ConnectTcp(finstest::TestPort(), finstest::kDefaultTimeoutMs, kStranger));
    EXPECT_TRUE(stranger.WaitClosed(finstest::kDefaultTimeoutMs));
    ASSERT_TRUE(stranger.OpenUdp(finstest::TestPort(), INADDR_LOOPBACK, kStranger));
    EXPECT_FALSE(stranger.ReadWords(finstest::kDmWord, 0, 1).answered);

    EXPECT_TRUE(host->WaitForLog("127.0.0.2 not in the allow list", 2, kReadyTimeoutMs))
        << host->Log();
    EXPECT_EQ(1, host->CountLog("write into a read-only area refused"));
}

} // namespace
