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
        EXPECT_TRUE(logger.entries().empty()) << "rejected requests are answered, not logged";
    }
}

// Reads over both transports: the CIO and DM mapping, the byte order, and bit addresses.
TEST_F(MemoryCommand, ReadsGetTheseReplies)
{
    SetWord(output, 0, 0x1122);
    SetWord(input, 32767, 0x3344);
    SetWord(input, 0, 0x5566);
    SetWord(memory, 0, 0x8000); // DM bits 0.15, 1.0 and 2.14 set
    SetWord(memory, 1, 0x0001);
    SetWord(memory, 2, 0x4000);
    const struct
    {
        const char* name;
        std::string request;
        const char* reply; // hex behind the command code
    } cases[] = {
        {"count limit before the word address", ReadRequest(0x82, 0xFFFF, 0, 2001), "1102"},
        {"count limit before the bit address", ReadRequest(0x30, 0x8000, 200, 2001), "1102"},
        {"CIO 0x8000 is output word 0", ReadRequest(0xB0, 0x8000, 0, 1), "0000 1122"},
        {"CIO 0x7FFF is the last input word", ReadRequest(0x80, 0x7FFF, 0, 1), "0000 3344"},
        {"host-order words go out big-endian", ReadRequest(0xB0, 0, 0, 1), "0000 5566"},
        {"bits across words", ReadRequest(0x02, 0, 14, 4), "0000 00010100"},
        {"bit 46 of word 0 is bit 14 of word 2", ReadRequest(0x02, 0, 46, 2), "0000 0100"},
        {"a whole word of bits", ReadRequest(0x02, 0, 0, 16),
         "0000 00000000000000000000000000000001"},
    };
    for (bool overTcp : {true, false}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (overTcp ? " over TCP" : " over UDP"));
            EXPECT_EQ(ToHex(Reply(std::string("0101") + c.reply)),
                      ToHex(Exchange(c.request, overTcp)));
        }
    }
    EXPECT_TRUE(logger.entries().empty()) << "rejected requests are answered, not logged";
}

TEST_F(MemoryCommand, WritesChangeExactlyTheirWordsAndBits)
{
    const MemoryCase cases[] = {
        {"words arrive big-endian and rest in host order",
         AreaCommand(0x82, 3, 0, 2) + Hex("ABCD 0102"), "0000", 'M', 6, Hex("CDAB 0201")},
        {"data length before the range", AreaCommand(0x82, 0xFFFF, 0, 2) + Hex("AB"), "1003", 'M',
         0, ""},
        {"bit data length", AreaCommand(0x02, 0, 0, 1) + Hex("0101"), "1003", 'M', 0, ""},
        // Word 1 is 0x0002, word 2 0x0003; only bit 0 of each data byte counts.
        {"bits across a word boundary", AreaCommand(0x02, 1, 15, 4) + Hex("01 FE 03 00"), "0000",
         'M', 2, Hex("0280 0200")},
        {"CIO bits from 0x8000 are output bits", AreaCommand(0x30, 0x8001, 3, 2) + Hex("01 01"),
         "0000", 'Q', 2, Hex("1800")},
    };
    RunMemoryCases(0x0102, cases);
}

TEST_F(MemoryCommand, WritesHaveNoCountLimitOfTheirOwn)
{
    memory.assign(4002, 0);
    ServeSegments();
    EXPECT_EQ(Reply("0102 0000"),
              Exchange(WriteRequest(0x82, 0, 0, 2001, std::string(4002, '\x7F')), true));
    EXPECT_EQ(std::vector<char>(4002, '\x7F'), memory);
}

// Words are converted several at a time: every count up to 40 crosses each block size and its rest.
TEST_F(MemoryCommand, EveryWordKeepsItsByteOrderWhateverTheCount)
{
    for (unsigned int count = 1; count <= 40; ++count) {
        SCOPED_TRACE(count);
        std::string wire;
        std::vector<char> host(memory.size(), 0);
        for (unsigned int w = 0; w < count; ++w) {
            wire += Big16(0x0100 * (w + 1) + (w + 2)); // high byte w+1, low byte w+2
            SetWord(host, w, 0x0100 * (w + 1) + (w + 2));
        }
        memory.assign(memory.size(), 0);
        EXPECT_EQ(Reply("0102 0000"), Exchange(WriteRequest(0x82, 0, 0, count, wire), false));
        EXPECT_EQ(host, memory);
        EXPECT_EQ(ToHex(Reply("0101 0000") + wire),
                  ToHex(Exchange(ReadRequest(0x82, 0, 0, count), false)));
    }
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

} // namespace
