// The access rules of the servers on real sockets: the allow list over TCP and UDP, the connection
// limits and the idle timeout; and the protocol's write-allow list. 127.0.0.2 plays a second
// client.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <vector>

#include "fins/FinsPolicy.h"
#include "fins/FinsProtocol.h"
#include "tests/net/NetHarness.h"
#include "utility/Singleton.h"

namespace {

constexpr uint32_t kFirst = 0x7F000001;  // 127.0.0.1
constexpr uint32_t kSecond = 0x7F000002; // 127.0.0.2

// A started loop whose servers enforce `access`.
std::unique_ptr<LoopHarness> StartWith(const ServerAccess& access)
{
    auto h = std::make_unique<LoopHarness>(false);
    h->tcp->set_access(access);
    h->udp->set_access(access);
    h->loop->event_start(0);
    return h;
}

// A read on an open connection is answered (the node bytes depend on the client's address).
bool Served(int fd, uint8_t sid = 7)
{
    std::string got;
    return fd != -1 && SendAll(fd, DmReadTcp(sid, 0, 4)) &&
           RecvExact(fd, DmReadReplyTcp(sid, 0, 4).size(), got);
}

TEST(Access, AllowListAdmitsOnlyItsClientsOverTcpAndUdp)
{
    const struct
    {
        const char* allow;
        uint32_t client;
        bool admitted;
    } cases[] = {
        {"", kSecond, true},
        {"127.0.0.1", kFirst, true},
        {"127.0.0.1", kSecond, false},
        {"127.0.0.0/30", kSecond, true},
        {"10.0.0.0/8, 127.0.0.1", kSecond, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.allow << " from " << std::hex << c.client);
        FakeLogger log;
        AppMemory mem;
        ServerAccess access;
        ASSERT_TRUE(access.allow.Parse(c.allow).empty());
        auto h = StartWith(access);
        const int tcp = ConnectTcp(h->tcpPort, 0, c.client);
        EXPECT_TRUE(c.admitted ? Served(tcp) : WaitPeerClose(tcp));
        close(tcp);
        const int udp = OpenUdp(c.client);
        ASSERT_TRUE(SendTo(udp, h->udpPort, DmReadFins(3, 0, 4)));
        std::string reply;
        EXPECT_EQ(c.admitted, RecvDatagram(udp, reply, c.admitted ? kWaitMs : 300));
        close(udp);
        const int refusals = c.admitted ? 0 : 2;
        EXPECT_TRUE(WaitUntil([&] { return log.countContaining("allow list") == refusals; }));
    }
}

// Refused connections end at once; those already open keep being served; a closed connection
// makes room again.
TEST(Access, ConnectionLimitsRefuseOnlyTheSurplus)
{
    const struct
    {
        uint32_t total;
        uint32_t perClient;
        std::vector<uint32_t> clients; // connected in this order, each kept open
        std::vector<bool> admitted;
        const char* logged; // the refusals' log text
    } cases[] = {
        {2, 0, {kFirst, kSecond, kFirst}, {true, true, false}, "over max_connections ("},
        {0, 1, {kFirst, kFirst, kSecond}, {true, false, true}, "max_connections_per_client"},
        {3,
         2,
         {kFirst, kFirst, kFirst, kSecond, kSecond},
         {true, true, false, true, false},
         "connection refused"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logged);
        FakeLogger log;
        AppMemory mem;
        ServerAccess access;
        access.maxConnections = c.total;
        access.maxConnectionsPerClient = c.perClient;
        auto h = StartWith(access);
        std::vector<int> fds;
        for (size_t i = 0; i < c.clients.size(); ++i) {
            fds.push_back(ConnectTcp(h->tcpPort, 0, c.clients[i]));
            // Served before the next connects, so the server has counted it.
            EXPECT_TRUE(c.admitted[i] ? Served(fds[i]) : WaitPeerClose(fds[i])) << i;
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            EXPECT_EQ(c.admitted[i], Served(fds[i], 9)) << "still served: " << i;
        }
        EXPECT_EQ(std::count(c.admitted.begin(), c.admitted.end(), false),
                  log.countContaining(c.logged));
        EXPECT_TRUE(WaitUntil([&] {
            close(fds[0]);
            fds[0] = ConnectTcp(h->tcpPort, 0, c.clients[0]);
            return Served(fds[0]);
        })) << "the first client's place is free again";
        std::for_each(fds.begin(), fds.end(), close);
    }
}

TEST(Access, IdleTimeoutClosesOnlySilentConnections)
{
    constexpr int kWatchMs = 2600;
    const struct
    {
        uint32_t timeoutS;
        int sendEveryMs; // 0: silent
        bool closed;
    } cases[] = {{1, 0, true}, {1, 300, false}, {0, 0, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.timeoutS << " s, a request every " << c.sendEveryMs);
        FakeLogger log;
        AppMemory mem;
        ServerAccess access;
        access.idleTimeoutS = c.timeoutS;
        auto h = StartWith(access);
        const int fd = ConnectTcp(h->tcpPort);
        bool closed = false;
        const int step = c.sendEveryMs != 0 ? c.sendEveryMs : kWatchMs;
        for (int waited = 0; waited < kWatchMs && !closed; waited += step) {
            closed = WaitPeerClose(fd, step) || (c.sendEveryMs != 0 && !Served(fd));
        }
        EXPECT_EQ(c.closed, closed);
        EXPECT_EQ(c.closed ? 1 : 0, log.countContaining("idle for"));
        close(fd);
    }
}

// Only the client write_allow names changes memory, over TCP and UDP (the datagram's sender); the
// other's write is refused with 2101 and changes nothing, its reads are served.
TEST(Access, WriteAllowLetsOnlyItsClientsWrite)
{
    FakeLogger log;
    AppMemory mem;
    FinsPolicy policy;
    policy.writersNamed = true;
    ASSERT_TRUE(policy.writeAllow.Parse("127.0.0.1").empty());
    CFinsProtocol& protocol = *utility::Singleton<CFinsProtocol>::instance();
    protocol.SetPolicy(policy); // before the loop's threads start, as the owner does
    auto h = StartWith(ServerAccess{});
    uint16_t value = 0x0A00;
    for (bool tcp : {true, false}) {
        for (uint32_t client : {kSecond, kFirst}) {
            SCOPED_TRACE(testing::Message() << (tcp ? "TCP " : "UDP ") << std::hex << client);
            FinsTestClient c;
            ASSERT_TRUE(tcp ? c.ConnectTcp(h->tcpPort, kWaitMs, client)
                            : c.OpenUdp(h->udpPort, INADDR_LOOPBACK, client));
            const std::string before = c.ReadWords(kDmWord, 5, 1).data;
            EXPECT_EQ(client == kFirst ? kRespOk : 0x2101,
                      c.WriteWords(kDmWord, 5, {++value}).code);
            const FinsResult read = c.ReadWords(kDmWord, 5, 1);
            EXPECT_EQ(kRespOk, read.code);
            EXPECT_EQ(client == kFirst ? Big16(value) : before, read.data);
        }
    }
    h->stopAndDelete();
    protocol.SetPolicy(FinsPolicy{});
    EXPECT_EQ(2, log.countContaining("not in the write allow list"));
}

} // namespace
