// The fins command-line client against the running runtime-host: what a user types and sees.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/FinsTestClient.h"
#include "tests/support/HostProcess.h"

namespace {

class FinsCliTest : public HostTest
{
protected:
    // The client against this test program's host.
    static ProgramResult Fins(std::vector<std::string> args)
    {
        args.insert(args.end(), {"--port", std::to_string(TestPort())});
        return RunProgram("fins", args);
    }
};

TEST_F(FinsCliTest, ChangesAndReadsWordsBitsAndTypedValuesOverTcpAndUdp)
{
    StartHost();
    const struct
    {
        std::vector<std::string> change;
        std::vector<std::string> read;
        const char* expected;
    } cases[] = {
        {{"write", "D100", "1", "0x1234", "65535"},
         {"read", "D100", "3"},
         "D100 = 1 (0x0001)\nD101 = 4660 (0x1234)\nD102 = 65535 (0xFFFF)\n"},
        {{"--udp", "write", "CIO32768", "-1"},
         {"--udp", "read", "CIO32768"},
         "CIO32768 = 65535 (0xFFFF)\n"},
        {{"write", "D7.15", "1", "0", "1"},
         {"--udp", "read", "d7.14", "4"},
         "D7.14 = 0\nD7.15 = 1\nD8.0 = 0\nD8.1 = 1\n"},
        {{"--udp", "write", "CIO10.3", "1"}, {"read", "CIO10"}, "CIO10 = 8 (0x0008)\n"},
        // The last word of each segment the host gives: CIO65535 ends the outputs, D65535 DM.
        {{"write", "CIO65535", "0x7777"},
         {"--udp", "read", "CIO65535"},
         "CIO65535 = 30583 (0x7777)\n"},
        {{"--udp", "write", "D65535", "0x5A5A"}, {"read", "D65535"}, "D65535 = 23130 (0x5A5A)\n"},
        {{"fill", "D200", "2", "0x0BCD", "--udp"},
         {"read", "D200", "CIO10.3", "d201", "D202"},
         "D200 = 3021 (0x0BCD)\nCIO10.3 = 1\nD201 = 3021 (0x0BCD)\nD202 = 0 (0x0000)\n"},
        {{"copy", "D200", "CIO32900", "2"},
         {"read", "CIO32900", "3", "--udp"},
         "CIO32900 = 3021 (0x0BCD)\nCIO32901 = 3021 (0x0BCD)\nCIO32902 = 0 (0x0000)\n"},
        // Values of several words go low word first (the word reads show the order that the
        // application's little-endian variables have in its segments), a string's first character
        // in the low byte, its NUL written with it.
        {{"write", "D300", "--type", "u32", "4000000000", "1"},
         {"read", "D300", "2", "--type", "u32"},
         "D300 = 4000000000 (0xEE6B2800)\nD302 = 1 (0x00000001)\n"},
        {{"--udp", "write", "CIO40", "--type", "i32", "-100000"},
         {"read", "D300", "CIO40", "--type", "i32", "--udp"},
         "D300 = -294967296 (0xEE6B2800)\nCIO40 = -100000 (0xFFFE7960)\n"},
        {{"write", "D310", "--type", "f32", "-0.1"},
         {"read", "D310", "--type", "f32"},
         "D310 = -0.1\n"},
        {{"write", "D310", "--type", "f32", "-0.1"},
         {"read", "D310", "2"},
         "D310 = 52429 (0xCCCD)\nD311 = 48588 (0xBDCC)\n"},
        {{"write", "CIO32800", "--type", "f64", "1e300", "--udp"},
         {"read", "CIO32800", "--type", "f64"},
         "CIO32800 = 1e+300\n"},
        {{"write", "D320", "--type", "str", "Hello, FINS"},
         {"read", "D320", "--type", "str", "--udp"},
         "D320 = \"Hello, FINS\"\n"},
        {{"write", "D320", "--type", "str", "Hi"},
         {"read", "D320", "3", "--type", "u16"},
         "D320 = 26952 (0x6948)\nD321 = 0 (0x0000)\nD322 = 11375 (0x2C6F)\n"},
        {{"fill", "CIO50", "2", "--type", "i16", "-2"},
         {"read", "CIO50", "2", "--type", "i16"},
         "CIO50 = -2 (0xFFFE)\nCIO51 = -2 (0xFFFE)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        ProgramResult w = Fins(c.change);
        ASSERT_TRUE(w.finished);
        EXPECT_EQ(w.exitCode, 0) << w.err;
        ProgramResult r = Fins(c.read);
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, c.expected);
    }
}

// --interval prints every value once, then only the ones that change, until Ctrl-C ends it with
// exit status 0.
TEST_F(FinsCliTest, IntervalReadPrintsChangesUntilInterrupted)
{
    StartHost();
    HostProcess watch(
        {"read", "D400", "2", "--interval", "20", "--port", std::to_string(TestPort())}, "fins");
    ASSERT_TRUE(watch.Start());
    auto waitFor = [&watch](const std::string& text) {
        for (int i = 0; i < 500 && watch.Output().find(text) == std::string::npos; ++i) {
            (void)poll(nullptr, 0, 10);
        }
        return watch.Output().find(text) != std::string::npos;
    };
    ASSERT_TRUE(waitFor("D401 = 0 (0x0000)\n")) << watch.Output();
    ASSERT_EQ(Fins({"write", "D401", "7"}).exitCode, 0);
    ASSERT_TRUE(waitFor("D401 = 7 (0x0007)\n")) << watch.Output();
    ASSERT_TRUE(watch.Signal(SIGINT));
    int exitCode = -1;
    ASSERT_TRUE(watch.WaitExit(kExitTimeoutMs, &exitCode));
    EXPECT_EQ(exitCode, 0) << watch.Log();
    const std::regex expected("(\\d\\d:\\d\\d:\\d\\d\\.\\d{3} D40[01] = 0 \\(0x0000\\)\n){2}"
                              "\\d\\d:\\d\\d:\\d\\d\\.\\d{3} D401 = 7 \\(0x0007\\)\n");
    EXPECT_TRUE(std::regex_match(watch.Output(), expected)) << watch.Output();
}

// The host's application options reach the component: segment sizes, a missing segment and no
// application decide what is served. The client names each refusal and exits 3; a refused write
// leaves the word as it was. Rows of one host follow each other.
TEST_F(FinsCliTest, HostSegmentOptionsDecideWhatIsServedAndRefusalsAreNamed)
{
    const std::vector<std::string> small = {"--memory-bytes", "100", "--input-bytes", "4"};
    const struct
    {
        std::vector<std::string> host;
        std::vector<std::string> args;
        int exitCode;
        const char* shown; // standard output for exit 0, part of standard error otherwise
    } cases[] = {
        {small, {"read", "D49"}, 0, "D49 = 0 (0x0000)\n"},
        {small, {"--udp", "read", "D50"}, 3, "0x1103 (start address out of range)"},
        {small, {"write", "D49", "0x1111", "0x1111"}, 3, "0x1104 (end address out of range)"},
        {small, {"read", "D49"}, 0, "D49 = 0 (0x0000)\n"},
        {small, {"read", "CIO1.15"}, 0, "CIO1.15 = 0\n"},
        {small, {"read", "CIO1.15", "2"}, 3, "0x1104"},
        {{"--no-segment", "I"}, {"--udp", "read", "CIO0"}, 3, "0x1103"},
        {{"--no-app"}, {"read", "D0"}, 3, "0x1103"},
        {{"--no-app"}, {"write", "CIO32768", "1"}, 3, "0x1103"},
    };
    std::vector<std::string> running;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host[0] + ": " + c.args[0] + " " + c.args[1]);
        if (host == nullptr || running != c.host) {
            if (host != nullptr) {
                StopHost();
            }
            StartHost(c.host);
            ASSERT_FALSE(HasFatalFailure());
            running = c.host;
        }
        ProgramResult r = Fins(c.args);
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_TRUE(c.exitCode == 0 ? r.out == c.shown : r.err.find(c.shown) != std::string::npos)
            << r.out << r.err;
    }
}

TEST_F(FinsCliTest, ReportsControllerDataStatusAndClock)
{
    StartHost();
    const struct
    {
        std::vector<std::string> args;
        const char* pattern;
    } cases[] = {
        {{"info"}, "model: DrvFins Soft PLC\nversion: 3\\.5\\.18\\.0\nDM words: 65535\n"},
        {{"--udp", "status"}, "status: running\nmode: RUN\nerrors: none\n"},
        {{"clock"}, "20\\d\\d-[01]\\d-[0-3]\\d [0-2]\\d:[0-5]\\d:[0-6]\\d [A-Z][a-z]+day\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        ProgramResult r = Fins(c.args);
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(std::regex_match(r.out, std::regex(c.pattern))) << r.out;
    }
}

TEST(FinsCli, RefusesBadAddressesAndValuesWithUsage)
{
    const std::vector<std::vector<std::string>> cases = {
        {"read", "X100"},
        {"read", "D65536"},
        {"read", "D1.16"},
        {"write", "D1.2", "2"},
        {"write", "D1", "65536"},
        {"write", "D1"},
        {"frobnicate", "D1"},
        {"read"},
        {"read", "D0", "2001"},
        {"read", "D0", "0"},
        {"read", "D1", "D2", "5"},
        {"--port", "70000", "read", "D0"},
        {"read", "D0", "--port", "x"},
        {"fill", "D0.1", "3", "4"},
        {"fill", "D0", "3"},
        {"copy", "D0", "D1", "2001"},
        {"info", "D0"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args[0] + " " + (args.size() > 1 ? args[1] : ""));
        ProgramResult r = RunProgram("fins", args);
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_NE(r.err.find("usage:"), std::string::npos) << r.err;
    }
}

// A UDP socket of the test that never answers: the client must give up by itself.
TEST(FinsCli, TimesOutCleanlyWhenNoServerAnswers)
{
    const int silent = OpenUdp();
    ASSERT_GE(silent, 0);
    const std::string port = std::to_string(ntohs(LocalAddr(silent).sin_port));
    ProgramResult r =
        RunProgram("fins", {"read", "D0", "--udp", "--port", port, "--timeout", "300"});
    close(silent);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("no answer within 300 ms"), std::string::npos) << r.err;
}

} // namespace
