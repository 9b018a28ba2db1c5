// Word and bit reads and writes in CIO and DM through the running runtime-host, over FINS/TCP and
// FINS/UDP, with the segment sizes the host was started with.
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

TEST_P(MemoryAccessTest, WordWritesReadBackInDmCioInputsAndCioOutputs)
{
    StartHost();
    FinsTestClient client;
    Open(client);
    const struct
    {
        uint8_t area;
        uint16_t word;
        std::vector<uint16_t> values;
    } cases[] = {
        {kDmWord, 100, {0x1234, 0xABCD, 0x0000, 0xFFFF}},
        {kDmWord, 65535, {0x5A5A}},
        {kCioWord, 10, {0x0102, 0x0304}},
        {kCioWord, kCioOutputs + 5, {0xBEEF}},
        {kCioWord, 0xFFFF, {0x7777}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "area " << int{c.area} << " word " << c.word);
        ExpectCode(client.WriteWords(c.area, c.word, c.values), kRespOk);
        FinsResult r = client.ReadWords(c.area, c.word, static_cast<uint16_t>(c.values.size()));
        ExpectCode(r, kRespOk);
        EXPECT_EQ(WireToWords(r.data), c.values);
    }
}

TEST_P(MemoryAccessTest, BitWritesLandOnTheirBitsAndCarryIntoTheNextWord)
{
    StartHost();
    FinsTestClient client;
    Open(client);
    const struct
    {
        uint8_t bitArea;
        uint8_t wordArea;
        uint16_t word;
    } cases[] = {
        {kDmBit, kDmWord, 200}, {kCioBit, kCioWord, 20}, {kCioBit, kCioWord, kCioOutputs + 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.word);
        ExpectCode(client.WriteWords(c.wordArea, c.word, {0x0000, 0xFFFF}), kRespOk);
        // Bits 14 and 15 of the first word and bit 0 of the next: 1, 0, 0.
        ExpectCode(client.Write(c.bitArea, c.word, 14, 3, Hex("01 FE 00")), kRespOk);
        FinsResult words = client.ReadWords(c.wordArea, c.word, 2);
        ExpectCode(words, kRespOk);
        EXPECT_EQ(WireToWords(words.data), (std::vector<uint16_t>{0x4000, 0xFFFE}));
        FinsResult bits = client.Read(c.bitArea, c.word, 13, 4);
        ExpectCode(bits, kRespOk);
        EXPECT_EQ(bits.data, Hex("00 01 00 00"));
    }
}

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
