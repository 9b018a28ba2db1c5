// FINS/UDP through the running loop on 127.0.0.1, and the endpoint's write path.
#include <gtest/gtest.h>

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "tests/net/NetHarness.h"

namespace {

// The largest UDP payload IPv4 carries (65535 minus the IP and UDP headers).
constexpr size_t kLargestIpv4Datagram = 65507;

sockaddr_in PortAddr(int fd)
{
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    return addr;
}

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

// Regression: the endpoint had no write handler, so a datagram that sendto could not send was
// never retried and its writability event called an unset handler.
TEST_F(UdpEndpoint, WriteHandlerSendsTheBlocksOwnDestinationAndEndsTheRegistration)
{
    const int target = OpenUdp();
    const int other = OpenUdp();
    CSocketConnection* conn = EventLoopTestPeer::recordOf(*h.loop, h.udp->get_listen_sock());
    ASSERT_NE(nullptr, conn);
    // The record's own peerAddr names another client, as after a later datagram.
    const sockaddr_in otherAddr = PortAddr(other);
    std::memcpy(&conn->peerAddr, &otherAddr, sizeof(otherAddr));
    char* block = MakeSendBlock(conn, "datagram");
    reinterpret_cast<_SockMsgHeader*>(block)->peerAddr = PortAddr(target);
    conn->pSendBlock = block;
    conn->pSendPos = SockMsgPayload(block);
    conn->iSendLeft = 8;
    conn->iWritePending.store(1);
    const int wr = h.loop->get_write_epoll_fd();
    ASSERT_EQ(0, h.loop->epoll_oper_event(wr, conn->fd.load(), EPOLL_CTL_ADD, EPOLLOUT,
                                          EPOLL_MODE_ADD, conn));
    EXPECT_EQ(0, h.loop->epoll_process_event(wr, 0));
    std::string got;
    ASSERT_TRUE(RecvDatagram(target, got));
    EXPECT_EQ("datagram", got);
    EXPECT_TRUE(Quiet(other, 50));
    EXPECT_EQ(0, conn->iWritePending.load());
    EXPECT_EQ(nullptr, conn->pSendBlock);
    EXPECT_EQ(0, conn->iBacklog.load());
    EXPECT_EQ(0, h.loop->epoll_process_event(wr, 0)); // no registration is left to fire
    epoll_event ev{};
    EXPECT_EQ(-1, epoll_ctl(wr, EPOLL_CTL_DEL, conn->fd.load(), &ev));
    EXPECT_TRUE(EventLoopTestPeer::heldReady(*h.loop));
    close(target);
    close(other);
}

TEST_F(UdpEndpoint, SendWithoutACurrentBlockHasNoDestinationAndFails)
{
    CSocketConnection* conn = EventLoopTestPeer::recordOf(*h.loop, h.udp->get_listen_sock());
    ASSERT_NE(nullptr, conn);
    char data[4] = {};
    EXPECT_EQ(-2, h.udp->sendproc(conn, data, sizeof(data)));
}

} // namespace
