// A running runtime-host for one test: started with the test's options, ready once a FINS/TCP
// handshake on 127.0.0.1:9600 is answered, and stopped with SIGTERM (killed if it will not go).
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/FinsTestClient.h"
#include "tests/support/HostProcess.h"

// ASan and TSan builds start and stop more slowly.
constexpr int kReadyTimeoutMs = 30000;
constexpr int kExitTimeoutMs = 5000;
// A host of another test run on this machine may still hold the fixed port for a while.
constexpr int kPortBusyTimeoutMs = 120000;

class E2eTest : public ::testing::Test
{
protected:
    void StartHost(std::vector<std::string> args = {})
    {
        ASSERT_TRUE(finstest::WaitPortFree(finstest::TestPort(), kPortBusyTimeoutMs))
            << "another process serves port " << finstest::TestPort();
        host = std::make_unique<finstest::HostProcess>(std::move(args));
        ASSERT_TRUE(host->Start());
        ASSERT_TRUE(host->WaitReady(kReadyTimeoutMs)) << host->Log();
    }

    // SIGTERM and a clean exit 0; returns false (with the log) otherwise.
    void StopHost()
    {
        ASSERT_TRUE(host->Signal(SIGTERM));
        int code = -1;
        ASSERT_TRUE(host->WaitExit(kExitTimeoutMs, &code)) << host->Log();
        EXPECT_EQ(code, 0) << host->Log();
    }

    void TearDown() override
    {
        if (host != nullptr && host->Running()) {
            StopHost();
        }
    }

    std::unique_ptr<finstest::HostProcess> host;
};
