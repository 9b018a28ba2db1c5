// The access rules of the servers on real sockets: the allow list over TCP and UDP, the connection
// limits, and the idle timeout. 127.0.0.2 plays a second client.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <vector>

#include "tests/net/NetHarness.h"

namespace {

constexpr const char* kFirst = "127.0.0.1";
constexpr const char* kSecond = "127.0.0.2";
constexpr int kRefusedQuietMs = 300;

// A started loop whose servers enforce `access`.
std::unique_ptr<LoopHarness> StartWith(const ServerAccess& access)
{
    auto h = std::make_unique<LoopHarness>(false);
    h->tcp->set_access(access);
    h->udp->set_access(access);
    h->loop->event_start(0);
    return h;
}

ServerAccess AllowOnly(const char* list)
{
    ServerAccess access;
    EXPECT_TRUE(access.allow.Parse(list).empty());
    return access;
}

// A read on an open connection is answered (the node bytes depend on the client's address).
bool Served(int fd, uint8_t sid = 7)
{
    std::string got;
    return fd != -1 && SendAll(fd, DmReadTcp(sid, 0, 4)) &&
           RecvExact(fd, DmReadReplyTcp(sid, 0, 4).size(), got);
}

struct AllowCase
{
    const char* allow;
    const char* client;
    bool admitted;
};

TEST(Access, AllowListAdmitsOnlyItsClientsOverTcpAndUdp)
{
    const AllowCase cases[] = {
        {"", kSecond, true},
        {"127.0.0.1", kFirst, true},
        {"127.0.0.1", kSecond, false},
        {"127.0.0.0/30", kSecond, true},
        {"10.0.0.0/8, 127.0.0.1", kSecond, false},
    };
    for (const AllowCase& c : cases) {
        SCOPED_TRACE(std::string(c.allow) + " from " + c.client);
        FakeLogger log;
        AppMemory mem;
        auto h = StartWith(AllowOnly(c.allow));
        const int tcp = ConnectTcp(h->tcpPort, 0, c.client);
        ASSERT_NE(-1, tcp);
        if (c.admitted) {
            EXPECT_TRUE(Served(tcp));
        } else {
            EXPECT_TRUE(WaitPeerClose(tcp));
        }
        close(tcp);
        const int udp = OpenUdp(c.client);
        ASSERT_NE(-1, udp);
        ASSERT_TRUE(SendTo(udp, h->udpPort, DmReadFins(3, 0, 4)));
        std::string reply;
        EXPECT_EQ(c.admitted, RecvDatagram(udp, reply, c.admitted ? kWaitMs : kRefusedQuietMs));
        close(udp);
        const int refusals = c.admitted ? 0 : 2;
        EXPECT_TRUE(
            WaitUntil([&] { return log.countContaining("not in the allow list") >= refusals; }));
        EXPECT_EQ(refusals, log.countContaining("not in the allow list"));
    }
}

struct LimitCase
{
    const char* name;
    uint32_t total;
    uint32_t perClient;
    std::vector<const char*> clients; // connected in this order, each kept open
    std::vector<bool> admitted;
    const char* logged; // the refusal's log text
};

// Refused connections end at once; those already open keep being served; a closed connection
// makes room again.
TEST(Access, ConnectionLimitsRefuseOnlyTheSurplus)
{
    const LimitCase cases[] = {
        {"total", 2, 0, {kFirst, kSecond, kFirst}, {true, true, false}, "over max_connections ("},
        {"per client",
         0,
         1,
         {kFirst, kFirst, kSecond},
         {true, false, true},
         "over max_connections_per_client"},
        {"both",
         3,
         2,
         {kFirst, kFirst, kFirst, kSecond, kSecond},
         {true, true, false, true, false},
         "connection refused"},
    };
    for (const LimitCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeLogger log;
        AppMemory mem;
        ServerAccess access;
        access.maxConnections = c.total;
        access.maxConnectionsPerClient = c.perClient;
        auto h = StartWith(access);
        std::vector<int> fds;
        for (size_t i = 0; i < c.clients.size(); ++i) {
            fds.push_back(ConnectTcp(h->tcpPort, 0, c.clients[i]));
            ASSERT_NE(-1, fds.back());
            // Served before the next connects, so the server has counted it.
            EXPECT_TRUE(c.admitted[i] ? Served(fds[i]) : WaitPeerClose(fds[i]));
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            EXPECT_EQ(c.admitted[i], Served(fds[i], 9)) << "connection " << i;
        }
        const auto refused = std::count(c.admitted.begin(), c.admitted.end(), false);
        EXPECT_EQ(refused, log.countContaining(c.logged));
        // Closing the first connection makes room for its client again.
        close(fds[0]);
        EXPECT_TRUE(WaitUntil([&] {
            const int fd = ConnectTcp(h->tcpPort, 0, c.clients[0]);
            const bool ok = Served(fd);
            fds[0] = fd;
            if (!ok && fd != -1) {
                close(fd);
            }
            return ok;
        }));
        for (int fd : fds) {
            close(fd);
        }
    }
}

struct IdleCase
{
    const char* name;
    uint32_t timeoutS;
    int sendEveryMs; // 0: silent
    bool closed;
};

TEST(Access, IdleTimeoutClosesOnlySilentConnections)
{
    constexpr int kWatchMs = 2600;
    const IdleCase cases[] = {
        {"silent, timeout 1 s", 1, 0, true},
        {"a request every 300 ms, timeout 1 s", 1, 300, false},
        {"silent, no timeout", 0, 0, false},
    };
    for (const IdleCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeLogger log;
        AppMemory mem;
        ServerAccess access;
        access.idleTimeoutS = c.timeoutS;
        auto h = StartWith(access);
        const int fd = ConnectTcp(h->tcpPort);
        ASSERT_NE(-1, fd);
        bool closed = false;
        const int step = c.sendEveryMs != 0 ? c.sendEveryMs : kWatchMs;
        for (int waited = 0; waited < kWatchMs && !closed; waited += step) {
            closed = WaitPeerClose(fd, step);
            if (!closed && c.sendEveryMs != 0) {
                EXPECT_TRUE(Served(fd));
            }
        }
        EXPECT_EQ(c.closed, closed);
        EXPECT_EQ(c.closed ? 1 : 0, log.countContaining("idle for"));
        close(fd);
    }
}

} // namespace
