// The settings file in force through runtime-host --config, on a port of its own: the controller
// admits two client addresses only and keeps DM read-only, and the log shows every refusal.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/e2e/E2eFixture.h"
#include "tests/utility/TempDir.h"

namespace {

using finstest::FinsTestClient;

constexpr uint16_t kSettingsPort = 9611;
constexpr uint32_t kAllowed = 0x7F000001;  // 127.0.0.1
constexpr uint32_t kStranger = 0x7F000002; // 127.0.0.2, not in the list

class SettingsTest : public E2eTest
{};

TEST_F(SettingsTest, AllowListAndReadOnlyDmRefuseAndLogEachRequest)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string file = dir.file("DrvFins.ini");
    std::ofstream(file) << "[server]\nport = " << kSettingsPort
                        << "\n[access]\nallow = 127.0.0.1, 127.0.0.3\nread_only = DM\n";
    ASSERT_TRUE(finstest::WaitPortFree(kSettingsPort, kPortBusyTimeoutMs));
    host = std::make_unique<finstest::HostProcess>(std::vector<std::string>{"--config", file});
    ASSERT_TRUE(host->Start());
    ASSERT_TRUE(host->WaitReady(kReadyTimeoutMs, kSettingsPort)) << host->Log();

    FinsTestClient client;
    ASSERT_TRUE(client.ConnectTcp(kSettingsPort, finstest::kDefaultTimeoutMs, kAllowed));
    ASSERT_TRUE(client.Handshake(0));
    EXPECT_EQ(0x2101, client.WriteWords(finstest::kDmWord, 10, {7}).code);
    const finstest::FinsResult dm = client.ReadWords(finstest::kDmWord, 10, 1);
    EXPECT_EQ(finstest::kRespOk, dm.code);
    EXPECT_EQ(std::vector<uint16_t>{0}, finstest::WireToWords(dm.data));
    EXPECT_EQ(finstest::kRespOk, client.WriteWords(finstest::kCioWord, 10, {7}).code);

    FinsTestClient stranger;
    ASSERT_TRUE(stranger.ConnectTcp(kSettingsPort, finstest::kDefaultTimeoutMs, kStranger));
    EXPECT_TRUE(stranger.WaitClosed(finstest::kDefaultTimeoutMs));
    ASSERT_TRUE(stranger.OpenUdp(kSettingsPort, INADDR_LOOPBACK, kStranger));
    EXPECT_FALSE(stranger.ReadWords(finstest::kDmWord, 0, 1).answered);

    EXPECT_TRUE(host->WaitForLog("127.0.0.2 not in the allow list", 2, kReadyTimeoutMs))
        << host->Log();
    EXPECT_EQ(1, host->CountLog("write into a read-only area refused"));
}

} // namespace
