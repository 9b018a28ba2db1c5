// Memory area read and write commands: the range rules, the CIO and DM mapping onto the I, Q and M
// segments, word byte order in both directions and bit access across word boundaries.
#include "tests/fins/ProtocolFixture.h"

namespace {

using MemoryCommand = ProtocolFixture;

struct RangeCase
{
    const char* name;
    unsigned int area;
    unsigned int addr;
    unsigned int bit;
    unsigned int count;
    size_t memoryBytes; // M segment size (DM rows)
    const char* code;   // expected response code, hex
};

std::string WriteData(unsigned int area, unsigned int count)
{
    bool words = area == 0x82 || area == 0xB0 || area == 0x80;
    return std::string(words ? 2 * count : count, '\x01');
}

// Reads and writes share the range rule; a refused write leaves every segment as it was.
TEST_F(MemoryCommand, RangeRulesForReadsAndWrites)
{
    const RangeCase cases[] = {
        {"last DM word", 0x82, 49, 0, 1, 100, "0000"},
        {"first DM word past the end", 0x82, 50, 0, 1, 100, "1103"},
        {"DM words running past the end", 0x82, 49, 0, 2, 100, "1104"},
        {"whole DM segment", 0x82, 0, 0, 50, 100, "0000"},
        {"one DM word more than the segment", 0x82, 0, 0, 51, 100, "1104"},
        {"zero words at word 0", 0x82, 0, 0, 0, 100, "1104"},
        {"zero words at word 5", 0x82, 5, 0, 0, 100, "0000"},
        {"zero words past the end", 0x82, 50, 0, 0, 100, "1103"},
        {"last word of an odd-sized segment is half outside", 0x82, 1, 0, 1, 3, "1104"},
        {"2000 words", 0x82, 0, 0, 2000, 4000, "0000"},
        {"last bit of a 2-byte segment", 0x02, 0, 15, 1, 2, "0000"},
        {"bits running past a 2-byte segment", 0x02, 0, 15, 2, 2, "1104"},
        {"first bit past a 2-byte segment", 0x02, 1, 0, 1, 2, "1103"},
        {"bit number 16 is the next word's bit 0", 0x02, 0, 16, 1, 2, "1103"},
        {"zero bits at bit 0 of word 0", 0x02, 0, 0, 0, 2, "1104"},
        {"zero bits at bit 1 of word 0", 0x02, 0, 1, 0, 2, "0000"},
        {"bits of the last byte of an odd-sized segment", 0x02, 1, 0, 8, 3, "0000"},
        {"last input word", 0xB0, 0x7FFF, 0, 1, 100, "0000"},
        {"last output word", 0x80, 0x801F, 0, 1, 100, "0000"},
        {"first output word past the end", 0xB0, 0x8020, 0, 1, 100, "1103"},
        {"output words running past the end", 0xB0, 0x801F, 0, 2, 100, "1104"},
        {"last output bit", 0x30, 0x801F, 15, 1, 100, "0000"},
        {"output bits running past the end", 0x00, 0x801F, 15, 2, 100, "1104"},
    };
    for (const RangeCase& c : cases) {
        SCOPED_TRACE(c.name);
        memory = std::vector<char>(c.memoryBytes, 0); // exact size: ASan sees any overrun
        ServeSegments();
        std::string code = ToHex(Hex(c.code));
        std::string read = Exchange(ReadRequest(c.area, c.addr, c.bit, c.count), true);
        EXPECT_EQ(code, ToHex(read.size() >= 14 ? read.substr(12, 2) : read)) << "read";
        std::vector<char> before = AllMemory();
        std::string write = Exchange(
            WriteRequest(c.area, c.addr, c.bit, c.count, WriteData(c.area, c.count)), false);
        EXPECT_EQ(ToHex(Reply("0102") + Hex(c.code)), ToHex(write)) << "write";
        if (code != "0000") {
            EXPECT_EQ(before, AllMemory()) << "a refused write changed memory";
        }
    }
}

TEST_F(MemoryCommand, CountLimitComesBeforeAnyAddressTest)
{
    EXPECT_EQ(Reply("0101 1102"), Exchange(ReadRequest(0x82, 0xFFFF, 0, 2001), true));
    EXPECT_EQ(Reply("0101 1102"), Exchange(ReadRequest(0x30, 0x8000, 200, 2001), false));
}

TEST_F(MemoryCommand, WritesHaveNoCountLimitOfTheirOwn)
{
    memory.assign(4002, 0);
    ServeSegments();
    EXPECT_EQ(Reply("0102 0000"),
              Exchange(WriteRequest(0x82, 0, 0, 2001, std::string(4002, '\x7F')), true));
    EXPECT_EQ(std::vector<char>(4002, '\x7F'), memory);
}

TEST_F(MemoryCommand, DataLengthIsCheckedBeforeTheRange)
{
    std::vector<char> before = AllMemory();
    EXPECT_EQ(Reply("0102 1003"), Exchange(WriteRequest(0x82, 0xFFFF, 0, 2, Hex("AB")), true));
    EXPECT_EQ(Reply("0102 1003"), Exchange(WriteRequest(0x02, 0, 0, 1, Hex("0101")), true));
    EXPECT_EQ(before, AllMemory());
}

TEST_F(MemoryCommand, AbsentSegmentIsOutOfRangeFromItsFirstWord)
{
    app.removeSegment(APP_SEGMENT_OUTPUT);
    app.removeSegment(APP_SEGMENT_MEMORY);
    Reload();
    EXPECT_EQ(Reply("0101 1103"), Exchange(ReadRequest(0xB0, 0x8000, 0, 1), true));
    EXPECT_EQ(Reply("0102 1103"), Exchange(WriteRequest(0x30, 0x8000, 0, 1, Hex("01")), true));
    EXPECT_EQ(Reply("0101 1103"), Exchange(ReadRequest(0x82, 0, 0, 0), false));
    EXPECT_EQ(Reply("0101 0000 0000"), Exchange(ReadRequest(0xB0, 0, 0, 1), false)); // I is there
}

TEST_F(MemoryCommand, CioWordsFrom0x8000AreOutputWords)
{
    output[0] = 0x22; // output word 0 = 0x1122
    output[1] = 0x11;
    input[65534] = 0x44; // input word 32767 = 0x3344
    input[65535] = 0x33;
    input[0] = 0x66; // input word 0 = 0x5566
    input[1] = 0x55;
    EXPECT_EQ(Reply("0101 0000 1122"), Exchange(ReadRequest(0xB0, 0x8000, 0, 1), true));
    EXPECT_EQ(Reply("0101 0000 3344"), Exchange(ReadRequest(0x80, 0x7FFF, 0, 1), true));
    EXPECT_EQ(Reply("0101 0000 5566"), Exchange(ReadRequest(0xB0, 0, 0, 1), false));
}

TEST_F(MemoryCommand, WordsTravelBigEndianAndRestInHostOrder)
{
    input[2] = 0x34; // input word 1 holds 0x1234: segment bytes 34 12
    input[3] = 0x12;
    EXPECT_EQ(Reply("0101 0000 1234"), Exchange(ReadRequest(0xB0, 1, 0, 1), true));

    Exchange(WriteRequest(0x82, 3, 0, 2, Hex("ABCD 0102")), true);
    EXPECT_EQ(Hex("CDAB 0201"), std::string(memory.begin() + 6, memory.begin() + 10));
    EXPECT_EQ(std::string(6, '\0'), std::string(memory.begin(), memory.begin() + 6));
    EXPECT_EQ('\0', memory[10]);
}

TEST_F(MemoryCommand, BitWriteReplacesAnOutputWordBitByBit)
{
    output.assign(output.size(), '\xFF');
    std::string bits;
    for (int i = 0; i < 16; ++i) {
        bits += (i % 2 == 0) ? '\x01' : '\xFE'; // only bit 0 of each byte counts
    }
    EXPECT_EQ(Reply("0102 0000"), Exchange(WriteRequest(0x30, 0x8000, 0, 16, bits), true));
    EXPECT_EQ(Hex("5555 FFFF"), std::string(output.begin(), output.begin() + 4));
}

TEST_F(MemoryCommand, BitReadsFollowBitAddressesAcrossWords)
{
    memory[1] = static_cast<char>(0x80); // word 0 bit 15
    memory[2] = 0x01;                    // word 1 bit 0
    memory[5] = 0x40;                    // word 2 bit 14
    EXPECT_EQ(Reply("0101 0000 00010100"), Exchange(ReadRequest(0x02, 0, 14, 4), true));
    // A bit number above 15 continues into the following words: word 0 bit 46 is word 2 bit 14.
    EXPECT_EQ(Reply("0101 0000 0100"), Exchange(ReadRequest(0x02, 0, 46, 2), false));
}

TEST_F(MemoryCommand, BitWriteAcrossAWordBoundaryTouchesOnlyItsBits)
{
    memory.assign(memory.size(), '\x5A');
    EXPECT_EQ(Reply("0102 0000"), Exchange(WriteRequest(0x02, 2, 14, 3, Hex("01 00 01")), true));
    std::vector<char> expected(100, '\x5A');
    expected[5] = static_cast<char>((0x5A | 0x40) & ~0x80); // word 2: bit 14 set, bit 15 cleared
    expected[6] = static_cast<char>(0x5A | 0x01);           // word 3: bit 0 set
    EXPECT_EQ(expected, memory);
}

} // namespace
