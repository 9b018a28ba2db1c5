// Component entry, imports, exports, hooks and the function block bodies, driven through the
// record ComponentEntry fills, as the runtime does.
#include "component/DrvFins.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "base/CmpImports.h"
#include "base/kellog.h"
#include "component/DrvEvent.h"
#include "component/FinsServer.h"
#include "tests/component/ComponentFixture.h"
#include "utility/Singleton.h"

namespace {

using EventCall = FakeRuntime::EventCall;

const uint32_t kEventTable[] = {EVT_ResetPrepare, EVT_DownloadPrepare, EVT_DownloadDone,
                                EVT_PrepareDelete};

using ComponentEntryTest = ComponentFixture;

TEST_F(ComponentEntryTest, ReportsIdVersionAndEntryPointsAndLeavesPaddingAlone)
{
    EXPECT_NE(ComponentEntry(nullptr), 0);
    ComponentInitRecord record = runtime.record();
    // The alignment gap behind the id (none on a 32-bit target) belongs to the runtime.
    unsigned char* const gap = reinterpret_cast<unsigned char*>(&record) + sizeof(record.CmpId);
    const size_t gapBytes = offsetof(ComponentInitRecord, pfExportFunctions) - sizeof(record.CmpId);
    std::memset(gap, 0xA5, gapBytes);
    ASSERT_EQ(ComponentEntry(&record), 0);
    EXPECT_EQ(record.CmpId, 0x17D24502u);
    EXPECT_EQ(std::count(gap, gap + gapBytes, 0xA5), static_cast<std::ptrdiff_t>(gapBytes));
    ASSERT_NE(record.pfExportFunctions, nullptr);
    ASSERT_NE(record.pfImportFunctions, nullptr);
    ASSERT_NE(record.pfHookFunction, nullptr);
    ASSERT_NE(record.pfGetVersion, nullptr);
    ASSERT_NE(record.pfCreateInstance, nullptr);
    ASSERT_NE(record.pfDeleteInstance, nullptr);
    EXPECT_EQ(record.pfGetVersion(), 0x03051200u);
    EXPECT_EQ(record.pfCreateInstance(1, nullptr), 0);
    EXPECT_EQ(record.pfDeleteInstance(1), 0);
}

TEST_F(ComponentEntryTest, ExportRegistersBothFunctionBlocksThenTheEmptyInterfaceTable)
{
    ASSERT_EQ(runtime.entryRecord().pfExportFunctions(), 0);
    std::vector<FakeRuntime::Registration> regs = runtime.registrations();
    ASSERT_EQ(regs.size(), 2u);

    const FakeRuntime::Registration& ext = regs[0];
    EXPECT_EQ(ext.external, 1);
    EXPECT_EQ(ext.cmpId, CMPID_DrvFins);
    ASSERT_EQ(ext.entries.size(), 2u);
    EXPECT_STREQ(ext.entries[0].pszName, "fb_finsudp__main");
    EXPECT_EQ(ext.entries[0].pfFunction, reinterpret_cast<RTS_VOID_FCT>(&fb_finsudp__main));
    EXPECT_EQ(ext.entries[0].ulSignature, 0x797CF139u);
    EXPECT_EQ(ext.entries[0].ulVersion, 0x01000001u);
    EXPECT_STREQ(ext.entries[1].pszName, "fb_finstcp__main");
    EXPECT_EQ(ext.entries[1].pfFunction, reinterpret_cast<RTS_VOID_FCT>(&fb_finstcp__main));
    EXPECT_EQ(ext.entries[1].ulSignature, 0x086C898Du);
    EXPECT_EQ(ext.entries[1].ulVersion, 0x01000001u);

    const FakeRuntime::Registration& itf = regs[1];
    EXPECT_EQ(itf.external, 0);
    EXPECT_EQ(itf.cmpId, CMPID_DrvFins);
    EXPECT_TRUE(itf.entries.empty());
    for (const FakeRuntime::Registration& r : regs) {
        ASSERT_NE(r.terminator.pszName, nullptr) << "a table ends with \"\", not a null name";
        EXPECT_STREQ(r.terminator.pszName, "");
        EXPECT_EQ(r.terminator.ulSignature, 0u);
        EXPECT_EQ(r.terminator.ulVersion, 0u);
    }
}

TEST_F(ComponentEntryTest, ExportReturnsTheFirstFailedRegistrationAtOnce)
{
    struct Case
    {
        std::vector<RTS_RESULT> results;
        RTS_RESULT expected;
        size_t registrations; // made by this call
    };
    const Case cases[] = {{{7}, 7, 1}, {{0, 9}, 9, 2}, {{0, 0}, 0, 2}};
    size_t before = 0;
    for (const Case& c : cases) {
        runtime.setRegisterResults(c.results);
        EXPECT_EQ(runtime.entryRecord().pfExportFunctions(), c.expected);
        size_t now = runtime.registrations().size();
        EXPECT_EQ(now - before, c.registrations);
        before = now;
    }
}

TEST_F(ComponentEntryTest, ImportFetchesAll134InOrderWithTheirOptions)
{
    ASSERT_EQ(runtime.entryRecord().pfImportFunctions(), 0);
    std::vector<FakeRuntime::Import> imports = runtime.imports();
    ASSERT_EQ(imports.size(), 134u);
    for (size_t i = 0; i < imports.size(); ++i) {
        EXPECT_EQ(imports[i].option, i < 2 ? 2 : 0) << imports[i].name;
    }
    EXPECT_EQ(imports[0].name, "LogAdd");
    EXPECT_EQ(imports[1].name, "CMUtlMemCpy"); // the later positions: StopsAtTheFirstMissing...
    EXPECT_NE(pfEventOpen, nullptr);
    EXPECT_NE(pfAppGetSegmentSize, nullptr);
}

TEST(ImportFunctions, StopsAtTheFirstMissingRequiredFunctionAndReturnsItsResult)
{
    const struct
    {
        const char* name;
        size_t position;
        RTS_RESULT result;
    } cases[] = {{"LogGetEntry", 2, 0x10}, {"EventOpen", 37, 0x11}, {"SysTimeGetMs", 133, 0x7}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeRuntime runtime;
        runtime.withhold(c.name, c.result);
        runtime.enter();
        EXPECT_EQ(runtime.entryRecord().pfImportFunctions(), c.result);
        std::vector<FakeRuntime::Import> imports = runtime.imports();
        ASSERT_EQ(imports.size(), c.position + 1) << "nothing after the missing one is fetched";
        EXPECT_EQ(imports.back().name, c.name);
    }
}

TEST(ImportFunctions, MissingOptionalFunctionsDoNotFailTheImport)
{
    FakeRuntime runtime;
    runtime.withhold("LogAdd", 0x10);
    runtime.withhold("CMUtlMemCpy", 0x10);
    runtime.enter();
    EXPECT_EQ(runtime.entryRecord().pfImportFunctions(), 0);
    EXPECT_EQ(runtime.imports().size(), 134u);
    EXPECT_EQ(pfLogAdd, nullptr);
}

// Regression: ImportFunctions called through a null CMGetAPI2 and took the runtime down. Export
// without the register function fails the same way.
TEST(ImportFunctions, WithoutGetApi2OrRegisterApiReturns3InsteadOfCallingThroughNull)
{
    FakeRuntime runtime;
    ComponentInitRecord noGetApi = runtime.record(true, false);
    ASSERT_EQ(ComponentEntry(&noGetApi), 0);
    EXPECT_EQ(noGetApi.pfImportFunctions(), 3);
    ComponentInitRecord noRegister = runtime.record(false, true);
    ASSERT_EQ(ComponentEntry(&noRegister), 0);
    EXPECT_EQ(noRegister.pfExportFunctions(), 3);
    EXPECT_TRUE(runtime.imports().empty());
    EXPECT_TRUE(runtime.registrations().empty());
}

class HookTest : public ComponentFixture
{
protected:
    // Each of the four events unregistered, then closed, in table order.
    void ExpectUnsubscribed(const std::vector<RTS_HANDLE>& handles)
    {
        const std::vector<EventCall> calls = runtime.eventCalls();
        ASSERT_EQ(calls.size(), 8u);
        for (size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(calls[2 * i].kind, EventCall::Unregister);
            EXPECT_EQ(calls[2 * i + 1].kind, EventCall::Close);
            EXPECT_EQ(calls[2 * i].handle, handles[i]);
            EXPECT_EQ(calls[2 * i + 1].handle, handles[i]);
        }
    }
};

// Hook 12 right after hook 4 drops the subscriptions and gives the logger up.
TEST_F(HookTest, Hook4TakesTheLoggerAndSubscribesFourEventsOfProvider2AndHook12DropsThem)
{
    kelLogDelete();
    ASSERT_EQ(Hook(CH_INIT_HOOK), 0);
    std::vector<EventCall> calls = runtime.eventCalls();
    ASSERT_EQ(calls.size(), 8u);
    std::vector<RTS_HANDLE> handles;
    for (size_t i = 0; i < 4; ++i) {
        const EventCall& open = calls[2 * i];
        const EventCall& reg = calls[2 * i + 1];
        EXPECT_EQ(open.kind, EventCall::Open);
        EXPECT_EQ(open.eventId, kEventTable[i]);
        EXPECT_EQ(open.provider, 2u);
        EXPECT_FALSE(open.resultAddressGiven);
        EXPECT_EQ(reg.kind, EventCall::Register);
        EXPECT_EQ(reg.handle, open.handle);
        EXPECT_EQ(reg.callback, &RTE_EventCallback);
        handles.push_back(open.handle);
    }
    kelLogAddInfoF("after hook 4");
    ASSERT_EQ(logger.entries().size(), 1u);
    EXPECT_EQ(logger.entries()[0].handle, 0x5A5Au);

    runtime.clearEventCalls();
    ASSERT_EQ(Hook(CH_EXIT_HOOK), 0);
    ExpectUnsubscribed(handles);
    EXPECT_FALSE(utility::Singleton<CDrvIoEvent>::exists());
    EXPECT_FALSE(utility::Singleton<CFinsServer>::exists());
    EXPECT_EQ(runtime.post(EVT_DownloadDone), 0) << "no callback is left registered";
    kelLogAddInfoF("after hook 12");
    ASSERT_EQ(logger.entries().size(), 2u);
    EXPECT_EQ(logger.entries()[1].handle, RTS_INVALID_HANDLE);
}

TEST_F(HookTest, Hook12WithoutHook4CreatesTheEventObjectOnlyToDropIt)
{
    ASSERT_EQ(Hook(CH_EXIT_HOOK), 0);
    ExpectUnsubscribed(std::vector<RTS_HANDLE>(4, RTS_INVALID_HANDLE));
    EXPECT_FALSE(utility::Singleton<CDrvIoEvent>::exists());
}

// The function blocks as the PLC application calls them: through the registered table, with a
// parameter record whose first field points at the instance.
class FunctionBlockTest : public ComponentFixture
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(runtime.entryRecord().pfExportFunctions(), 0);
        std::vector<FakeRuntime::Registration> regs = runtime.registrations();
        ASSERT_FALSE(regs.empty());
        for (const ApiTableEntry& e : regs[0].entries) {
            (std::string(e.pszName) == "fb_finstcp__main" ? fbTcp : fbUdp) =
                reinterpret_cast<void (*)(void*)>(e.pfFunction);
        }
        ASSERT_NE(fbTcp, nullptr);
        ASSERT_NE(fbUdp, nullptr);
    }

    static std::vector<uint8_t> Instance(uint8_t enable, uint8_t held)
    {
        std::vector<uint8_t> instance(64);
        for (size_t i = 0; i < instance.size(); ++i) {
            instance[i] = static_cast<uint8_t>(0xA0 + i);
        }
        instance[8] = enable;
        instance[44] = held;
        return instance;
    }

    void (*fbTcp)(void*) = nullptr;
    void (*fbUdp)(void*) = nullptr;
};

TEST_F(FunctionBlockTest, TcpBlockHoldsByte44AtZeroWhileByte8IsZeroAndTouchesNothingElse)
{
    const struct
    {
        uint8_t enable;
        uint8_t held;
        uint8_t expected;
    } cases[] = {{0, 1, 0}, {0, 0xFF, 0}, {0, 0, 0}, {1, 1, 1}, {0x80, 5, 5}, {1, 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "byte 8 = " << int{c.enable} << ", byte 44 = " << int{c.held});
        std::vector<uint8_t> instance = Instance(c.enable, c.held);
        std::vector<uint8_t> expected = instance;
        expected[44] = c.expected;
        void* params[] = {instance.data()};
        fbTcp(params);
        EXPECT_EQ(instance, expected);
    }
}

TEST_F(FunctionBlockTest, UdpBlockHasNoEffectAndNullParametersAreSafe)
{
    std::vector<uint8_t> instance = Instance(0, 1);
    std::vector<uint8_t> before = instance;
    void* params[] = {instance.data()};
    fbUdp(params);
    EXPECT_EQ(instance, before);
    void* none[] = {nullptr};
    fbTcp(none);
    fbTcp(nullptr);
    fbUdp(nullptr);
}

} // namespace
