// The commands beyond memory area read and write: multiple read, fill, transfer, controller data,
// status and clock. Replies byte for byte, every error row, and memory untouched by a refusal.
#include <ctime>

#include "fins/FinsCommands.h"
#include "tests/fins/ProtocolFixture.h"

namespace {

using ControllerCommand = ProtocolFixture;

std::string Item(unsigned int area, unsigned int addr, unsigned int bit = 0)
{
    return AreaCommand(area, addr, bit, 0).substr(0, 4);
}

std::string Repeat(const std::string& text, size_t times)
{
    std::string out;
    for (size_t i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

// Multiple read answers each item with its area code; controller data lays out the clients'
// layout; the fixed-size commands refuse a byte too many.
TEST_F(ControllerCommand, RepliesByteForByte)
{
    SetWord(memory, 3, 0x1234);
    SetWord(memory, 0, 0x8000); // DM bit 0.15
    SetWord(output, 0, 0x1122);
    SetWord(input, 0, 0x5566); // CIO bit 0.1 set, 0.0 clear
    std::string model(kControllerModel);
    model.resize(20, ' ');
    std::string version = "3.5.18.0";
    version.resize(20, ' ');
    // CIO: 65536 + 64 bytes = 64 KiB; DM: 100 bytes = 50 words.
    std::string first =
        model + version + std::string(40, '\0') + Hex("0000 40 0032 00 00 00 00 00 0000");
    std::string last(66, '\0');
    const struct
    {
        const char* name;
        unsigned int command;
        std::string params; // bytes behind the command code
        std::string reply;  // hex behind the command code: response code and data
    } cases[] = {
        {"words and bits of both areas", 0x0104,
         Item(0x82, 3) + Item(0x02, 0, 15) + Item(0xB0, 0x8000) + Item(0x30, 0, 1) +
             Item(0x00, 0, 0) + Item(0x80, 0),
         "0000 82 1234 02 01 B0 1122 30 01 00 00 80 5566"},
        {"167 items", 0x0104, Repeat(Item(0x82, 3), 167), "0000" + Repeat("82 1234", 167)},
        {"168 items", 0x0104, Repeat(Item(0x82, 3), 168), "1102"},
        {"no item", 0x0104, "", "1002"},
        {"part of an item", 0x0104, Item(0x82, 3) + Hex("82"), "1003"},
        {"unknown area in the second item", 0x0104, Item(0x82, 3) + Item(0x84, 3), "1101"},
        {"word past the end", 0x0104, Item(0x82, 3) + Item(0x82, 50), "1103"},
        {"bit past the end", 0x0104, Item(0x02, 49, 16), "1103"},
        {"controller data, no parameter: all 158 bytes", 0x0501, "", "0000" + ToHex(first + last)},
        {"controller data 00: the first 92", 0x0501, Hex("00"), "0000" + ToHex(first)},
        {"controller data 01: the last 66", 0x0501, Hex("01"), "0000" + ToHex(last)},
        {"controller data 02", 0x0501, Hex("02"), "110C"},
        {"controller data, two parameter bytes", 0x0501, Hex("0000"), "1001"},
        {"status with a parameter", 0x0601, Hex("00"), "1001"},
        {"clock with a parameter", 0x0701, Hex("00"), "1001"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ToHex(Reply(ToHex(Big16(c.command)) + c.reply)),
                  ToHex(Exchange(FinsHeader(c.command) + c.params, true)));
    }
}

TEST_F(ControllerCommand, FillWritesOneValueOverAWordRange)
{
    const MemoryCase cases[] = {
        {"DM words", AreaCommand(0x82, 2, 0, 3) + Hex("ABCD"), "0000", 'M', 4,
         Hex("CDAB CDAB CDAB")},
        {"output words", AreaCommand(0xB0, 0x8001, 0, 2) + Hex("0102"), "0000", 'Q', 2,
         Hex("0201 0201")},
        {"last DM word", AreaCommand(0x82, 49, 0, 1) + Hex("FFFF"), "0000", 'M', 98, Hex("FFFF")},
        {"bit area", AreaCommand(0x02, 0, 0, 1) + Hex("0001"), "1101", 'M', 0, ""},
        {"unknown area", AreaCommand(0x84, 0, 0, 1) + Hex("0001"), "1101", 'M', 0, ""},
        {"start past the end", AreaCommand(0x82, 50, 0, 1) + Hex("0001"), "1103", 'M', 0, ""},
        {"end past the end", AreaCommand(0x82, 49, 0, 2) + Hex("0001"), "1104", 'M', 0, ""},
        {"zero words at word 0", AreaCommand(0x82, 0, 0, 0) + Hex("0001"), "1104", 'M', 0, ""},
        {"value missing", AreaCommand(0x82, 0, 0, 1) + Hex("00"), "1002", 'M', 0, ""},
        {"a byte too many", AreaCommand(0x82, 0, 0, 1) + Hex("000100"), "1001", 'M', 0, ""},
    };
    RunMemoryCases(0x0103, cases);
}

TEST_F(ControllerCommand, TransferCopiesAsIfThroughABuffer)
{
    auto transfer = [](unsigned int fromArea, unsigned int from, unsigned int toArea,
                       unsigned int to, unsigned int count) {
        return Item(fromArea, from) + Item(toArea, to) + Big16(count);
    };
    const MemoryCase cases[] = {
        {"overlapping upward", transfer(0x82, 0, 0x82, 2, 4), "0000", 'M', 4,
         Hex("0100 0200 0300 0400")},
        {"overlapping downward", transfer(0x82, 2, 0x82, 0, 3), "0000", 'M', 0,
         Hex("0300 0400 0500")},
        {"DM to output words", transfer(0x82, 0, 0x80, 0x8000, 2), "0000", 'Q', 0,
         Hex("0100 0200")},
        {"bit source", transfer(0x02, 0, 0x82, 20, 1), "1101", 'M', 0, ""},
        {"bit destination", transfer(0x82, 0, 0x30, 0, 1), "1101", 'M', 0, ""},
        {"source past the end", transfer(0x82, 49, 0x82, 0, 2), "1104", 'M', 0, ""},
        {"destination past the end", transfer(0x82, 0, 0xB0, 0x8020, 1), "1103", 'M', 0, ""},
        {"count missing", transfer(0x82, 0, 0x82, 2, 1).substr(0, 9), "1002", 'M', 0, ""},
        {"a byte too many", transfer(0x82, 0, 0x82, 2, 1) + Hex("00"), "1001", 'M', 0, ""},
    };
    RunMemoryCases(0x0105, cases);
}

TEST_F(ControllerCommand, StatusFollowsTheApplication)
{
    const std::string errorsAndMessage = "0000 0000 0000 0000" + ToHex(std::string(16, ' '));
    EXPECT_EQ(ToHex(Reply("0601 0000 01 04" + errorsAndMessage)),
              ToHex(Exchange(FinsHeader(0x0601), true)));
    app.setNoApplication(true);
    EXPECT_EQ(-1, segments.LoadAppMemoryAddr());
    EXPECT_EQ(ToHex(Reply("0601 0000 00 00" + errorsAndMessage)),
              ToHex(Exchange(FinsHeader(0x0601), false)));
}

int FromBcd(char c)
{
    auto b = static_cast<unsigned char>(c);
    return (b >> 4) * 10 + (b & 0x0F);
}

TEST_F(ControllerCommand, ClockReadsLocalTimeInBcd)
{
    time_t before = time(nullptr);
    std::string reply = Exchange(FinsHeader(0x0701), true);
    time_t after = time(nullptr);
    ASSERT_EQ(ToHex(Reply("0701 0000")), ToHex(reply.substr(0, 14)));
    ASSERT_EQ(21u, reply.size());
    tm t{};
    t.tm_year = 100 + FromBcd(reply[14]);
    t.tm_mon = FromBcd(reply[15]) - 1;
    t.tm_mday = FromBcd(reply[16]);
    t.tm_hour = FromBcd(reply[17]);
    t.tm_min = FromBcd(reply[18]);
    t.tm_sec = FromBcd(reply[19]);
    t.tm_isdst = -1;
    time_t read = mktime(&t);
    EXPECT_LE(before, read);
    EXPECT_GE(after, read);
    EXPECT_EQ(t.tm_wday, reply[20]); // mktime fills in the day of the week
}

} // namespace
