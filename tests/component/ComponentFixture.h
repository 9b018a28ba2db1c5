// The fake runtime a component test runs against: logger, application manager, component and
// event manager fakes, installed in that order, and helpers to drive hooks and events.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "component/DrvEvent.h"
#include "tests/support/FakeApplication.h"
#include "tests/support/FakeLogger.h"
#include "tests/support/FakeRuntime.h"

class ComponentFixture : public ::testing::Test
{
protected:
    ComponentFixture() { runtime.enter(); }

    RTS_RESULT Hook(uint32_t hook) { return runtime.entryRecord().pfHookFunction(hook, 0, 0); }

    // An event as the runtime's event manager delivers it, from any provider.
    static void Deliver(uint32_t eventId, uint32_t provider)
    {
        EventParam param{eventId, provider, 0, 0, nullptr, nullptr};
        RTE_EventCallback(&param);
    }

    FakeLogger logger;
    FakeApplication app;
    FakeRuntime runtime;
};
