// The host's watch over the component's log: the port its message names.
#include "host/ServeWatch.h"

#include <gtest/gtest.h>

#include "base/RuntimeApi.h"

namespace {

// Regression: after a download whose settings line named a port, a later download without one
// (no file, no override: the built-in port) still named the old port.
TEST(ServeWatch, NamesThePortOfTheDownloadsOwnSettingsLine)
{
    const char* bindError = "bind error:Address already in use";
    ServeWatchEntry(CMPID_DrvFins, LOG_CLASS_INFO, "settings: bind 0.0.0.0, port 9731, tcp on");
    ServeWatchEntry(CMPID_DrvFins, LOG_CLASS_ERROR, bindError);
    EXPECT_EQ("cannot serve FINS: TCP port 9731 is in use by another program", TakeServeFailure());
    ServeWatchEntry(CMPID_DrvFins, LOG_CLASS_ERROR, bindError);
    EXPECT_EQ("cannot serve FINS: TCP port 9600 is in use by another program", TakeServeFailure());
}

} // namespace
