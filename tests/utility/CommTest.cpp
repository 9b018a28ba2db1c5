// Common helpers: dumps, string helpers, byte order, time, files, text conversion, build facts.
#include "utility/comm.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "tests/support/FakeLogger.h"
#include "tests/utility/TempDir.h"

namespace {

using Strings = std::vector<std::string>;

// Bits in groups of four with a trailing blank; lowercase bytes in memory order; swaps that do
// not depend on the host's order.
TEST(CommDump, DumpsAndSwapsGiveTheseTexts)
{
    const char bytes[] = {0x00, 0x7f, static_cast<char>(0x80), static_cast<char>(0xAB)};
    EXPECT_EQ(CComm::BitDumpBuf(static_cast<char>(0xA5)), "1010 0101 ");
    EXPECT_EQ(CComm::BitDumpBuf(0x01), "0000 0001 ");
    EXPECT_EQ(CComm::HexDumpBuf(bytes, 3), "0x00 0x7f 0x80");
    EXPECT_EQ(CComm::HexDumpBuf(bytes + 3, 1), "0xab");
    EXPECT_EQ(CComm::HexDumpBuf(bytes, 0), "");
    EXPECT_EQ(CComm::HexDumpBuf(bytes, -1), "");
    EXPECT_EQ(CComm::HexDumpBuf(1.0f), "0x00 0x00 0x80 0x3f");
    EXPECT_EQ(CComm::HexDumpBuf(static_cast<short>(0x1234)), "0x34 0x12");
    EXPECT_EQ(utils_htons(0x1234), 0x3412);
    EXPECT_EQ(utils_ntohs(0x3412), 0x1234);
    EXPECT_EQ(utils_htonl(0x12345678u), 0x78563412u);
    EXPECT_EQ(utils_ntohl(0x78563412u), 0x12345678u);
}

TEST(StringHelper, StrtrimRemovesBlanksAndLineEndsButNotTabs)
{
    struct Case
    {
        std::string in, out;
    } cases[] = {{"\t x \r\n", "\t x"}, {"  a b  ", "a b"}, {"", ""},
                 {" \r\n ", ""},        {"x", "x"},         {"\nx\t", "x\t"}};
    for (const Case& c : cases) {
        EXPECT_EQ(CStringHelper::Strtrim(c.in), c.out) << '"' << c.in << '"';
    }
}

TEST(StringHelper, StriSplitKeepsEmptyPiecesBetweenSeparators)
{
    struct Case
    {
        std::string text, sep;
        Strings parts;
    } cases[] = {
        {"a,b,,c", ",", {"a", "b", "", "c"}},
        {",a", ",", {"", "a"}},
        {"a,", ",", {"a", ""}},
        {"a", ",", {"a"}},
        {"", ",", {""}},
        {"a::b", "::", {"a", "b"}},
        {"a:b", "::", {"a:b"}},
        {"A,a", "a", {"A,", ""}},
        // An empty separator would match everywhere without advancing: the text comes back whole.
        {"abc", "", {"abc"}},
        {"", "", {""}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CStringHelper::StriSplit(c.text, c.sep), c.parts)
            << '"' << c.text << "\" by \"" << c.sep << '"';
    }
}

TEST(Sleep, NonPositiveDurationsReturnAtOnce)
{
    // A negative duration taken as unsigned would sleep for weeks; the bound is only a guard.
    CTimestamp stopwatch;
    EXPECT_EQ(CComm::Sleep(0), 0);
    EXPECT_EQ(CComm::Sleep(-5), 0);
    EXPECT_LT(stopwatch.getElapsedSecond(), 1.0);
}

TEST(BuildDate, ParsesMonthDayAndYearOfTheCompilerForm)
{
    struct Case
    {
        const char* date;
        unsigned year;
        int month, day;
    } cases[] = {{"Jan  1 2024", 2024, 1, 1},
                 {"Feb 29 2020", 2020, 2, 29},
                 {"Sep  9 1999", 1999, 9, 9},
                 {"Dec 31 2030", 2030, 12, 31},
                 // An unknown month leaves the month alone.
                 {"Foo 12 2001", 2001, 77, 12}};
    for (const Case& c : cases) {
        unsigned year = 0;
        unsigned char month = 77;
        unsigned char day = 0;
        ParseCompileDate(c.date, &year, &month, &day);
        EXPECT_EQ(year, c.year) << c.date;
        EXPECT_EQ(month, c.month) << c.date;
        EXPECT_EQ(day, c.day) << c.date;
    }
}

TEST(FileHelper, CreatesFilesAndDirectoriesOnce)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    std::string file = dir.file("file");
    EXPECT_FALSE(CFileHelper::IsFileExist(file.c_str()));
    EXPECT_TRUE(CFileHelper::CreateGeneralFile(file.c_str()));
    EXPECT_TRUE(CFileHelper::IsFileExist(file.c_str()));
    struct stat info;
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_TRUE(CFileHelper::CreateGeneralFile(file.c_str())); // truncating an existing file

    std::string sub = dir.file("sub");
    EXPECT_TRUE(CFileHelper::CreateDir(sub.c_str()));
    EXPECT_FALSE(CFileHelper::CreateDir(sub.c_str()));
    EXPECT_FALSE(CFileHelper::CreateDir(dir.file("no/parent").c_str()));
    EXPECT_FALSE(CFileHelper::CreateGeneralFile(dir.file("no/parent").c_str()));
}

// Non-ASCII bytes and lengths that cannot be allocated give "" and one error line; a length of
// four times 2^30 does not fit an int (it wraps to 0), and neither may reach iconv, which would
// read past the one-byte text.
TEST(CodingConv, AsciiComesBackUnchangedAndFailuresAreLogged)
{
    const std::string noMemory = std::strerror(ENOMEM);
    const struct
    {
        const char* text;
        int len;
        std::string result;
        Strings logged;
    } cases[] = {
        {"plain ascii 123", 15, "plain ascii 123", {}},
        {"plain ascii 123", 5, "plain", {}},
        {"plain", 0, "", {}},
        {"caf\xC3\xA9", 5, "", {std::string("iconv:") + std::strerror(EILSEQ)}},
        {"x", 1 << 30, "", {"malloc size:0 fail," + noMemory}},
        {"x", -1, "", {"malloc size:-4 fail," + noMemory}},
    };
    for (const auto& c : cases) {
        FakeLogger logger;
        EXPECT_EQ(CCodingConv::AnsiToUtf8(c.text, c.len), c.result) << c.text << " " << c.len;
        EXPECT_EQ(logger.texts(), c.logged) << c.text << " " << c.len;
        for (const LogRecord& e : logger.entries()) {
            EXPECT_EQ(e.classId, 4u); // the error level
        }
    }
}

} // namespace
