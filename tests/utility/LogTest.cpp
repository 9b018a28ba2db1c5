// Console logger: exact line formats and colours on standard output, and the level filter.
#include "utility/log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <pthread.h>
#include <regex>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string kRed = "\x1b[31m";
const std::string kYellow = "\x1b[33m";
const std::string kWhite = "\x1b[37m";
const std::string kGreen = "\x1b[32m";
const std::string kTimestamp = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3})";

// Escapes regex metacharacters of a literal piece.
std::string Literal(const std::string& s)
{
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(s, special, R"(\$&)");
}

class ConsoleLog : public ::testing::Test
{
protected:
    void TearDown() override { SetLogLevel(0); }
};

TEST_F(ConsoleLog, LongFormLineHasTimestampColourLocationAndThreadId)
{
    testing::internal::CaptureStdout();
    utils_log_message(UTILS_LOG_ERROR, "/src/net/server", "run", 42, "value %d of %s", 7, "x");
    std::string out = testing::internal::GetCapturedStdout();
    auto tid = static_cast<unsigned>(syscall(SYS_gettid));
    std::regex line("^" + kTimestamp + " " + Literal(kRed + "[libvor,ERROR,server,run,42,") +
                    std::to_string(tid) + Literal(kWhite + "]:value 7 of x") + "\n$");
    EXPECT_TRUE(std::regex_match(out, line)) << out;
}

TEST_F(ConsoleLog, ShortFormLineIsGreenWithThePthreadHandle)
{
    testing::internal::CaptureStdout();
    utils_log_message(UTILS_LOG_INFO, "count=%d", 3);
    std::string out = testing::internal::GetCapturedStdout();
    char handle[16];
    std::snprintf(handle, sizeof handle, "%x", static_cast<unsigned>(pthread_self()));
    std::regex line("^" + kTimestamp + " " + Literal(kGreen + "[libvor,INFO]" + kWhite) + " ,0x" +
                    handle + ":count=3\n$");
    EXPECT_TRUE(std::regex_match(out, line)) << out;
}

// The long form shows the file argument's part after the last slash.
TEST_F(ConsoleLog, LevelNamesColoursAndFileNames)
{
    struct Case
    {
        int level;
        const char* name;
        int colour;
        const char* file;
        const char* shown;
    } cases[] = {{4, "WARNING", 0, "/src/net/server", "server"},
                 {16, "CRITICAL", 1, "main.cpp", "main.cpp"},
                 {3, "UNKNOWN", 1, "dir/", ""},
                 {512, "UNKNOWN", 1, "a/b/c.cpp", "c.cpp"}};
    SetLogLevel(-1);
    for (const Case& c : cases) {
        int colour = -1;
        EXPECT_STREQ(GetLogLevelStr(c.level, &colour), c.name) << c.level;
        EXPECT_EQ(colour, c.colour) << c.level;

        testing::internal::CaptureStdout();
        utils_log_message(c.level, c.file, "fn", 1, "m");
        std::string out = testing::internal::GetCapturedStdout();
        std::string seq = c.colour == 0 ? kRed : kYellow;
        EXPECT_NE(out.find(seq + "[libvor," + c.name + "," + c.shown + ",fn,1,"), std::string::npos)
            << c.level << ": " << out;
    }
}

// The initial threshold prints every named level but nothing below zero; a set one drops the
// lower levels in both forms.
TEST_F(ConsoleLog, ThresholdDropsLowerLevelsInBothForms)
{
    {
        testing::internal::CaptureStdout();
        for (int level : {0, 1, 2, 4, 8, 16, 32, 256}) {
            utils_log_message(level, "m");
        }
        utils_log_message(-1, "m");
        utils_log_message(-1, "file", "fn", 1, "m");
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 8) << out;
        EXPECT_EQ(out.find("UNKNOWN"), std::string::npos);
    }
    SetLogLevel(UTILS_LOG_ERROR);
    testing::internal::CaptureStdout();
    for (int level : {2, 4, 8, 16, 32, 256}) {
        utils_log_message(level, "short");
        utils_log_message(level, "file", "fn", 1, "long");
    }
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("WARNING"), std::string::npos);
    EXPECT_EQ(out.find("INFO"), std::string::npos);
    for (const char* name : {"ERROR", "CRITICAL", "NOTICE", "COMM"}) {
        EXPECT_NE(out.find(std::string("[libvor,") + name + "]"), std::string::npos) << name;
        EXPECT_NE(out.find(std::string("[libvor,") + name + ",file"), std::string::npos) << name;
    }
}

TEST_F(ConsoleLog, LongMessagesAreCutTo8191Characters)
{
    const std::string message(10000, 'm');
    testing::internal::CaptureStdout();
    utils_log_message(UTILS_LOG_INFO, "%s", message.c_str());
    utils_log_message(UTILS_LOG_INFO, "f", "fn", 1, "%s", message.c_str());
    std::string out = testing::internal::GetCapturedStdout();
    std::regex run("m+\n");
    std::vector<size_t> lengths;
    for (std::sregex_iterator it(out.begin(), out.end(), run), end; it != end; ++it) {
        lengths.push_back(it->length() - 1);
    }
    EXPECT_EQ(lengths, (std::vector<size_t>{8191, 8191}));
}

} // namespace
