// What the runtime learns from the component's log about its FINS endpoints. The host knows the
// component only through its entry point and the services it offers; the logger is the one through
// which the component reports an endpoint it could not open (the socket, bind or listen error of
// its FINS/TCP listener or FINS/UDP endpoint). The logger notes the first such entry; the main
// thread takes it after each download and tells the user in one line.
#pragma once

#include <cstdint>
#include <string>

// The port the component serves FINS on unless its settings line names another; for the user's
// message.
constexpr unsigned int kHostFinsPort = 9600;

// Looks at one logger entry (any thread). An error entry of the FINS component that reports a
// failed endpoint is kept, unless one is kept already.
void ServeWatchEntry(uint32_t cmpId, uint32_t classId, const char* text);

// The kept failure as the user reads it ("cannot serve FINS: TCP port 9600 is in use by another
// program"), or "" when none was reported; forgets it and the port of the download's settings
// line. Main thread, after every download.
std::string TakeServeFailure();
