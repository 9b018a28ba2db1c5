// The five memory commands on every area code, words, bits and flags, against a map with split
// ranges (CIO on I and Q), aliased ones (W on DM's words) and ranges that start past 0: where each
// lands, the range ends, straddling, unmapped codes and the write protection. (The wide layout's
// answers are those of the other protocol tests.)
#include "fins/FinsAreaMap.h"
#include "tests/fins/ProtocolFixture.h"

namespace {

class AreaMap : public ProtocolFixture
{
protected:
    void SetUp() override
    {
        ProtocolFixture::SetUp();
        memory.assign(400, 0); // M words 0-199
        ServeSegments();
        CFinsAreaMap map;
        map.Clear();
        const FinsAreaRange ranges[] = {
            {kAreaCio, 0, 9, APP_AREA_I, 0},
            {kAreaCio, 10, 19, APP_AREA_Q, 0},
            {kAreaDm, 0, 49, APP_AREA_M, 0},
            {kAreaW, 0, 9, APP_AREA_M, 40},
            {kAreaH, 100, 109, APP_AREA_M, 60},
            {kAreaA, 440, 459, APP_AREA_M, 80},
            {kAreaE0, 0, 9, APP_AREA_M, 100},
            {static_cast<FinsAreaKind>(kAreaE0 + 3), 0, 9, APP_AREA_M, 110},
            {kAreaT, 0, 15, APP_AREA_M, 120},
            {kAreaC, 0, 15, APP_AREA_M, 130},
            {kAreaTF, 0, 31, APP_AREA_M, 140},
            {kAreaCF, 0, 31, APP_AREA_M, 142},
        };
        for (const FinsAreaRange& r : ranges) {
            ASSERT_EQ(nullptr, map.Add(r));
        }
        protocol.SetAreaMap(map);
    }

    // Fresh segments: M word w holds w, Q word 0 holds 0xBEEF.
    void Fill()
    {
        for (size_t w = 0; w < memory.size() / 2; ++w) {
            SetWord(memory, w, static_cast<unsigned int>(w));
        }
        output.assign(output.size(), 0);
        SetWord(output, 0, 0xBEEF);
    }
};

struct AreaCase
{
    const char* name;
    unsigned int command;
    const char* params; // hex, behind the command code
    const char* tail;   // hex of the reply behind the command code: end code and data
    size_t mByte;       // where M changes (byte offset)
    const char* mBytes; // hex of the bytes there afterwards; empty: M stays as it was
};

TEST_F(AreaMap, EveryAreaCodeAndMemoryCommand)
{
    const AreaCase cases[] = {
        // 0101: words, bits and flags of every area; range starts, ends and gaps.
        {"DM words", 0x0101, "82 0002 00 0002", "0000 0002 0003", 0, ""},
        {"W aliases DM 40", 0x0101, "B1 0001 00 0001", "0000 0029", 0, ""},
        {"W bit", 0x0101, "31 0001 00 0002", "0000 01 00", 0, ""},
        {"H at its first address", 0x0101, "B2 0064 00 0001", "0000 003C", 0, ""},
        {"H below its range", 0x0101, "B2 0063 00 0001", "1103", 0, ""},
        {"H past its range end", 0x0101, "B2 006D 00 0002", "1104", 0, ""},
        {"CIO may not straddle I into Q", 0x0101, "B0 0009 00 0002", "1104", 0, ""},
        {"CIO 10 is Q 0", 0x0101, "B0 000A 00 0001", "0000 BEEF", 0, ""},
        {"CIO old code, past the map", 0x0101, "80 0014 00 0001", "1103", 0, ""},
        {"A", 0x0101, "B3 01B8 00 0001", "0000 0050", 0, ""},
        {"E0", 0x0101, "A0 0000 00 0001", "0000 0064", 0, ""},
        {"current bank is E0", 0x0101, "98 0009 00 0001", "0000 006D", 0, ""},
        {"E0 bits", 0x0101, "20 0000 02 0003", "0000 01 00 00", 0, ""},
        {"E3", 0x0101, "A3 0009 00 0001", "0000 0077", 0, ""},
        {"E1 unmapped", 0x0101, "A1 0000 00 0001", "1101", 0, ""},
        {"T5", 0x0101, "89 0005 00 0001", "0000 007D", 0, ""},
        {"C5", 0x0101, "89 8005 00 0001", "0000 0087", 0, ""},
        {"T16 in no range", 0x0101, "89 0010 00 0001", "1103", 0, ""},
        {"TF0-2", 0x0101, "09 0000 00 0003", "0000 00 00 01", 0, ""},
        {"CF17 is bit 1 of the second word", 0x0101, "09 8011 00 0001", "0000 01", 0, ""},
        {"a flag with a bit number", 0x0101, "09 0000 01 0001", "1103", 0, ""},
        {"TF past its range", 0x0101, "09 001F 00 0002", "1104", 0, ""},
        {"an area code of none", 0x0101, "84 0000 00 0001", "1101", 0, ""},
        // 0102: writes land where reads find them; nothing changes on a refusal.
        {"W write lands on DM 40", 0x0102, "B1 0000 00 0001 ABCD", "0000", 80, "CDAB"},
        {"A 440 never takes a write", 0x0102, "B3 01B8 00 0001 1234", "2101", 0, ""},
        {"A 448 does", 0x0102, "B3 01C0 00 0001 1234", "0000", 176, "3412"},
        {"CF16-17", 0x0102, "09 8010 00 0002 01 00", "0000", 286, "8D00"},
        {"E3 bits straddle the range end", 0x0102, "23 0009 0F 0002 01 01", "1104", 0, ""},
        {"T data length", 0x0102, "89 0000 00 0001 12", "1003", 0, ""},
        // 0103 and 0105: words only, each operand checked where it lies.
        {"fill H", 0x0103, "B2 0064 00 0002 BEEF", "0000", 120, "EFBEEFBE"},
        {"fill a bit code", 0x0103, "32 0064 00 0002 BEEF", "1101", 0, ""},
        {"fill past H's end", 0x0103, "B2 006D 00 0002 BEEF", "1104", 0, ""},
        {"transfer T to E3", 0x0105, "89 0000 00 A3 0000 00 0002", "0000", 220, "78007900"},
        {"transfer into A 447", 0x0105, "82 0000 00 B3 01BF 00 0002", "2101", 0, ""},
        {"transfer from an unmapped bank", 0x0105, "A1 0000 00 82 0000 00 0001", "1101", 0, ""},
        // 0104: per item its own area.
        {"multiple read across areas", 0x0104, "B1 0000 00 09 8011 00 89 0005 00",
         "0000 B1 0028 09 01 89 007D", 0, ""},
        {"multiple read, an item unmapped", 0x0104, "B1 0000 00 A5 0000 00", "1101", 0, ""},
    };
    for (const AreaCase& c : cases) {
        SCOPED_TRACE(c.name);
        Fill();
        std::vector<char> expectM = memory;
        const std::string changed = Hex(c.mBytes);
        std::copy(changed.begin(), changed.end(), expectM.begin() + c.mByte);
        const std::string reply = Exchange(FinsHeader(c.command) + Hex(c.params), false);
        EXPECT_EQ(ToHex(Reply(ToHex(Big16(c.command)) + c.tail)), ToHex(reply));
        EXPECT_EQ(expectM, memory);
    }
}

// read_only names areas of the map: W refuses, the DM words it aliases take the write. The
// controller data report the map's DM words and EM banks.
TEST_F(AreaMap, ProtectionAndControllerDataFollowTheMap)
{
    protocol.SetPolicy(FinsPolicy{"", ReadOnlyBitOf(kAreaW)});
    EXPECT_EQ(ToHex(Reply("0102 2101")),
              ToHex(Exchange(WriteRequest(0xB1, 0, 0, 1, Hex("ABCD")), true)));
    EXPECT_EQ(ToHex(Reply("0102 0000")),
              ToHex(Exchange(WriteRequest(0x82, 40, 0, 1, Hex("ABCD")), true)));
    const std::string data = Exchange(FinsHeader(0x0501) + Hex("00"), false).substr(14);
    ASSERT_EQ(92u, data.size());
    EXPECT_EQ("0032", ToHex(data.substr(83, 2))); // DM 0-49
    EXPECT_EQ(4, data[86]);                       // E0 .. E3
}

// The write log names the items as clients address them, whatever the area: counters and their
// flags by their own numbers, EM banks (the current one as E0) with their bank, bits as word.bit.
TEST_F(AreaMap, WriteLogNamesItemsInClientNotation)
{
    FinsPolicy policy;
    policy.logWrites = true;
    protocol.SetPolicy(policy);
    const struct
    {
        unsigned int command;
        const char* params;
        const char* items;
    } cases[] = {
        {0x0102, "B1 0000 00 0001 ABCD", "W0 (0102)"},
        {0x0102, "09 8010 00 0002 01 00", "CF16-CF17 (0102)"},
        {0x0102, "23 0008 0F 0002 01 01", "E3_8.15-E3_9.00 (0102)"},
        {0x0103, "89 8002 00 0002 BEEF", "C2-C3 (0103)"},
        {0x0102, "98 0001 00 0001 1234", "E0_1 (0102)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.items);
        logger.clear();
        (void)Exchange(FinsHeader(c.command) + Hex(c.params), true);
        EXPECT_EQ(std::vector<std::string>{std::string("client:") + kPeer + " wrote " + c.items},
                  logger.texts());
    }
}

} // namespace
