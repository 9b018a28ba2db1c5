// Recognises the component's endpoint failures among its log entries and words them for the user.
#include "host/ServeWatch.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/RuntimeApi.h"

namespace {

// The component's texts for an endpoint it could not open, up to the system's reason.
struct EndpointFailure
{
    const char* prefix;
    const char* transport;
};

constexpr EndpointFailure kFailures[] = {
    {"tcp::server :socket():", "TCP"},        {"bind error:", "TCP"}, {"listen error:", "TCP"},
    {"create udp server fail,error:", "UDP"}, {"bind error ", "UDP"},
};

// The component's line naming the settings in effect; logged before it opens its endpoints
// whenever a settings file or an override is in play.
constexpr char kSettingsPrefix[] = "settings: bind ";
constexpr char kPortField[] = ", port ";

std::mutex s_mutex;
std::string s_failure; // guarded by s_mutex: the first failure since the last TakeServeFailure
// Guarded by s_mutex: the port of this download's settings line, or the built-in one.
unsigned long s_port = kHostFinsPort;

// Remembers the port a settings line names, so the user's message names the port that failed.
void NotePort(const char* text)
{
    const char* field = std::strstr(text, kPortField);
    if (field == nullptr) {
        return;
    }
    const unsigned long port = std::strtoul(field + std::strlen(kPortField), nullptr, 10);
    if (port != 0) {
        std::lock_guard<std::mutex> lock(s_mutex);
        s_port = port;
    }
}

std::string Describe(const EndpointFailure& failure, const char* reason)
{
    std::string port = std::string(failure.transport) + " port " + std::to_string(s_port);
    char text[256];
    if (std::strcmp(reason, strerror_r(EADDRINUSE, text, sizeof(text))) == 0) {
        return "cannot serve FINS: " + port + " is in use by another program";
    }
    if (std::strcmp(reason, strerror_r(EACCES, text, sizeof(text))) == 0) {
        return "cannot serve FINS: " + port + " may not be opened by this user";
    }
    return "cannot serve FINS: " + port + " could not be opened (" + reason + ")";
}

} // namespace

void ServeWatchEntry(uint32_t cmpId, uint32_t classId, const char* text)
{
    if (cmpId != CMPID_DrvFins || text == nullptr) {
        return;
    }
    if (std::strncmp(text, kSettingsPrefix, std::strlen(kSettingsPrefix)) == 0) {
        NotePort(text);
        return;
    }
    if (classId != LOG_CLASS_ERROR) {
        return;
    }
    for (const EndpointFailure& failure : kFailures) {
        const size_t len = std::strlen(failure.prefix);
        if (std::strncmp(text, failure.prefix, len) != 0) {
            continue;
        }
        std::lock_guard<std::mutex> lock(s_mutex);
        if (s_failure.empty()) {
            s_failure = Describe(failure, text + len);
        }
        return;
    }
}

std::string TakeServeFailure()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    std::string failure;
    failure.swap(s_failure);
    // Each download logs its settings line again when one applies; without one it serves on the
    // built-in port.
    s_port = kHostFinsPort;
    return failure;
}
