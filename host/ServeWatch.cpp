// Recognises the component's endpoint failures among its log entries and words them for the user.
#include "host/ServeWatch.h"

#include <cerrno>
#include <cstring>
#include <mutex>

#include "component/RuntimeApi.h"

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

std::mutex s_mutex;
std::string s_failure; // guarded by s_mutex: the first failure since the last TakeServeFailure

std::string Describe(const EndpointFailure& failure, const char* reason)
{
    std::string port = std::string(failure.transport) + " port " + std::to_string(kHostFinsPort);
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
    if (cmpId != CMPID_DrvFins || classId != LOG_CLASS_ERROR || text == nullptr) {
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
    return failure;
}
