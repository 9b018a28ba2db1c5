// Word and bit reads and writes in CIO and DM through the running runtime-host, over FINS/TCP and
// FINS/UDP, with the segment sizes the host was started with.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/E2eFixture.h"

namespace {

using finstest::Bytes;
using finstest::FinsResult;
using finstest::FinsTestClient;
using finstest::WireToWords;

class MemoryAccessTest : public E2eTest, public ::testing::WithParamInterface<bool>
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
        {finstest::kDmWord, 100, {0x1234, 0xABCD, 0x0000, 0xFFFF}},
        {finstest::kDmWord, 65535, {0x5A5A}},
        {finstest::kCioWord, 10, {0x0102, 0x0304}},
        {finstest::kCioWord, finstest::kCioOutputs + 5, {0xBEEF}},
        {finstest::kCioWord, 0xFFFF, {0x7777}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "area " << int{c.area} << " word " << c.word);
        ExpectCode(client.WriteWords(c.area, c.word, c.values), finstest::kRespOk);
        FinsResult r = client.ReadWords(c.area, c.word, static_cast<uint16_t>(c.values.size()));
        ExpectCode(r, finstest::kRespOk);
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
    } cases[] = {{finstest::kDmBit, finstest::kDmWord, 200},
                 {finstest::kCioBit, finstest::kCioWord, 20},
                 {finstest::kCioBit, finstest::kCioWord, finstest::kCioOutputs + 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.word);
        ExpectCode(client.WriteWords(c.wordArea, c.word, {0x0000, 0xFFFF}), finstest::kRespOk);
        // Bits 14 and 15 of the first word and bit 0 of the next: 1, 0, 0.
        ExpectCode(client.Write(c.bitArea, c.word, 14, 3, Bytes{0x01, 0xFE, 0x00}),
                   finstest::kRespOk);
        FinsResult words = client.ReadWords(c.wordArea, c.word, 2);
        ExpectCode(words, finstest::kRespOk);
        EXPECT_EQ(WireToWords(words.data), (std::vector<uint16_t>{0x4000, 0xFFFE}));
        FinsResult bits = client.Read(c.bitArea, c.word, 13, 4);
        ExpectCode(bits, finstest::kRespOk);
        EXPECT_EQ(bits.data, (Bytes{0x00, 0x01, 0x00, 0x00}));
    }
}

TEST_P(MemoryAccessTest, AccessesPastTheSegmentsAreRefusedWithTheirRangeCode)
{
    StartHost({"--memory-bytes", "100", "--input-bytes", "4"});
    FinsTestClient client;
    Open(client);
    ExpectCode(client.ReadWords(finstest::kDmWord, 49, 1), finstest::kRespOk);
    ExpectCode(client.ReadWords(finstest::kDmWord, 50, 1), finstest::kRespStartOutOfRange);
    ExpectCode(client.ReadWords(finstest::kDmWord, 49, 2), finstest::kRespEndOutOfRange);
    ExpectCode(client.WriteWords(finstest::kDmWord, 49, {1, 2}), finstest::kRespEndOutOfRange);
    ExpectCode(client.Read(finstest::kCioBit, 1, 15, 1), finstest::kRespOk);
    ExpectCode(client.Read(finstest::kCioBit, 1, 15, 2), finstest::kRespEndOutOfRange);
    FinsResult untouched = client.ReadWords(finstest::kDmWord, 49, 1);
    ExpectCode(untouched, finstest::kRespOk);
    EXPECT_EQ(WireToWords(untouched.data), std::vector<uint16_t>{0}) << "a refused write wrote";
}

TEST_P(MemoryAccessTest, NoApplicationAnswersEveryAccessWithStartOutOfRange)
{
    StartHost({"--no-app"});
    EXPECT_EQ(host->CountLog("CAL_AppGetFirstApp instance fail"), 1);
    FinsTestClient client;
    Open(client);
    ExpectCode(client.ReadWords(finstest::kDmWord, 0, 1), finstest::kRespStartOutOfRange);
    ExpectCode(client.ReadWords(finstest::kCioWord, 0, 1), finstest::kRespStartOutOfRange);
    ExpectCode(client.WriteWords(finstest::kCioWord, finstest::kCioOutputs, {1}),
               finstest::kRespStartOutOfRange);
}

TEST_P(MemoryAccessTest, AMissingSegmentIsRefusedWhileTheOthersServe)
{
    StartHost({"--no-segment", "Q"});
    EXPECT_EQ(host->CountLog("failed to GetSegmentAddress:OUTPUT(Q)"), 1);
    FinsTestClient client;
    Open(client);
    ExpectCode(client.ReadWords(finstest::kCioWord, finstest::kCioOutputs, 1),
               finstest::kRespStartOutOfRange);
    ExpectCode(client.ReadWords(finstest::kCioWord, 0, 1), finstest::kRespOk);
    ExpectCode(client.ReadWords(finstest::kDmWord, 0, 1), finstest::kRespOk);
}

INSTANTIATE_TEST_SUITE_P(Transports, MemoryAccessTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) {
                             return param.param ? std::string("Udp") : std::string("Tcp");
                         });

} // namespace
