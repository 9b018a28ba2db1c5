// A strict client over a UDP socket connected to a second address (127.0.0.2): the host answers
// every datagram from that address, one at a time and in a burst that leaves in one batch, or the
// connected socket drops the reply.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>

#include "tests/support/FinsTestClient.h"
#include "tests/support/HostProcess.h"

namespace {

constexpr uint32_t kSecondLoopback = 0x7F000002; // 127.0.0.2
constexpr uint8_t kSecondNode = 2;
constexpr int kBurst = 8;

using StrictClientTest = HostTest;

TEST_F(StrictClientTest, ConnectedUdpClientOfASecondAddressHearsFromIt)
{
    StartHost();
    FinsTestClient client;
    ASSERT_TRUE(client.OpenUdp(TestPort(), kSecondLoopback));
    sockaddr_in self{};
    socklen_t len = sizeof(self);
    ASSERT_EQ(0, getsockname(client.Fd(), reinterpret_cast<sockaddr*>(&self), &len));
    const auto clientNode = static_cast<uint8_t>(ntohl(self.sin_addr.s_addr) & 0xFF);
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
