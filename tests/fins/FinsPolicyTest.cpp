// Write protection of CIO inputs, CIO outputs and DM, as the component hands it to the protocol,
// for every command that writes. (The model text is shown end to end by the e2e tests.)
#include "fins/FinsPolicy.h"
#include "base/LogLimiter.h"
#include "tests/fins/ProtocolFixture.h"

namespace {

using FinsPolicyTest = ProtocolFixture;

std::string Words(unsigned int area, unsigned int addr, unsigned int count)
{
    return WriteRequest(area, addr, 0, count, std::string(2 * count, '\x11'));
}

// A refused write changes nothing, is answered 2101 and logged (a few times a second at most);
// reads stay served.
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
        const char* code; // response code, hex
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
    };
    int refusals = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(ToHex(c.request));
        protocol.SetPolicy(FinsPolicy{"", c.readOnly});
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
    const int logged = logger.countContaining(std::string("client:") + kPeer +
                                              " write into a read-only area refused (command 01");
    EXPECT_LE(logged, refusals);
    EXPECT_GE(logged, std::min(refusals, static_cast<int>(kLogLimitPeerLines)));
}

} // namespace
