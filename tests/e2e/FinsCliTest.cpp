// The fins command-line client against the running runtime-host: what a user types and sees.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/e2e/E2eFixture.h"

namespace {

using finstest::ProgramResult;
using finstest::RunProgram;

class FinsCliTest : public E2eTest
{
protected:
    static ProgramResult Fins(std::vector<std::string> args) { return RunProgram("fins", args); }
};

TEST_F(FinsCliTest, WritesAndReadsWordsAndBitsOverTcpAndUdp)
{
    StartHost();
    const struct
    {
        std::vector<std::string> write;
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
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        ProgramResult w = Fins(c.write);
        ASSERT_TRUE(w.finished);
        EXPECT_EQ(w.exitCode, 0) << w.err;
        ProgramResult r = Fins(c.read);
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, c.expected);
    }
}

TEST_F(FinsCliTest, NamesFinsResponseCodesAndExitsNonZero)
{
    StartHost({"--no-segment", "I"});
    const struct
    {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"read", "D65535", "2"}, "0x1104 (end address out of range)"},
        {{"read", "D0", "2001"}, "0x1102"},
        {{"--udp", "read", "CIO0"}, "0x1103 (start address out of range)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        ProgramResult r = Fins(c.args);
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

TEST(FinsCli, RefusesBadAddressesAndValuesWithUsage)
{
    const std::vector<std::vector<std::string>> cases = {
        {"read", "X100"},         {"read", "D65536"}, {"read", "D1.16"},    {"write", "D1.2", "2"},
        {"write", "D1", "65536"}, {"write", "D1"},    {"frobnicate", "D1"}, {"read"},
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
    int silent = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(silent, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ASSERT_EQ(getsockname(silent, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    std::string port = std::to_string(ntohs(addr.sin_port));
    ProgramResult r =
        RunProgram("fins", {"--udp", "--port", port, "--timeout", "300", "read", "D0"});
    close(silent);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("no answer within 300 ms"), std::string::npos) << r.err;
}

} // namespace
