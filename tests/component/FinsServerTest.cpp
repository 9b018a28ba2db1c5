// The server as the application events drive it on 127.0.0.1:9600: a download done stops a running
// loop before the memory is looked up anew, a reset prepare leaves clients served, and hook 12
// shuts down in an order that keeps the protocol alive until the loop's threads have ended.
#include "component/FinsServer.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/CmpImports.h"
#include "fins/FinsProtocol.h"
#include "tests/component/ComponentFixture.h"
#include "tests/support/FinsTestClient.h"
#include "tests/support/HostProcess.h"
#include "tests/utility/TempDir.h"
#include "utility/Singleton.h"

namespace {

constexpr int kShortWaitMs = 700; // long enough for a running loop to answer on loopback
constexpr uint32_t kMemoryBytes = 256;
constexpr uint32_t kLargeBytes = 4096;
constexpr int kShrinks = 4;

class FinsServerTest : public ComponentFixture
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(WaitPortFree(kFinsPort, kPortBusyTimeoutMs))
            << "another process serves port 9600";
        UseMemory(memoryA);
        ASSERT_EQ(Hook(CH_INIT_HOOK), 0);
    }

    void TearDown() override { (void)Hook(CH_EXIT_HOOK); }

    void UseMemory(std::vector<uint8_t>& memory)
    {
        memory.assign(kMemoryBytes, 0);
        app.setSegment(APP_SEGMENT_MEMORY, memory.data(), kMemoryBytes);
    }

    static bool Served()
    {
        FinsTestClient client;
        return client.ConnectTcp(kFinsPort, kShortWaitMs) && client.Handshake(0);
    }

    // Position of the first log text containing `part` at or after `from`; -1 if none.
    int Find(const std::string& part, int from = 0) const
    {
        std::vector<std::string> texts = logger.texts();
        for (int i = from; i < static_cast<int>(texts.size()); ++i) {
            if (texts[i].find(part) != std::string::npos) {
                return i;
            }
        }
        return -1;
    }

    std::vector<uint8_t> memoryA;
    std::vector<uint8_t> memoryB;
};

// Regressions: a download done while a loop still ran replaced the loop without stopping it, so
// its threads kept serving endpoints that had been released; and a download done without a
// prepare looked the memory up while the old loop still served, so its reader could pair a
// segment's old size with the new, smaller segment. A client works at the end of the large
// segment while downloads shrink and grow it (ASan watches); each time the old loop ends before
// the memory is looked up and the new endpoints are built, and the new loop serves.
TEST_F(FinsServerTest, DownloadDoneWhileRunningStopsTheLoopBeforeTheMemoryIsLookedUp)
{
    std::vector<uint8_t> large(kLargeBytes);
    app.setSegment(APP_SEGMENT_MEMORY, large.data(), kLargeBytes);
    runtime.post(EVT_DownloadDone);
    ASSERT_TRUE(Served());
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::thread client([&] {
        constexpr uint16_t kLastWord = kLargeBytes / 2 - 1;
        while (!stop.load()) {
            FinsTestClient c;
            while (!stop.load() && c.ConnectTcp(kFinsPort, kShortWaitMs) &&
                   c.WriteWords(kDmWord, kLastWord, {0x5A5A}).answered &&
                   c.ReadWords(kDmWord, kLastWord, 1).answered) {
                answered.fetch_add(1);
            }
        }
    });
    for (int i = 0; i < kShrinks; ++i) {
        const int before = answered.load();
        for (int waited = 0; answered.load() == before && waited < kShortWaitMs; waited += 10) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (i % 2 == 0) {
            UseMemory(memoryB);
        } else {
            app.setSegment(APP_SEGMENT_MEMORY, large.data(), kLargeBytes);
        }
        logger.clear();
        runtime.post(EVT_DownloadDone);
        const int stopped = Find("eventloop all thread stop success");
        ASSERT_GE(stopped, 0) << "the running loop was not stopped";
        EXPECT_LT(stopped, Find(",M:")) << "the memory was looked up under a running loop";
        EXPECT_LT(stopped, Find("tcp server is running")) << "new endpoints beside the old loop";
    }
    EXPECT_TRUE(Served());
    stop.store(true);
    client.join();
    EXPECT_GT(answered.load(), 0);
}

TEST_F(FinsServerTest, ResetPrepareKeepsClientsConnectedAndServed)
{
    runtime.post(EVT_DownloadDone);
    FinsTestClient client;
    ASSERT_TRUE(client.ConnectTcp());
    ASSERT_TRUE(client.Handshake(0));
    runtime.post(EVT_ResetPrepare);
    FinsResult r = client.ReadWords(kDmWord, 0, 1);
    ASSERT_TRUE(r.answered);
    EXPECT_EQ(r.code, kRespOk);
}

// Regressions: an allow whose every entry was unreadable admitted everyone, and a re-download that
// could not read the settings file read before fell back to the open built-in settings.
TEST_F(FinsServerTest, AnUnreadableAllowAdmitsNoOneAndStaysWhenTheFileIsGone)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.file("DrvFins.ini");
    std::ofstream(path) << "[access]\nallow = nohost\n";
    setenv(kEnvSettingsFile, path.c_str(), 1);
    runtime.post(EVT_DownloadDone);
    EXPECT_FALSE(Served()) << "an allow with no readable entry admitted a client";
    EXPECT_EQ(unlink(path.c_str()), 0);
    runtime.post(EVT_DownloadPrepare);
    runtime.post(EVT_DownloadDone);
    unsetenv(kEnvSettingsFile);
    EXPECT_GE(Find("the settings read at the last download stay in force"), 0);
    EXPECT_FALSE(Served()) << "a re-download without the file opened access";
}

// Records, at the moment the loop reports its threads stopped, whether the protocol still exists.
std::atomic<int> s_protocolAliveAtStop{-1};
PF_LOGADD s_forwardLogAdd = nullptr;

RTS_RESULT WatchingLogAdd(RTS_HANDLE h, uint32_t cmp, uint32_t cls, uint32_t err, uint32_t inf,
                          const char* text, ...)
{
    if (strstr(text, "eventloop all thread stop success") != nullptr) {
        s_protocolAliveAtStop = utility::Singleton<CFinsProtocol>::exists() ? 1 : 0;
    }
    return s_forwardLogAdd(h, cmp, cls, err, inf, text);
}

// Regression: hook 12 destroyed the protocol object while the reader thread could still be in it.
TEST_F(FinsServerTest, Hook12StopsTheServerBeforeTheProtocolIsDestroyedAndFreesThePort)
{
    // Installed before the loop's threads exist and restored after they have ended.
    s_forwardLogAdd = pfLogAdd;
    pfLogAdd = &WatchingLogAdd;
    runtime.post(EVT_DownloadDone);
    {
        FinsTestClient reader;
        ASSERT_TRUE(reader.ConnectTcp());
        ASSERT_TRUE(reader.ReadWords(kDmWord, 0, 1).answered);
    }
    ASSERT_TRUE(utility::Singleton<CFinsProtocol>::exists());

    ASSERT_EQ(Hook(CH_EXIT_HOOK), 0);
    pfLogAdd = s_forwardLogAdd;
    EXPECT_EQ(s_protocolAliveAtStop.load(), 1);
    EXPECT_FALSE(utility::Singleton<CFinsProtocol>::exists());
    EXPECT_FALSE(utility::Singleton<CFinsServer>::exists());
    FinsTestClient client;
    EXPECT_FALSE(client.ConnectTcp(kFinsPort, kShortWaitMs)) << "listener closed";
}

// A socket of the given type holding 127.0.0.1:port (0: an ephemeral one); -1 if it cannot.
int TakePort(int type, uint16_t port)
{
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in addr = LoopbackAddr(port);
    const bool held = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
                      (type == SOCK_DGRAM || listen(fd, 1) == 0);
    return held ? fd : (close(fd), -1);
}

// Regressions: with the TCP port taken and UDP served, initServer reported success; and a port
// taken for both transports logged two bind lines that differed only by a colon.
TEST(FinsServerEndpoints, AnEndpointThatCannotOpenFailsTheInitAndATakenPortLogsOneLine)
{
    const struct
    {
        bool tcpTaken, udpTaken;
        const char* line; // the one bind line
    } cases[] = {{true, false, "bind error:Address already in use"},
                 {false, true, "bind error Address already in use"},
                 {true, true, "bind error:Address already in use"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "TCP taken " << c.tcpTaken << ", UDP " << c.udpTaken);
        FakeLogger log;
        const int tcp = TakePort(SOCK_STREAM, 0);
        FinsSettings settings;
        settings.bindAddr = "127.0.0.1";
        settings.port = ntohs(LocalAddr(tcp).sin_port);
        const int udp = c.udpTaken ? TakePort(SOCK_DGRAM, settings.port) : -1;
        ASSERT_EQ(c.udpTaken, udp != -1);
        if (!c.tcpTaken) {
            close(tcp);
        }
        CFinsServer server;
        EXPECT_EQ(-1, server.initServer(settings));
        EXPECT_EQ(1, log.countContaining("bind error"));
        EXPECT_EQ(1, log.count(c.line));
        close(c.tcpTaken ? tcp : -1);
        close(udp);
    }
}

} // namespace
