// FINS/UDP through the running loop on 127.0.0.1, and the endpoint's write path.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tests/net/NetHarness.h"

namespace {

// The largest UDP payload IPv4 carries (65535 minus the IP and UDP headers).
constexpr size_t kLargestIpv4Datagram = 65507;

class UdpLoop : public ::testing::Test
{
protected:
    FakeLogger log;
    AppMemory mem;
    LoopHarness h;
};

// Regression: responses went to whichever peer had sent the latest datagram, not to the sender
// of the request they answer.
TEST_F(UdpLoop, TwoInterleavedClientsEachReceiveExactlyTheirOwnResponses)
{
    const int a = OpenUdp();
    const int b = OpenUdp();
    constexpr int kEach = 100;
    for (int i = 0; i < kEach; ++i) {
        const auto sid = static_cast<uint8_t>(i);
        ASSERT_TRUE(SendTo(a, h.udpPort, DmReadFins(sid, static_cast<uint16_t>(i), 3)));
        ASSERT_TRUE(SendTo(b, h.udpPort, DmReadFins(sid, static_cast<uint16_t>(5000 + i), 3)));
    }
    for (int i = 0; i < kEach; ++i) {
        const auto sid = static_cast<uint8_t>(i);
        std::string got;
        ASSERT_TRUE(RecvDatagram(a, got));
        EXPECT_EQ(DmReadReplyFins(sid, static_cast<uint16_t>(i), 3), got) << i;
        ASSERT_TRUE(RecvDatagram(b, got));
        EXPECT_EQ(DmReadReplyFins(sid, static_cast<uint16_t>(5000 + i), 3), got) << i;
    }
    EXPECT_TRUE(Quiet(a, 100));
    EXPECT_TRUE(Quiet(b, 0));
    close(a);
    close(b);
}

TEST_F(UdpLoop, EmptyDatagramGetsNoReplyAndTheNextOneIsServed)
{
    const int fd = OpenUdp();
    ASSERT_TRUE(SendTo(fd, h.udpPort, ""));
    ASSERT_TRUE(SendTo(fd, h.udpPort, DmReadFins(3, 30, 2)));
    std::string got;
    ASSERT_TRUE(RecvDatagram(fd, got));
    EXPECT_EQ(DmReadReplyFins(3, 30, 2), got);
    EXPECT_TRUE(Quiet(fd, 100));
    close(fd);
}

TEST_F(UdpLoop, LargestDatagramReachesTheProtocolWhole)
{
    // A DM bit write whose count matches its data only if every byte arrived.
    const auto bits = static_cast<uint16_t>(kLargestIpv4Datagram - 18);
    std::string fins = DmReadFins(4, 0, bits);
    fins[11] = 2;    // memory area write
    fins[12] = 0x02; // DM bits
    fins += std::string(bits, '\0');
    ASSERT_EQ(kLargestIpv4Datagram, fins.size());
    const int fd = OpenUdp();
    ASSERT_TRUE(SendTo(fd, h.udpPort, fins));
    std::string got;
    ASSERT_TRUE(RecvDatagram(fd, got));
    ASSERT_EQ(14u, got.size());
    EXPECT_EQ(std::string("\x01\x02\x00\x00", 4), got.substr(10)); // write, completed normally
    close(fd);
}

class UdpEndpoint : public ::testing::Test
{
protected:
    FakeLogger log;
    AppMemory mem;
    LoopHarness h{false};
};

// Responses written together (one multi-datagram send) each reach the sender they answer, in
// order, also past a datagram that cannot be sent: that one is logged and dropped, and the ones
// behind it wait for it, then go out, each from the local address its request arrived at.
// Regression: every failed send was taken for a full socket, so a datagram that can never be sent
// (port 0 here, as a forged source gives) waited for the writer thread and held the endpoint's
// later responses behind it. It is now dropped at once, and the others leave in the same pass.
TEST_F(UdpEndpoint, DatagramsSentTogetherKeepOrderAndDestinationsPastAFailedOne)
{
    const int one = OpenUdp();
    const int two = OpenUdp();
    CSocketConnection* conn = EventLoopTestPeer::recordOf(*h.loop, h.udp->get_listen_sock());
    ASSERT_NE(nullptr, conn);
    // The record's own peerAddr names a client, as after its latest datagram: each block must
    // still go to its own destination.
    const sockaddr_in latest = LocalAddr(one);
    std::memcpy(&conn->peerAddr, &latest, sizeof(latest));
    // Each from its own local address, as each request arrived at one; -1: no datagram can be sent
    // to port 0.
    const struct
    {
        const char* payload;
        int to;
        uint32_t from;
    } blocks[] = {{"a1", one, 0x7F000002},
                  {"b2", two, 0x7F000003},
                  {"lost", -1, 0x7F000001},
                  {"a3", one, 0x7F000001},
                  {"b4", two, 0x7F000002}};
    for (const auto& b : blocks) {
        char* block = MakeSendBlock(conn, b.payload);
        conn->iBacklog.fetch_sub(1); // msg_send counts it
        auto* header = SockMsgHeaderOf(block);
        header->peerAddr = LocalAddr(b.to != -1 ? b.to : one);
        if (b.to == -1) {
            header->peerAddr.sin_port = 0;
        }
        header->localAddr.s_addr = htonl(b.from);
        h.loop->msg_send(block);
    }
    ASSERT_TRUE(EventLoopTestPeer::sendPass(*h.loop));
    EXPECT_EQ(0, conn->iWritePending.load());
    EXPECT_EQ(nullptr, conn->pSendBlock);
    for (const auto& b : blocks) {
        if (b.to == -1) {
            continue; // dropped
        }
        char buf[16];
        sockaddr_in src{};
        socklen_t len = sizeof(src);
        const ssize_t n =
            recvfrom(b.to, buf, sizeof(buf), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&src), &len);
        ASSERT_GT(n, 0) << b.payload;
        EXPECT_EQ(b.payload, std::string(buf, static_cast<size_t>(n)));
        EXPECT_EQ(b.from, ntohl(src.sin_addr.s_addr)) << b.payload;
    }
    EXPECT_TRUE(Quiet(one, 50));
    EXPECT_TRUE(Quiet(two, 0));
    EXPECT_EQ(1, log.countContaining("sendto error:Invalid argument"));
    EXPECT_EQ(0, conn->iWritePending.load());
    EXPECT_EQ(0, conn->iBacklog.load());
    EXPECT_EQ(0u, EventLoopTestPeer::blocksFor(*h.loop, conn));
    close(one);
    close(two);
}

// A receive takes several datagrams at once, but never more than the record may still answer
// before its backlog pauses it; the rest stay in the socket, in order.
TEST_F(UdpEndpoint, OneReceiveTakesNoMoreDatagramsThanTheBacklogHasRoomFor)
{
    CSocketConnection* conn = EventLoopTestPeer::recordOf(*h.loop, h.udp->get_listen_sock());
    ASSERT_NE(nullptr, conn);
    const int fd = OpenUdp();
    constexpr int kRoom = kRecvBatch - 1;         // the backlog, not the batch, is the limit
    constexpr int kSent = kRoom + kRecvBatch - 1; // the rest fits one receive
    for (int i = 0; i < kSent; ++i) {
        ASSERT_TRUE(SendTo(fd, h.udpPort, DmReadFins(static_cast<uint8_t>(i), i, 1)));
    }
    conn->iBacklog.store(kBacklogPauseBlocks - kRoom);
    ASSERT_EQ(0, h.udp->sock_read_request_handler(conn));
    EXPECT_FALSE(conn->bRecvDrained);
    std::vector<std::string> replies = EventLoopTestPeer::takeQueued(*h.loop);
    EXPECT_EQ(static_cast<size_t>(kRoom), replies.size());
    conn->iBacklog.store(0);
    ASSERT_EQ(0, h.udp->sock_read_request_handler(conn));
    EXPECT_TRUE(conn->bRecvDrained);
    const std::vector<std::string> rest = EventLoopTestPeer::takeQueued(*h.loop);
    replies.insert(replies.end(), rest.begin(), rest.end());
    ASSERT_EQ(static_cast<size_t>(kSent), replies.size());
    for (int i = 0; i < kSent; ++i) {
        EXPECT_EQ(DmReadReplyFins(static_cast<uint8_t>(i), i, 1), replies[i]) << i;
    }
    EXPECT_EQ(-1, h.udp->sock_read_request_handler(conn)); // nothing left
    close(fd);
}

} // namespace
