// The host's segment options through the running runtime-host, over FINS/TCP and FINS/UDP. Word
// and bit round trips through the host are the fins client's tests (FinsCliTest).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/FinsTestClient.h"
#include "tests/support/HostProcess.h"

namespace {

class MemoryAccessTest : public HostTest, public ::testing::WithParamInterface<bool>
{
protected:
    // A client over the transport of this run (TCP with the handshake done, or UDP).
    void Open(FinsTestClient& client)
    {
        if (GetParam()) {
            ASSERT_TRUE(client.OpenUdp());
        } else {
            ASSERT_TRUE(client.ConnectTcp());
            ASSERT_TRUE(client.Handshake(0));
        }
    }

    static void ExpectCode(const FinsResult& r, uint16_t code)
    {
        ASSERT_TRUE(r.answered);
        EXPECT_EQ(r.code, code);
    }
};

// The host's application options reach the component: segment sizes, no application, a missing
// segment. Each row is one host; a refused write must leave the word as it was.
TEST_P(MemoryAccessTest, TheHostsSegmentOptionsDecideWhatIsServed)
{
    struct Access
    {
        uint8_t area;
        uint16_t word;
        uint8_t bit;
        uint16_t count;
        bool write;
        uint16_t code;
    };
    const struct
    {
        std::vector<std::string> args;
        const char* logged;
        std::vector<Access> accesses;
    } cases[] = {
        {{"--memory-bytes", "100", "--input-bytes", "4"},
         "",
         {{kDmWord, 49, 0, 1, false, kRespOk},
          {kDmWord, 50, 0, 1, false, kRespStartOutOfRange},
          {kDmWord, 49, 0, 2, false, kRespEndOutOfRange},
          {kDmWord, 49, 0, 2, true, kRespEndOutOfRange},
          {kCioBit, 1, 15, 1, false, kRespOk},
          {kCioBit, 1, 15, 2, false, kRespEndOutOfRange}}},
        {{"--no-app"},
         "CAL_AppGetFirstApp instance fail",
         {{kDmWord, 0, 0, 1, false, kRespStartOutOfRange},
          {kCioWord, 0, 0, 1, false, kRespStartOutOfRange},
          {kCioWord, kCioOutputs, 0, 1, true, kRespStartOutOfRange}}},
        {{"--no-segment", "Q"},
         "failed to GetSegmentAddress:OUTPUT(Q)",
         {{kCioWord, kCioOutputs, 0, 1, false, kRespStartOutOfRange},
          {kCioWord, 0, 0, 1, false, kRespOk},
          {kDmWord, 0, 0, 1, false, kRespOk}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        StartHost(c.args);
        ASSERT_FALSE(HasFatalFailure());
        if (*c.logged != '\0') {
            EXPECT_EQ(host->CountLog(c.logged), 1);
        }
        FinsTestClient client;
        Open(client);
        for (const Access& a : c.accesses) {
            SCOPED_TRACE(testing::Message() << "word " << a.word << " count " << a.count);
            ExpectCode(a.write ? client.Write(a.area, a.word, a.bit, a.count,
                                              std::string(2u * a.count, '\x11'))
                               : client.Read(a.area, a.word, a.bit, a.count),
                       a.code);
        }
        const FinsResult untouched = client.ReadWords(kDmWord, 49, 1);
        EXPECT_TRUE(!untouched.answered || untouched.code != kRespOk ||
                    untouched.data == Hex("0000"))
            << "a refused write wrote";
        StopHost();
        host.reset();
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, MemoryAccessTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) {
                             return param.param ? std::string("Udp") : std::string("Tcp");
                         });

} // namespace
