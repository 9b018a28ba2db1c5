// Common helpers: dumps, string helpers, byte order, time, files, text conversion, build facts.
#include "utility/comm.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "tests/support/FakeLogger.h"
#include "tests/utility/TempDir.h"

namespace {

using Strings = std::vector<std::string>;

TEST(CommDump, BitDumpBufGroupsFourBitsWithTrailingBlank)
{
    EXPECT_EQ(CComm::BitDumpBuf(static_cast<char>(0xA5)), "1010 0101 ");
    EXPECT_EQ(CComm::BitDumpBuf(0), "0000 0000 ");
    EXPECT_EQ(CComm::BitDumpBuf(static_cast<char>(0xFF)), "1111 1111 ");
    EXPECT_EQ(CComm::BitDumpBuf(0x01), "0000 0001 ");
}

TEST(CommDump, HexDumpBufWritesLowercaseBytesSeparatedByBlanks)
{
    const char bytes[] = {0x00, 0x7f, static_cast<char>(0x80), static_cast<char>(0xAB)};
    EXPECT_EQ(CComm::HexDumpBuf(bytes, 3), "0x00 0x7f 0x80");
    EXPECT_EQ(CComm::HexDumpBuf(bytes + 3, 1), "0xab");
    EXPECT_EQ(CComm::HexDumpBuf(bytes, 0), "");
    EXPECT_EQ(CComm::HexDumpBuf(bytes, -1), "");
    EXPECT_EQ(CComm::HexDumpBuf(1.0f), "0x00 0x00 0x80 0x3f");
    EXPECT_EQ(CComm::HexDumpBuf(static_cast<short>(0x1234)), "0x34 0x12");
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

TEST(ByteOrder, SwapsAreUnconditional)
{
    EXPECT_EQ(utils_htons(0x1234), 0x3412);
    EXPECT_EQ(utils_ntohs(0x3412), 0x1234);
    EXPECT_EQ(utils_htonl(0x12345678u), 0x78563412u);
    EXPECT_EQ(utils_ntohl(0x78563412u), 0x12345678u);
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

TEST(CodingConv, AsciiComesBackUnchanged)
{
    FakeLogger logger;
    const char text[] = "plain ascii 123";
    EXPECT_EQ(CCodingConv::AnsiToUtf8(text, static_cast<int>(std::strlen(text))), text);
    EXPECT_EQ(CCodingConv::AnsiToUtf8(text, 5), "plain");
    EXPECT_EQ(CCodingConv::AnsiToUtf8(text, 0), "");
    EXPECT_TRUE(logger.entries().empty());
}

TEST(CodingConv, NonAsciiByteIsLoggedAndGivesEmpty)
{
    FakeLogger logger;
    const char text[] = "caf\xC3\xA9";
    EXPECT_EQ(CCodingConv::AnsiToUtf8(text, 5), "");
    ASSERT_EQ(logger.entries().size(), 1u);
    EXPECT_EQ(logger.texts()[0], std::string("iconv:") + std::strerror(EILSEQ));
    EXPECT_EQ(logger.entries()[0].classId, 4u); // the error level
}

TEST(CodingConv, UnallocatableLengthsAreLoggedAsMallocFailures)
{
    FakeLogger logger;
    // Four times 2^30 does not fit an int (it wraps to 0); a negative length cannot be
    // allocated either. Neither may reach iconv, which would read past the one-byte text.
    const std::string noMemory = std::strerror(ENOMEM);
    EXPECT_EQ(CCodingConv::AnsiToUtf8("x", 1 << 30), "");
    EXPECT_EQ(CCodingConv::AnsiToUtf8("x", -1), "");
    EXPECT_EQ(logger.texts(),
              Strings({"malloc size:0 fail," + noMemory, "malloc size:-4 fail," + noMemory}));
}

} // namespace
