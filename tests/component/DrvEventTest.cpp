// Application events reaching the component: provider check, dispatch by id, the handlers' log
// lines and the server states they lead to when no download is done (the server never runs here).
#include "component/DrvEvent.h"

#include <gtest/gtest.h>

#include "component/FinsServer.h"
#include "tests/component/ComponentFixture.h"
#include "utility/Singleton.h"

namespace {

const uint32_t kAllEvents[] = {EVT_ResetPrepare, EVT_DownloadPrepare, EVT_DownloadDone,
                               EVT_PrepareDelete};

class DrvEventTest : public ComponentFixture
{
protected:
    void SetUp() override { ASSERT_EQ(Hook(CH_INIT_HOOK), 0); }
};

TEST_F(DrvEventTest, EventOfAnotherProviderGivesExactlyOneErrorEntryAndNothingElse)
{
    for (uint32_t eventId : kAllEvents) {
        SCOPED_TRACE(eventId);
        logger.clear();
        Deliver(eventId, 3);
        std::vector<LogRecord> entries = logger.entries();
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].text, "Error EventParam->CmpIdProvider:3");
        EXPECT_EQ(entries[0].classId, LOG_CLASS_ERROR);
        EXPECT_EQ(entries[0].cmpId, CMPID_DrvFins);
    }
    EXPECT_FALSE(utility::Singleton<CFinsServer>::exists());
    EXPECT_TRUE(app.lookups().empty()) << "no memory lookup for a refused event";
}

TEST_F(DrvEventTest, UnknownEventIdsOfProvider2AreIgnoredSilently)
{
    for (uint32_t eventId : {0u, 0x00010006u, 0x0001000Bu, 0x0001000Du, 0xFFFFFFFFu}) {
        Deliver(eventId, CMPID_AppProvider);
    }
    RTE_EventCallback(nullptr);
    EXPECT_TRUE(logger.entries().empty());
    EXPECT_FALSE(utility::Singleton<CFinsServer>::exists());
    EXPECT_TRUE(app.lookups().empty());
}

// Without a download done there is no loop: a reset prepare only logs, the first prepare creates
// a stopped server, and prepares in a row do nothing more.
TEST_F(DrvEventTest, EachSubscribedEventReachesItsHandlerWhichLogsAtInformationLevel)
{
    const struct
    {
        uint32_t eventId;
        const char* line;
        bool server; // exists afterwards
    } cases[] = {{EVT_ResetPrepare, "ResetPrePareEvent......", false},
                 {EVT_DownloadPrepare, "DownLoadPrepareEvent......", true},
                 {EVT_DownloadPrepare, "DownLoadPrepareEvent......", true},
                 {EVT_PrepareDelete, "PrepareDeleteEvent......", true},
                 {EVT_PrepareDelete, "PrepareDeleteEvent......", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        logger.clear();
        EXPECT_EQ(runtime.post(c.eventId), 1) << "one subscription per event";
        std::vector<LogRecord> entries = logger.entries();
        ASSERT_EQ(entries.size(), 1u) << "no loop to stop";
        EXPECT_EQ(entries[0].text, c.line);
        EXPECT_EQ(entries[0].classId, LOG_CLASS_INFO);
        EXPECT_EQ(entries[0].errorId, 0u);
        EXPECT_EQ(utility::Singleton<CFinsServer>::exists(), c.server);
        EXPECT_TRUE(app.lookups().empty());
    }
}

} // namespace
