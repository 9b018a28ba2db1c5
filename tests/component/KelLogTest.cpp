// The logging adapter against a fake runtime logger: cutting into entries of at most 200
// characters at whitespace, the 254-character format limit, the level table, per cent signs, the
// logger handle's life and a runtime without LogAdd.
#include "base/kellog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "base/CmpImports.h"
#include "base/LogLimiter.h"

#include "tests/support/FakeLogger.h"

namespace {

constexpr RTS_HANDLE kHandle = 0x5A5A;

// n characters of filler with whitespace c at each of the given positions.
std::string Text(size_t n, std::vector<size_t> spaces = {}, char c = ' ')
{
    std::string t;
    for (size_t i = 0; i < n; ++i) {
        t += static_cast<char>('a' + i % 26);
    }
    for (size_t p : spaces) {
        t[p] = c;
    }
    return t;
}

struct CutCase
{
    const char* name;
    std::string text;
    std::vector<std::string> entries;
    int32_t result;
};

TEST(KelLogCut, CutsAtTheLastUsableWhitespace)
{
    const std::string t230at150 = Text(230, {150});
    const std::string t230at5 = Text(230, {5});
    const std::string t450 = Text(450, {120, 199, 300});
    const std::string tab = Text(230, {100}, '\t');
    const std::string lf = Text(230, {100}, '\n');
    const std::string at9 = Text(205, {9});
    const std::string at8 = Text(230, {8});
    const CutCase cases[] = {
        {"empty text", "", {}, 0},
        {"199 characters", Text(199), {Text(199)}, 0},
        {"200 characters ending in a space", Text(200, {199}), {Text(200, {199})}, 0},
        {"200 characters without whitespace", Text(200), {""}, 2},
        {"230 characters without whitespace in the first 200", Text(230, {210}), {""}, 2},
        {"space at 150", t230at150, {t230at150.substr(0, 151), t230at150.substr(151)}, 0},
        {"only early space at 5", t230at5, {t230at5.substr(0, 6)}, 2},
        {"cut at position 8 is refused", at8, {at8.substr(0, 9)}, 2},
        {"cut at position 9 is taken", at9, {at9.substr(0, 10), at9.substr(10)}, 0},
        {"TAB is whitespace", tab, {tab.substr(0, 101), tab.substr(101)}, 0},
        {"LF is whitespace", lf, {lf.substr(0, 101), lf.substr(101)}, 0},
        {"CR is not whitespace", Text(230, {100}, '\r'), {""}, 2},
        {"three entries, the middle one cut at its 200th character",
         t450,
         {t450.substr(0, 200), t450.substr(200, 101), t450.substr(301)},
         0},
    };
    for (const CutCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeLogger logger(kHandle);
        EXPECT_EQ(c.result, kelLogAdd(LOG_CLASS_INFO, 0, 0, c.text.c_str()));
        EXPECT_EQ(c.entries, logger.texts());
    }
}

// Per cent signs reach the logger as formatted and do not shift the cut, even when the entry is
// all per cent signs and its escaped form twice as long.
TEST(KelLogCut, PerCentSignsReachTheLoggerAsFormattedAndDoNotMoveTheCut)
{
    const std::string allPerCent = std::string(199, '%') + " " + std::string(20, '%');
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"100% of %s and %d%%", {"100% of %s and %d%%"}},
        {allPerCent, {allPerCent.substr(0, 200), allPerCent.substr(200)}},
    };
    for (const auto& [text, entries] : cases) {
        FakeLogger logger(kHandle);
        EXPECT_EQ(0, kelLogAdd(LOG_CLASS_INFO, 0, 0, text.c_str()));
        EXPECT_EQ(entries, logger.texts());
        for (const LogRecord& e : logger.entries()) {
            EXPECT_TRUE(e.formatSafe) << e.raw;
        }
    }
}

TEST(KelLogFormat, MessagesAreCutTo254Characters)
{
    FakeLogger logger(kHandle);
    std::string words;
    while (words.size() < 400) {
        words += "word ";
    }
    EXPECT_EQ(0, kelLogAddInfoF("%s", words.c_str()));
    std::string joined;
    for (const std::string& e : logger.texts()) {
        joined += e;
    }
    EXPECT_EQ(words.substr(0, 254), joined);
    EXPECT_EQ(2u, logger.texts().size());
}

struct LevelCase
{
    const char* name;
    int32_t (*log)(const char*, ...);
    uint32_t classId;
    uint32_t errorId;
};

TEST(KelLogLevels, EachLevelPassesItsFixedValues)
{
    const LevelCase cases[] = {
        {"info", &kelLogAddInfoF, 1, 0},      {"warn", &kelLogAddWarnF, 2, 1},
        {"error", &kelLogAddErrorF, 4, 1},    {"debug", &kelLogAddDebugF, 16, 1},
        {"printf", &kelLogAddPrintfF, 32, 1},
    };
    for (const LevelCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeLogger logger(kHandle);
        EXPECT_EQ(0, c.log("%s", c.name));
        ASSERT_EQ(1u, logger.entries().size());
        const LogRecord e = logger.entries()[0];
        EXPECT_EQ(kHandle, e.handle);
        EXPECT_EQ(0x17D24502u, e.cmpId);
        EXPECT_EQ(c.classId, e.classId);
        EXPECT_EQ(c.errorId, e.errorId);
        EXPECT_EQ(0u, e.infoId);
        EXPECT_EQ(c.name, e.text);
    }
    FakeLogger logger(kHandle);
    EXPECT_EQ(0, kelLogAddF(8, 9, 10, "x"));
    ASSERT_EQ(1u, logger.entries().size());
    EXPECT_EQ(8u, logger.entries()[0].classId);
    EXPECT_EQ(9u, logger.entries()[0].errorId);
    EXPECT_EQ(10u, logger.entries()[0].infoId);
    kelLogDelete(); // after that, entries carry the all-bits-set handle
    kelLogAddInfoF("late");
    ASSERT_EQ(2u, logger.entries().size());
    EXPECT_EQ(RTS_INVALID_HANDLE, logger.entries()[1].handle);
}

TEST(KelLogFailure, AFailedEntryDropsTheRestButNeverReachesTheCaller)
{
    FakeLogger logger(kHandle);
    const std::string text = Text(230, {150});
    logger.setResults({5});
    EXPECT_EQ(5, kelLogAdd(LOG_CLASS_INFO, 0, 0, text.c_str()));
    EXPECT_EQ(1u, logger.entries().size());
    logger.clear();
    logger.setResults({5});
    EXPECT_EQ(0, kelLogAddWarnF("%s", text.c_str()));
    EXPECT_EQ(1u, logger.entries().size());
}

// A null logger, a runtime without LogAdd and one without LogGetFirstLogger: nothing is logged and
// nothing fails the caller, even for an entry that cannot be cut.
TEST(KelLogHandle, AMissingLoggerOrImportSilencesEverythingWithoutFailing)
{
    for (int missing = 0; missing < 3; ++missing) {
        SCOPED_TRACE(missing);
        FakeLogger logger(missing == 0 ? 0 : kHandle);
        if (missing == 1) {
            pfLogAdd = nullptr;
        }
        if (missing == 2) {
            pfLogGetFirstLogger = nullptr;
            EXPECT_EQ(-1, kelLogCreate());
        }
        EXPECT_EQ(0, kelLogAdd(LOG_CLASS_ERROR, 1, 0, Text(250).c_str()));
        EXPECT_EQ(0, kelLogAddErrorF("%d", 1));
        EXPECT_TRUE(logger.entries().empty());
    }
}

// --- Rate limit of network-triggered lines ---

TEST(LogLimiter, LetsAFewLinesThroughPerSecondAndReportsTheRestWhenTheTextComesAgain)
{
    FakeLogger logger(kHandle);
    CLogLimiter limiter("peer text:%s", 2);
    struct Step
    {
        int64_t ms;
        bool admitted;
    };
    const Step steps[] = {{5000, true},  {5001, true},  {5500, false}, {5999, false},
                          {6000, true},  {6001, false}, {6002, false}, {9000, true},
                          {9001, false}, {10000, true}};
    for (const Step& s : steps) {
        EXPECT_EQ(s.admitted, limiter.Admit(s.ms)) << s.ms;
    }
    // The summary is the first of its window's two lines.
    const std::string summary = " similar messages suppressed: peer text:%s";
    EXPECT_EQ(logger.texts(),
              (std::vector<std::string>{"2" + summary, "2" + summary, "1" + summary}));
    EXPECT_EQ(LOG_CLASS_ERROR, logger.entries().at(0).classId);
}

// Regressions: the summary named the raw format ("peer text:%s"), not the text as last logged;
// and the count of a flood that simply stopped was never logged (now: the loop's flush).
TEST(LogLimiter, SummaryNamesTheLastLoggedTextAndTheFlushReportsAFloodThatStopped)
{
    FakeLogger logger(kHandle);
    CLogLimiter limiter("peer %s:%d", 1);
    limiter.WarnF("peer %s:%d", "10.0.0.1", 1); // logged, then three left out
    for (int i = 2; i <= 4; ++i) {
        limiter.WarnF("peer %s:%d", "10.0.0.1", i);
    }
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    CLogLimiter::FlushEndedWindows(now + kLogLimitWindowMs / 2); // the window still runs
    EXPECT_EQ(logger.texts(), std::vector<std::string>{"peer 10.0.0.1:1"});
    CLogLimiter::FlushEndedWindows(now + kLogLimitWindowMs);
    CLogLimiter::FlushEndedWindows(now + 3 * kLogLimitWindowMs); // nothing left to report
    EXPECT_EQ(logger.texts(),
              (std::vector<std::string>{"peer 10.0.0.1:1",
                                        "3 similar messages suppressed: peer 10.0.0.1:1"}));
    EXPECT_EQ(LOG_CLASS_WARNING, logger.entries().at(0).classId);
}

} // namespace
