// Write protection of CIO inputs, CIO outputs and DM, and of memory from clients other than the
// named writers, as the component hands it to the protocol, for every command that writes; and
// the log of writes. (The model text is shown end to end by the e2e tests.)
#include "fins/FinsPolicy.h"

#include <chrono>
#include <thread>

#include "base/LogLimiter.h"

#include "tests/fins/ProtocolFixture.h"
#include <arpa/inet.h>

namespace {

using FinsPolicyTest = ProtocolFixture;

std::string Words(unsigned int area, unsigned int addr, unsigned int count)
{
    return WriteRequest(area, addr, 0, count, std::string(2 * count, '\x11'));
}

// A refused write changes nothing, is answered 2101 and logged (a few times a second at most);
// reads stay served. The client is 10.0.0.21.
TEST_F(FinsPolicyTest, ProtectedAreasRefuseEveryWrite)
{
    const unsigned in = kReadOnlyCioIn;
    const unsigned out = kReadOnlyCioOut;
    const unsigned dm = kReadOnlyDm;
    const std::string fill = FinsHeader(0x0103);
    const std::string transfer = FinsHeader(0x0105) + Hex("82 0000 00"); // from D0
    const struct
    {
        unsigned readOnly;
        std::string request;
        const char* code;              // response code, hex
        const char* writers = nullptr; // write_allow; nullptr: unset, "": no readable entry
    } cases[] = {
        {dm, Words(0x82, 3, 2), "2101"},
        {dm, fill + Hex("82 0000 00 0005 ABCD"), "2101"},
        {dm, transfer + Hex("82 000A 00 0002"), "2101"},
        {dm, transfer + Hex("B0 8000 00 0002"), "0000"}, // out of DM into outputs
        {in, Words(0xB0, 0x10, 1), "2101"},
        {in, WriteRequest(0x30, 0x7FFF, 15, 1, Hex("01")), "2101"},
        {out, Words(0xB0, 0x8000, 1), "2101"},
        {out, fill + Hex("80 8010 00 0003 ABCD"), "2101"},
        {out, transfer + Hex("B0 801F 00 0001"), "2101"},
        {out, Words(0xB0, 0x7FFF, 1), "0000"},
        {in | out, Words(0x82, 0, 1), "0000"},
        {dm, Words(0x82, 49, 2), "1104"}, // the range is checked first
        {0, fill + Hex("82 0000 00 0032 ABCD"), "0000"},
        {0, Words(0x82, 3, 2), "0000", "10.0.0.40, 10.0.0.16/28"},
        {0, Words(0x82, 3, 2), "2101", "10.0.0.40"},
        {0, fill + Hex("B0 0010 00 0003 ABCD"), "2101", "10.0.0.40"},
        {0, transfer + Hex("B0 8000 00 0002"), "2101", "10.0.0.40"},
        {0, Words(0x82, 3, 2), "2101", ""},
        {0, Words(0x82, 49, 2), "1104", "10.0.0.40"},
    };
    int refusals = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(ToHex(c.request));
        FinsPolicy policy{"", c.readOnly};
        policy.writersNamed = c.writers != nullptr;
        ASSERT_TRUE(policy.writeAllow.Parse(c.writers != nullptr ? c.writers : "").empty());
        protocol.SetPolicy(policy);
        memory.assign(memory.size(), '\x5A'); // every write and transfer changes something
        output.assign(output.size(), 0);
        const std::vector<char> before = AllMemory();
        const std::string code = c.code;
        EXPECT_EQ(ToHex(Reply(ToHex(c.request.substr(10, 2)) + code)),
                  ToHex(Exchange(c.request, true)));
        EXPECT_EQ(code == "0000", before != AllMemory());
        refusals += code == "2101" ? 1 : 0;
        EXPECT_EQ("0000", ToHex(Exchange(ReadRequest(0x82, 0, 0, 1), false).substr(12, 2)));
    }
    const std::string client = std::string("client:") + kPeer;
    const int logged =
        logger.countContaining(client + " write into a read-only area refused (command 01") +
        logger.countContaining(client + " not in the write allow list, write refused (command 01");
    EXPECT_LE(logged, refusals);
    EXPECT_GE(logged, std::min(refusals, static_cast<int>(kLogLimitPeerLines)));
}

// Each write, fill and transfer carried out is one info line naming the client, the items as it
// addressed them and the command; a peer's flood of them is cut to a few lines a second, the rest
// counted in one line.
TEST_F(FinsPolicyTest, LogWritesNamesClientItemsAndCommandWithinTheRateLimit)
{
    FinsPolicy policy;
    policy.logWrites = true;
    protocol.SetPolicy(policy);
    const std::string client = std::string("client:") + kPeer + " wrote ";
    const struct
    {
        std::string request;
        const char* items; // nullptr: nothing written, no line
    } cases[] = {
        {Words(0x82, 3, 3), "D3-D5 (0102)"},
        {WriteRequest(0x02, 3, 15, 2, Hex("01 00")), "D3.15-D4.00 (0102)"},
        {FinsHeader(0x0103) + Hex("B0 8010 00 0001 ABCD"), "CIO32784 (0103)"},
        {FinsHeader(0x0105) + Hex("82 0000 00 80 0010 00 0002"), "CIO16-CIO17 (0105)"},
        {Words(0x82, 5, 0), nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ToHex(c.request));
        logger.clear();
        (void)Exchange(c.request, true);
        using Lines = std::vector<std::string>;
        EXPECT_EQ(c.items != nullptr ? Lines{client + c.items} : Lines{}, logger.texts());
        EXPECT_EQ(c.items != nullptr ? LOG_CLASS_INFO : 0,
                  logger.entries().empty() ? 0 : logger.entries()[0].classId);
    }
    for (unsigned int i = 0; i < 3 * kLogLimitPeerLines; ++i) {
        (void)Exchange(Words(0x82, 3, 1), false);
    }
    EXPECT_GE(2 * kLogLimitPeerLines,
              static_cast<unsigned>(logger.countContaining(" wrote D3 (0102)")));
    std::this_thread::sleep_for(std::chrono::milliseconds(kLogLimitWindowMs + 50));
    logger.clear();
    (void)Exchange(Words(0x82, 3, 1), false);
    EXPECT_EQ(1, logger.countContaining(" similar messages suppressed: "));
}

// Regression: over UDP the refusal named the client without its port, unlike over TCP.
TEST_F(FinsPolicyTest, RefusalOverUdpNamesTheClientWithItsPort)
{
    protocol.SetPolicy(FinsPolicy{"", kReadOnlyDm});
    reinterpret_cast<sockaddr_in*>(&udp->peerAddr)->sin_port = htons(50001);
    EXPECT_EQ(ToHex(Reply("0102 2101")), ToHex(Exchange(Words(0x82, 0, 1), false)));
    EXPECT_EQ(1, logger.count("client:10.0.0.21:50001 write into a read-only area refused "
                              "(command 0102)"));
}

} // namespace
