// The fins client's syntax without a server: every address notation down to the request item it
// sends, the values of every type down to the wire words, the arguments it refuses, and the end
// codes it names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/fins/Address.h"
#include "tools/fins/Value.h"
#include "tools/fins/Verbs.h"
#include "tools/fins/Wire.h"

namespace {

// Upper-case hex of the bytes, no spaces; expectations below are written with spaces for reading.
std::string HexOf(const Bytes& bytes)
{
    std::string out;
    char pair[3];
    for (uint8_t b : bytes) {
        snprintf(pair, sizeof(pair), "%02X", b);
        out += pair;
    }
    return out;
}

std::string NoSpaces(std::string text)
{
    text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
    return text;
}

TEST(FinsClientAddress, EachNotationSendsItsAreaCodeAndWireWord)
{
    const struct
    {
        const char* text;
        const char* item; // area code, wire word, bit
        const char* shown;
    } cases[] = {
        {"D100", "82 0064 00", "D100"},
        {"dm100.5", "02 0064 05", "D100.5"},
        {"CIO10", "B0 000A 00", "CIO10"},
        {"cio65535.15", "30 FFFF 0F", "CIO65535.15"},
        {"W10", "B1 000A 00", "W10"},
        {"H5.3", "32 0005 03", "H5.3"},
        {"A448", "B3 01C0 00", "A448"},
        {"A448.15", "33 01C0 0F", "A448.15"},
        {"E0_100", "A0 0064 00", "E0_100"},
        {"E0_100.3", "20 0064 03", "E0_100.3"},
        {"ec_65535", "AC FFFF 00", "EC_65535"},
        {"EA_1.1", "2A 0001 01", "EA_1.1"},
        {"T5", "89 0005 00", "T5"},
        {"C5", "89 8005 00", "C5"},
        {"C4095", "89 8FFF 00", "C4095"},
        {"TF5", "09 0005 00", "TF5"},
        {"cf4095", "09 8FFF 00", "CF4095"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        FinsAddress addr{};
        ASSERT_TRUE(ParseFinsAddress(c.text, &addr));
        Bytes item = {FinsAreaCode(addr), static_cast<uint8_t>(FinsWireWord(addr) >> 8),
                      static_cast<uint8_t>(FinsWireWord(addr)), addr.bitNo};
        EXPECT_EQ(HexOf(item), NoSpaces(c.item));
        EXPECT_EQ(FormatFinsAddress(addr, 0), c.shown);
    }
    for (const char* bad : {"X100",  "D65536",   "D1.16",    "D1.",   "D-1",   "D+1",    "D 1",
                            "D",     "CIO1.3.4", "T5.3",     "TF5.0", "T4096", "CF4096", "ED_1",
                            "E0100", "E0_",      "E0_65536", "E00_1", "WD1",   "D123456"}) {
        FinsAddress addr{};
        EXPECT_FALSE(ParseFinsAddress(bad, &addr)) << bad;
    }
}

TEST(FinsClientAddress, RunsOfItemsCarryIntoTheNextWordOrNumber)
{
    const struct
    {
        const char* text;
        uint32_t offset;
        const char* shown;
    } cases[] = {
        {"D7.15", 2, "D8.1"}, {"E0_100.15", 1, "E0_101.0"}, {"TF5", 3, "TF8"}, {"C5", 1, "C6"},
        {"W10", 2, "W12"},
    };
    for (const auto& c : cases) {
        FinsAddress addr{};
        ASSERT_TRUE(ParseFinsAddress(c.text, &addr)) << c.text;
        EXPECT_EQ(FormatFinsAddress(addr, c.offset), c.shown) << c.text;
    }
}

// One row: a command line (its --type and --udp given apart), and the request's command code and
// parameters in hex (their first bytes when it ends in "..."), or the error's text.
struct PlanCase
{
    std::vector<std::string> args;
    ValueType type;
    bool udp;
    const char* expected;
};

void CheckPlans(const std::vector<PlanCase>& cases)
{
    for (const PlanCase& c : cases) {
        std::string line;
        for (const std::string& a : c.args) {
            line += (a.size() > 12 ? a.substr(0, 12) + "..." : a) + " ";
        }
        SCOPED_TRACE(line);
        FinsOptions options;
        options.type = c.type;
        options.maxFrame = c.udp ? kMaxFinsFrameUdp : kMaxFinsFrameTcp;
        FinsRequest request{};
        std::string error;
        const std::vector<std::string> rest(c.args.begin() + 1, c.args.end());
        if (PlanRequest(c.args[0], rest, options, &request, &error)) {
            Bytes sent;
            AppendBe16(sent, request.command);
            sent.insert(sent.end(), request.params.begin(), request.params.end());
            // "..." ends the rows of long requests: their first bytes are checked.
            std::string expected = NoSpaces(c.expected);
            const bool prefix =
                expected.size() > 3 && expected.compare(expected.size() - 3, 3, "...") == 0;
            expected.resize(prefix ? expected.size() - 3 : expected.size());
            EXPECT_EQ(prefix ? HexOf(sent).substr(0, expected.size()) : HexOf(sent), expected);
        } else {
            EXPECT_EQ(error, c.expected);
        }
    }
}

TEST(FinsClientPlan, NumbersAreDecimalUnlessHexAndExtraArgumentsAreNamed)
{
    const ValueType word = ValueType::Word;
    CheckPlans({
        {{"write", "D0", "010", "09", "0x10", "-1", "-0x8000"},
         word,
         false,
         "0102 82 0000 00 0005 000A 0009 0010 FFFF 8000"},
        {{"write", "D0", "0x"}, word, false, "bad value 0x (words: -32768 to 65535)"},
        {{"write", "D0", "1e3"}, word, false, "bad value 1e3 (words: -32768 to 65535)"},
        {{"write", "D0", "65536"}, word, false, "bad value 65536 (words: -32768 to 65535)"},
        {{"write", "TF5", "1", "0"}, word, false, "0102 09 0005 00 0002 01 00"},
        {{"write", "D1.2", "2"}, word, false, "bad value 2 (bits are 0 or 1)"},
        {{"read", "D100", "010"}, word, false, "0101 82 0064 00 000A"},
        {{"read", "D100", "3", "junk"}, word, false, "extra argument junk"},
        {{"read", "D100", "D200", "3"}, word, false, "bad address 3"},
        {{"read", "W1", "H2.3", "CF7"}, word, false, "0104 B1 0001 00 32 0002 03 09 8007 00"},
        {{"read", "D0", "2001"}, word, false, "bad COUNT 2001 (1 to 2000)"},
        {{"fill", "D0", "65535", "0x0BCD"}, word, false, "0103 82 0000 00 FFFF 0BCD"},
        {{"fill", "D0", "65536", "1"}, word, false, "bad COUNT 65536 (1 to 65535)"},
        {{"fill", "D0", "3", "1", "2"}, word, false, "extra argument 2"},
        {{"fill", "D0.1", "3", "1"}, word, false, "bad word address D0.1"},
        {{"copy", "T1", "C2", "2", "x"}, word, false, "extra argument x"},
        {{"copy", "T1", "C2", "2"}, word, false, "0105 89 0001 00 89 8002 00 0002"},
        {{"info", "D0"}, word, false, "extra argument D0"},
    });
}

// Values of several words lie low word first; a string's first character is its first word's low
// byte, and a NUL ends it.
TEST(FinsClientPlan, TypedValuesBecomeTheirWords)
{
    CheckPlans({
        {{"write", "D0", "0x12345678", "1"},
         ValueType::U32,
         false,
         "0102 82 0000 00 0004 5678 1234 0001 0000"},
        {{"write", "D0", "-2"}, ValueType::I32, false, "0102 82 0000 00 0002 FFFE FFFF"},
        {{"write", "D0", "1.5"}, ValueType::F32, false, "0102 82 0000 00 0002 0000 3FC0"},
        {{"write", "D0", "-2.5"},
         ValueType::F64,
         false,
         "0102 82 0000 00 0004 0000 0000 0000 C004"},
        {{"write", "D0", "ABC"}, ValueType::Str, false, "0102 82 0000 00 0002 4241 0043"},
        {{"write", "D0", "AB"}, ValueType::Str, false, "0102 82 0000 00 0002 4241 0000"},
        {{"write", "D0", "a", "b"}, ValueType::Str, false, "extra argument b"},
        {{"write", "D0", "-1"}, ValueType::U16, false, "bad value -1 (u16: 0 to 65535)"},
        {{"write", "D0", "32768"}, ValueType::I16, false, "bad value 32768 (i16: -32768 to 32767)"},
        {{"write", "D0", "4294967296"},
         ValueType::U32,
         false,
         "bad value 4294967296 (u32: 0 to 4294967295)"},
        {{"write", "D0", "1e39"}, ValueType::F32, false, "bad value 1e39 (f32: a decimal number)"},
        {{"write", "D0", "0x10"}, ValueType::F64, false, "bad value 0x10 (f64: a decimal number)"},
        {{"write", "D0.1", "1"}, ValueType::F32, false, "--type takes word addresses, not D0.1"},
        {{"read", "D0", "3"}, ValueType::U32, false, "0101 82 0000 00 0006"},
        {{"read", "D0", "1001"}, ValueType::F32, false, "bad COUNT 1001 (1 to 1000)"},
        {{"read", "D0"}, ValueType::Str, false, "0101 82 0000 00 0028"},
        {{"read", "D0", "5"}, ValueType::Str, false, "0101 82 0000 00 0003"},
        {{"read", "D0", "E0_2"},
         ValueType::F32,
         false,
         "0104 82 0000 00 82 0001 00 A0 0002 00 A0 0003 00"},
        {{"read", "D65535", "D0"}, ValueType::U32, false, "D65535 holds no whole value"},
        {{"read", "D0", "D2"}, ValueType::Str, false, "--type str reads one address at a time"},
        {{"fill", "D0", "2", "-1"}, ValueType::I16, false, "0103 82 0000 00 0002 FFFF"},
        {{"fill", "D0", "2", "1"},
         ValueType::U32,
         false,
         "fill writes one word value: --type u16 or i16"},
        {{"copy", "D0", "D1", "1"}, ValueType::I16, false, "--type goes with read, write and fill"},
    });
}

// A write is as long as the largest frame the transport carries: a FINS/TCP body, an IPv4
// datagram.
TEST(FinsClientPlan, WritesTakeAsManyWordsAsOneFrameCarries)
{
    auto write = [](const char* addr, size_t n) {
        std::vector<std::string> args = {"write", addr};
        args.insert(args.end(), n, "1");
        return args;
    };
    const ValueType word = ValueType::Word;
    CheckPlans({
        {write("D0", 32758), word, false, "0102 82 0000 00 7FF6 0001 ..."},
        {write("D0", 32759), word, false, "a write takes at most 32758 words here, not 32759"},
        {write("D0", 32744), word, true, "0102 82 0000 00 7FE8 0001 ..."},
        {write("D0", 32745), word, true, "a write takes at most 32744 words here, not 32745"},
        {write("D0.0", 65489), word, true, "0102 02 0000 00 FFD1 01 ..."},
        {write("D0.0", 65490), word, true, "a write takes at most 65489 bits here, not 65490"},
    });
}

TEST(FinsClientValue, WordsReadBackAsTheirValues)
{
    const struct
    {
        ValueType type;
        std::vector<uint16_t> words;
        const char* shown;
    } cases[] = {
        {ValueType::Word, {0xFFFF}, "65535 (0xFFFF)"},
        {ValueType::I16, {0xFFFF}, "-1 (0xFFFF)"},
        {ValueType::U32, {0x5678, 0x1234}, "305419896 (0x12345678)"},
        {ValueType::I32, {0xFFFE, 0xFFFF}, "-2 (0xFFFFFFFE)"},
        {ValueType::F32, {0xCCCD, 0x3DCC}, "0.1"},
        {ValueType::F32, {0x0000, 0x7F80}, "inf"},
        {ValueType::F64, {0x999A, 0x9999, 0x9999, 0x3FB9}, "0.1"},
        {ValueType::F64, {0x0000, 0x0000, 0x0000, 0xC004}, "-2.5"},
        {ValueType::Str, {0x4241, 0x0043, 0x4545}, "\"ABC\""},
        {ValueType::Str, {0x2241, 0x0A5C, 0x00FF}, "\"A\\\"\\\\\\x0A\\xFF\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DecodeValue(c.type, c.words.data(), c.words.size()), c.shown) << c.shown;
    }
}

TEST(FinsClientValue, ReadAnswersAreSplitIntoValuesOfTheirAddresses)
{
    FinsOptions options;
    options.type = ValueType::U32;
    FinsRequest request{};
    std::string error;
    ASSERT_TRUE(PlanRequest("read", {"D10", "2"}, options, &request, &error)) << error;
    std::vector<ValueLine> lines;
    ASSERT_TRUE(
        DecodeRead(request, {0x00, 0x01, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0xFF}, &lines, &error));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].address + " = " + lines[1].value, "D12 = 4294967295 (0xFFFFFFFF)");
    EXPECT_EQ(lines[0].value, "131073 (0x00020001)");
    EXPECT_FALSE(DecodeRead(request, {0x00, 0x01}, &lines, &error));

    ASSERT_TRUE(PlanRequest("read", {"W1", "CIO2.3"}, FinsOptions{}, &request, &error)) << error;
    ASSERT_TRUE(DecodeRead(request, {0xB1, 0x12, 0x34, 0x30, 0x01}, &lines, &error)) << error;
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].address + " = " + lines[0].value, "W1 = 4660 (0x1234)");
    EXPECT_EQ(lines[1].address + " = " + lines[1].value, "CIO2.3 = 1");
    EXPECT_FALSE(DecodeRead(request, {0xB0, 0x12, 0x34, 0x30, 0x01}, &lines, &error));
}

// Flags beside the main and sub codes do not make a completed command a failure.
TEST(FinsClientEndCode, NamesCodesClassesAndFlags)
{
    const struct
    {
        uint16_t code;
        bool completed;
        const char* text;
    } cases[] = {
        {0x2101, false, "0x2101 (read-only area)"},
        {0x0401, false, "0x0401 (undefined command)"},
        {0x2104, false, "0x2104 (write not possible)"},
        {0x0040, true, "0x0040 (normal completion; the controller has a non-fatal error)"},
        {0x9103, false, "0x9103 (start address out of range; relay error)"},
        {0x7E01, false, "0x7E01 (unknown response code)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FinsResponseText(c.code), c.text);
        EXPECT_EQ(FinsCompleted(c.code), c.completed) << c.text;
    }
}

} // namespace
