// Application memory areas: the segment look-ups after a download and their messages, and word and
// bit copies over segments the test owns.
#include "appmem/AppAreaMem.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "base/CmpImports.h"
#include "tests/support/FakeApplication.h"
#include "tests/support/FakeLogger.h"

namespace {

std::string PointerText(const void* p)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%p", p);
    return text;
}

class AppAreaMemLoad : public ::testing::Test
{
protected:
    FakeLogger logger;
    FakeApplication app;
    CAppAreaMemmory mem;
    char input[8] = {};
    char output[4] = {};
    char memory[16] = {};
};

TEST_F(AppAreaMemLoad, AsksForQThenIThenMAddressBeforeSize)
{
    app.setSegment(APP_SEGMENT_INPUT, input, sizeof(input));
    app.setSegment(APP_SEGMENT_OUTPUT, output, sizeof(output));
    app.setSegment(APP_SEGMENT_MEMORY, memory, sizeof(memory));
    ASSERT_EQ(0, mem.LoadAppMemoryAddr());

    using L = FakeApplication::Lookup;
    const std::vector<std::pair<L::Kind, uint32_t>> expected = {
        {L::FirstApp, 0},    {L::SegmentAddress, 8},  {L::SegmentSize, 8}, {L::SegmentAddress, 4},
        {L::SegmentSize, 4}, {L::SegmentAddress, 16}, {L::SegmentSize, 16}};
    std::vector<L> got = app.lookups();
    ASSERT_EQ(expected.size(), got.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(expected[i].first, got[i].kind) << i;
        EXPECT_EQ(expected[i].second, got[i].areaCode) << i;
        EXPECT_EQ(i == 0 ? nullptr : app.handle(), got[i].app) << i;
    }
    EXPECT_EQ(input, mem.GetAppMemoryAddrFromType(APP_AREA_I));
    EXPECT_EQ(output, mem.GetAppMemoryAddrFromType(APP_AREA_Q));
    EXPECT_EQ(memory, mem.GetAppMemoryAddrFromType(APP_AREA_M));
    EXPECT_EQ(8u, mem.GetAppMemorySizeFromType(APP_AREA_I));
    EXPECT_EQ(4u, mem.GetAppMemorySizeFromType(APP_AREA_Q));
    EXPECT_EQ(16u, mem.GetAppMemorySizeFromType(APP_AREA_M));
    ASSERT_EQ(1u, logger.entries().size());
    EXPECT_EQ(LOG_CLASS_INFO, logger.entries()[0].classId);
    EXPECT_EQ("I:" + PointerText(input) + ",size:8,Q:" + PointerText(output) +
                  ",size:4,M:" + PointerText(memory) + ",size:16",
              logger.entries()[0].text);
}

TEST_F(AppAreaMemLoad, MissingSegmentIsReportedAndStaysAbsent)
{
    app.setSegment(APP_SEGMENT_INPUT, input, sizeof(input));
    app.setSegment(APP_SEGMENT_MEMORY, memory, sizeof(memory));
    app.setResult(7);
    EXPECT_EQ(0, mem.LoadAppMemoryAddr());
    EXPECT_EQ(nullptr, mem.GetAppMemoryAddrFromType(APP_AREA_Q));
    EXPECT_EQ(0u, mem.GetAppMemorySizeFromType(APP_AREA_Q));
    EXPECT_EQ(16u, mem.GetAppMemorySizeFromType(APP_AREA_M));
    for (const FakeApplication::Lookup& l : app.lookups()) { // no size asked without an address
        EXPECT_FALSE(l.kind == FakeApplication::Lookup::SegmentSize && l.areaCode == 8);
    }
    EXPECT_EQ(1, logger.count("failed to GetSegmentAddress:OUTPUT(Q),result:7"));
    EXPECT_EQ(1, logger.count("I:" + PointerText(input) + ",size:8,Q:" + PointerText(nullptr) +
                              ",size:0,M:" + PointerText(memory) + ",size:16"));
    std::string word;
    EXPECT_EQ(-1, mem.ReadWordFromAppMemory(APP_AREA_Q, 0, 1, word));
    EXPECT_EQ(0, mem.ReadWordFromAppMemory(APP_AREA_I, 0, 1, word));
    app.setResult(0);
    app.removeSegment(APP_SEGMENT_INPUT);
    app.removeSegment(APP_SEGMENT_MEMORY);
    EXPECT_EQ(0, mem.LoadAppMemoryAddr()); // each missing segment is named
    for (const char* name : {"OUTPUT(Q)", "INPUT(I)", "Memory(M)"}) {
        EXPECT_EQ(1,
                  logger.count(std::string("failed to GetSegmentAddress:") + name + ",result:0"));
    }
}

TEST_F(AppAreaMemLoad, NoApplicationLeavesEverythingCleared)
{
    app.setSegment(APP_SEGMENT_MEMORY, memory, sizeof(memory));
    ASSERT_EQ(0, mem.LoadAppMemoryAddr());
    app.setNoApplication(true);
    app.setResult(3);
    EXPECT_EQ(-1, mem.LoadAppMemoryAddr());
    EXPECT_EQ(nullptr, mem.GetAppMemoryAddrFromType(APP_AREA_M));
    EXPECT_EQ(0u, mem.GetAppMemorySizeFromType(APP_AREA_M));
    EXPECT_EQ(1, logger.count("CAL_AppGetFirstApp instance fail,result:3"));
    // Import slots the runtime left empty are no application, not a call through null.
    pfAppGetFirstApp = nullptr;
    EXPECT_EQ(-1, mem.LoadAppMemoryAddr());
    EXPECT_EQ(1, logger.count("CAL_AppGetFirstApp instance fail,result:0"));
}

// Regression: bit access to the last byte of an odd-sized segment read and wrote the 16-bit word
// that byte starts, one byte past the segment's end. The segment here is a heap block of exactly
// three bytes, so an overrun is an ASan failure.
TEST_F(AppAreaMemLoad, BitAccessStaysInsideAnOddSizedSegment)
{
    std::unique_ptr<char[]> seg(new char[3]{'\x00', '\x00', '\x0F'});
    app.setSegment(APP_SEGMENT_MEMORY, seg.get(), 3);
    ASSERT_EQ(0, mem.LoadAppMemoryAddr());
    char data[8] = {0, 0, 0, 0, 1, 1, 1, 1};
    ASSERT_EQ(0, mem.WriteBitsToAppMemory(APP_AREA_M, 1, 0, 8, data));
    EXPECT_EQ('\xF0', seg[2]);
    std::string out;
    ASSERT_EQ(0, mem.ReadBitsFromAppMempry(APP_AREA_M, 1, 4, 4, out));
    EXPECT_EQ(std::string(4, '\x01'), out);
}

} // namespace
