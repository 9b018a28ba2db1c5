// Command line of runtime-host.
#include "host/Options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

bool ParseBytes(const char* text, uint32_t* out)
{
    if (text == nullptr || *text == '\0' || *text == '-') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0' || v > kMaxSegmentBytes) {
        return false;
    }
    *out = static_cast<uint32_t>(v);
    return true;
}

bool LeaveOutSegment(const char* which, HostOptions* options)
{
    if (which == nullptr || strlen(which) != 1) {
        return false;
    }
    switch (which[0]) {
    case 'I':
        options->noInput = true;
        return true;
    case 'Q':
        options->noOutput = true;
        return true;
    case 'M':
        options->noMemory = true;
        return true;
    default:
        return false;
    }
}

// Options that take a value; false when the value is missing or bad.
bool ParseValued(const std::string& opt, const char* value, HostOptions* options)
{
    if (value == nullptr) {
        return false;
    }
    if (opt == "--component") {
        options->componentPath = value;
        return true;
    }
    if (opt == "--input-bytes") {
        return ParseBytes(value, &options->inputBytes);
    }
    if (opt == "--output-bytes") {
        return ParseBytes(value, &options->outputBytes);
    }
    if (opt == "--memory-bytes") {
        return ParseBytes(value, &options->memoryBytes);
    }
    if (opt == "--no-segment") {
        return LeaveOutSegment(value, options);
    }
    options->withheld.emplace_back(value); // --without-function
    return true;
}

bool IsValued(const std::string& opt)
{
    return opt == "--component" || opt == "--input-bytes" || opt == "--output-bytes" ||
           opt == "--memory-bytes" || opt == "--no-segment" || opt == "--without-function";
}

} // namespace

bool ParseHostOptions(int argc, char** argv, HostOptions* options, std::string* error)
{
    for (int i = 1; i < argc; ++i) {
        std::string opt = argv[i];
        if (opt == "--no-app") {
            options->noApp = true;
        } else if (opt == "--demo") {
            options->demo = true;
        } else if (opt == "--help" || opt == "-h") {
            options->help = true;
        } else if (IsValued(opt)) {
            const char* value = i + 1 < argc ? argv[++i] : nullptr;
            if (!ParseValued(opt, value, options)) {
                *error = "bad or missing value for " + opt;
                return false;
            }
        } else {
            *error = "unknown option " + opt;
            return false;
        }
    }
    return true;
}

const char* HostUsage()
{
    return "usage: runtime-host [options]\n"
           "Loads libDrvFins.so as a control runtime would and runs one application; the\n"
           "component serves FINS on port 9600. SIGHUP downloads the application again;\n"
           "SIGINT or SIGTERM stops. Exits with 1 when port 9600 cannot be served at start.\n"
           "  --component PATH         component library (default: libDrvFins.so beside this "
           "program)\n"
           "  --input-bytes N          size of the input segment I (default 65536)\n"
           "  --output-bytes N         size of the output segment Q (default 65536)\n"
           "  --memory-bytes N         size of the memory segment M (default 131072)\n"
           "  --no-app                 report no application\n"
           "  --no-segment I|Q|M       leave one segment out (repeatable)\n"
           "  --demo                   run the demo program (100 ms cycle)\n"
           "  --without-function NAME  do not offer this runtime function (repeatable)\n"
           "  --help                   this text\n";
}
