// A client as strict as the strictest in use: every command the server answers, over FINS/TCP with
// node 0 asked of the handshake and over a UDP socket connected to a second address (127.0.0.2).
// Each response must carry ICF = request ICF | 0x40, DA1 = the client's node, SA1 = the server's,
// the request's SID and command, and exactly the length the command's layout gives.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "tests/support/FinsTestClient.h"
#include "tests/support/HostProcess.h"

namespace {

constexpr uint32_t kSecondLoopback = 0x7F000002; // 127.0.0.2
constexpr uint8_t kIcfResponseBit = 0x40;
constexpr size_t kHeaderAndCodes = 14; // FINS header, command code, response code

struct StrictCase
{
    const char* name;
    uint16_t command;
    const char* params; // hex
    uint16_t code;
    size_t dataLen; // bytes behind the response code
};

const StrictCase kCases[] = {
    {"read 3 DM words", 0x0101, "82 00 64 00 00 03", 0x0000, 6},
    {"write a DM word", 0x0102, "82 00 64 00 00 01 12 34", 0x0000, 0},
    {"fill 4 DM words", 0x0103, "82 00 C8 00 00 04 AB CD", 0x0000, 0},
    {"multiple read of a word and a bit", 0x0104, "82 00 64 00 02 00 64 03", 0x0000, 3 + 2},
    {"transfer 4 DM words", 0x0105, "82 00 C8 00 82 01 2C 00 00 04", 0x0000, 0},
    {"controller data read", 0x0501, "", 0x0000, 158},
    {"controller data read, first part", 0x0501, "00", 0x0000, 92},
    {"controller data read, last part", 0x0501, "01", 0x0000, 66},
    {"status", 0x0601, "", 0x0000, 26},
    {"clock", 0x0701, "", 0x0000, 7},
    {"run is refused", 0x0401, "", 0x1004, 0},
};

class StrictClientTest : public HostTest
{
protected:
    // Runs every case; the request carries gateway count 7 and the given nodes.
    void RunCases(FinsTestClient& client, uint8_t serverNode, uint8_t clientNode)
    {
        uint8_t sid = 0x20;
        for (const StrictCase& c : kCases) {
            SCOPED_TRACE(c.name);
            ++sid;
            const std::string request = Hex("80 00 07 00") + static_cast<char>(serverNode) +
                                        Hex("00 00") + static_cast<char>(clientNode) + '\0' +
                                        static_cast<char>(sid) + Big16(c.command) + Hex(c.params);
            std::string response;
            ASSERT_TRUE(client.Exchange(request, response));
            ASSERT_EQ(kHeaderAndCodes + c.dataLen, response.size());
            EXPECT_EQ(0x80 | kIcfResponseBit, static_cast<uint8_t>(response[0]));
            EXPECT_EQ(clientNode, static_cast<uint8_t>(response[4])) << "DA1";
            EXPECT_EQ(serverNode, static_cast<uint8_t>(response[7])) << "SA1";
            EXPECT_EQ(sid, static_cast<uint8_t>(response[9]));
            EXPECT_EQ(c.command, Be16(response, 10));
            EXPECT_EQ(c.code, Be16(response, 12));
        }
    }
};

TEST_F(StrictClientTest, TcpClientAskingForNode0GetsItsNodeInEveryResponse)
{
    StartHost();
    FinsTestClient client;
    ASSERT_TRUE(client.ConnectTcp());
    std::string reply;
    ASSERT_TRUE(client.Handshake(0, &reply));
    ASSERT_EQ(ToHex(Hex("46494E53 00000010 00000001 00000000 00000001 00000001")), ToHex(reply))
        << "client node: the last field of 127.0.0.1; server node 1";
    RunCases(client, 1, 1);
}

TEST_F(StrictClientTest, ConnectedUdpClientOfASecondAddressHearsFromIt)
{
    StartHost();
    FinsTestClient client;
    ASSERT_TRUE(client.OpenUdp(TestPort(), kSecondLoopback));
    sockaddr_in self{};
    socklen_t len = sizeof(self);
    ASSERT_EQ(0, getsockname(client.Fd(), reinterpret_cast<sockaddr*>(&self), &len));
    const auto clientNode = static_cast<uint8_t>(ntohl(self.sin_addr.s_addr) & 0xFF);
    RunCases(client, 0x02, clientNode);
    // A burst leaves in one batch; every reply must still come from 127.0.0.2, or the connected
    // socket drops it.
    constexpr int kBurst = 8;
    for (int i = 0; i < kBurst; ++i) {
        ASSERT_TRUE(SendAll(client.Fd(),
                            FinsHeader(0x0101, i, 2, clientNode) + AreaCommand(kDmWord, 0, 0, 1)));
    }
    for (int i = 0; i < kBurst; ++i) {
        std::string response;
        ASSERT_TRUE(RecvDatagram(client.Fd(), response)) << "reply " << i;
        EXPECT_EQ(16u, response.size());
    }
}

} // namespace
