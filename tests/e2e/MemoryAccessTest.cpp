// The host's segment options through the running runtime-host. Word and bit round trips through
// the host are the fins client's tests (FinsCliTest), the range rules the protocol's own.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/FinsTestClient.h"
#include "tests/support/HostProcess.h"

namespace {

using MemoryAccessTest = HostTest;

// The host's application options reach the component: segment sizes and no application. Each row
// is one host; a refused write must leave the word as it was.
TEST_F(MemoryAccessTest, TheHostsSegmentOptionsDecideWhatIsServed)
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
        std::vector<Access> accesses;
    } cases[] = {
        {{"--memory-bytes", "100", "--input-bytes", "4"},
         {{kDmWord, 49, 0, 1, false, kRespOk},
          {kDmWord, 50, 0, 1, false, kRespStartOutOfRange},
          {kDmWord, 49, 0, 2, true, kRespEndOutOfRange},
          {kCioBit, 1, 15, 1, false, kRespOk},
          {kCioBit, 1, 15, 2, false, kRespEndOutOfRange}}},
        {{"--no-app"},
         {{kDmWord, 0, 0, 1, false, kRespStartOutOfRange},
          {kCioWord, kCioOutputs, 0, 1, true, kRespStartOutOfRange}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        StartHost(c.args);
        ASSERT_FALSE(HasFatalFailure());
        FinsTestClient client;
        ASSERT_TRUE(client.ConnectTcp());
        ASSERT_TRUE(client.Handshake(0));
        for (const Access& a : c.accesses) {
            SCOPED_TRACE(testing::Message() << "word " << a.word << " count " << a.count);
            const FinsResult r = a.write ? client.Write(a.area, a.word, a.bit, a.count,
                                                        std::string(2u * a.count, '\x11'))
                                         : client.Read(a.area, a.word, a.bit, a.count);
            ASSERT_TRUE(r.answered);
            EXPECT_EQ(r.code, a.code);
        }
        const FinsResult untouched = client.ReadWords(kDmWord, 49, 1);
        EXPECT_TRUE(!untouched.answered || untouched.code != kRespOk ||
                    untouched.data == Hex("0000"))
            << "a refused write wrote";
        StopHost();
        host.reset();
    }
}

} // namespace
