// Write protection of CIO inputs, CIO outputs and DM, as the component hands it to the protocol,
// for every command that writes. (The model text is shown end to end by the e2e tests.)
#include <algorithm>

#include "component/LogLimiter.h"
#include "fins/FinsPolicy.h"
#include "tests/fins/ProtocolFixture.h"

namespace {

class FinsPolicyTest : public ProtocolFixture
{
protected:
    void TearDown() override { SetFinsPolicy(FinsPolicy{}); }
};

std::string Fill(unsigned int area, unsigned int addr, unsigned int count)
{
    return FinsHeader(0x0103) + AreaCommand(area, addr, 0, count).substr(0, 4) + Big16(count) +
           Big16(0xABCD);
}

std::string Transfer(unsigned int toArea, unsigned int toAddr, unsigned int count)
{
    return FinsHeader(0x0105) + Hex("82 0000 00") + std::string(1, static_cast<char>(toArea)) +
           Big16(toAddr) + Hex("00") + Big16(count);
}

std::string WriteWords(unsigned int area, unsigned int addr, unsigned int count)
{
    return WriteRequest(area, addr, 0, count, std::string(2 * count, '\x11'));
}

// A refused write changes nothing, is answered 2101 and logged; reads stay served.
TEST_F(FinsPolicyTest, ProtectedAreasRefuseEveryWrite)
{
    const unsigned in = kReadOnlyCioIn;
    const unsigned out = kReadOnlyCioOut;
    const unsigned dm = kReadOnlyDm;
    const struct
    {
        const char* name;
        unsigned readOnly;
        std::string request;
        const char* code; // response code, hex
    } cases[] = {
        {"DM write", dm, WriteWords(0x82, 3, 2), "2101"},
        {"DM fill", dm, Fill(0x82, 0, 5), "2101"},
        {"transfer into DM", dm, Transfer(0x82, 10, 2), "2101"},
        {"transfer out of DM into outputs", dm, Transfer(0xB0, 0x8000, 2), "0000"},
        {"input write", in, WriteWords(0xB0, 0x10, 1), "2101"},
        {"input bit write", in, WriteRequest(0x30, 0x7FFF, 15, 1, Hex("01")), "2101"},
        {"output write", out, WriteWords(0xB0, 0x8000, 1), "2101"},
        {"output fill", out, Fill(0x80, 0x8010, 3), "2101"},
        {"transfer into outputs", out, Transfer(0xB0, 0x801F, 1), "2101"},
        {"input write with outputs protected", out, WriteWords(0xB0, 0x7FFF, 1), "0000"},
        {"DM write with CIO protected", in | out, WriteWords(0x82, 0, 1), "0000"},
        {"range error comes first", dm, WriteWords(0x82, 49, 2), "1104"},
        {"nothing protected", 0, Fill(0x82, 0, 50), "0000"},
    };
    int logged = 0;
    int refusals = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetFinsPolicy(FinsPolicy{"", c.readOnly});
        memory.assign(memory.size(), '\x5A'); // every write and transfer changes something
        output.assign(output.size(), 0);
        input.assign(input.size(), 0);
        logger.clear();
        const std::vector<char> before = AllMemory();
        const std::string command = c.request.substr(10, 2);
        EXPECT_EQ(ToHex(Reply(ToHex(command) + c.code)), ToHex(Exchange(c.request, true)));
        const std::string code = c.code;
        EXPECT_EQ(code == "0000", before != AllMemory());
        // Logged, but no more than a few times a second.
        const int lines = logger.countContaining("read-only area refused (command 01");
        EXPECT_LE(lines, code == "2101" ? 1 : 0);
        logged += lines;
        refusals += code == "2101" ? 1 : 0;
        EXPECT_EQ("0000", ToHex(Exchange(ReadRequest(0x82, 0, 0, 1), false).substr(12, 2)));
    }
    EXPECT_GE(logged, std::min(refusals, static_cast<int>(kLogLimitPeerLines)));
}

} // namespace
