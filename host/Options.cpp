// Command line of runtime-host.
#include "host/Options.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/CmpImports.h"

namespace {

constexpr size_t kUsageWidth = 80;

bool ParseBytes(const char* text, uint32_t* out)
{
    if (*text == '\0' || *text == '-') {
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

static_assert(kMaxSegmentBytes == 1073741824, "BytesHint names the largest segment");

const char* BytesHint()
{
    return " (a byte count from 0 to 1073741824, decimal or 0x hex)";
}

bool LeaveOutSegment(const char* which, HostOptions* options)
{
    if (strlen(which) != 1) {
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

// A port from 1 to 65535 in decimal, kept as text for the component's environment.
bool ParsePort(const char* text, std::string* out)
{
    if (*text < '1' || *text > '9') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    unsigned long v = strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > USHRT_MAX) {
        return false;
    }
    *out = text;
    return true;
}

bool ParseBindAddr(const char* text, std::string* out)
{
    in_addr addr{};
    if (inet_pton(AF_INET, text, &addr) != 1) {
        return false;
    }
    *out = text;
    return true;
}

bool ParseLogLevel(const char* text, HostLogLevel* out)
{
    const struct
    {
        const char* name;
        HostLogLevel level;
    } levels[] = {{"error", HostLogLevel::Error},
                  {"warning", HostLogLevel::Warning},
                  {"info", HostLogLevel::Info},
                  {"debug", HostLogLevel::Debug}};
    for (const auto& l : levels) {
        if (strcmp(text, l.name) == 0) {
            *out = l.level;
            return true;
        }
    }
    return false;
}

// The component reads the file at every download; one that cannot be read now is a typing slip.
bool ParseConfig(const char* text, std::string* out)
{
    if (*text == '\0' || access(text, R_OK) != 0) {
        return false;
    }
    *out = text;
    return true;
}

// The runtime functions the component imports: what --without-function may name.
#define HOST_IMPORT_NAME(fn, type, option) #fn,
constexpr const char* kImported[] = {DRVFINS_IMPORT_LIST(HOST_IMPORT_NAME)};
#undef HOST_IMPORT_NAME

// Any other name would be a typing slip that withholds nothing.
bool WithholdFunction(const char* name, HostOptions* options)
{
    for (const char* imported : kImported) {
        if (strcmp(name, imported) == 0) {
            options->withheld.emplace_back(name);
            return true;
        }
    }
    return false;
}

// What --without-function expects: every function the component imports, wrapped.
const char* FunctionHint()
{
    static const std::string hint = [] {
        std::string text = " (a runtime function the component imports:\n ";
        size_t lineStart = text.size();
        for (const char* name : kImported) {
            if (text.size() - lineStart + strlen(name) + 2 > kUsageWidth) {
                text += "\n ";
                lineStart = text.size();
            }
            text = text + " " + name + ",";
        }
        text.back() = ')';
        return text;
    }();
    return hint.c_str();
}

// The options that take a value: each with its parser and, for the usage error, what it expects.
struct ValuedOption
{
    const char* name;
    bool (*parse)(const char* value, HostOptions* options);
    const char* (*hint)();
};

const ValuedOption kValuedOptions[] = {
    {"--config", [](const char* v, HostOptions* o) { return ParseConfig(v, &o->configPath); },
     [] { return " (a settings file this user can read)"; }},
    {"--port", [](const char* v, HostOptions* o) { return ParsePort(v, &o->port); },
     [] { return " (a port from 1 to 65535)"; }},
    {"--bind", [](const char* v, HostOptions* o) { return ParseBindAddr(v, &o->bindAddr); },
     [] { return " (an IPv4 address such as 127.0.0.1)"; }},
    {"--log-level", [](const char* v, HostOptions* o) { return ParseLogLevel(v, &o->logLevel); },
     [] { return " (error, warning, info or debug)"; }},
    {"--component",
     [](const char* v, HostOptions* o) {
         o->componentPath = v;
         return *v != '\0';
     },
     [] { return " (the path of a component library)"; }},
    {"--input-bytes", [](const char* v, HostOptions* o) { return ParseBytes(v, &o->inputBytes); },
     BytesHint},
    {"--output-bytes", [](const char* v, HostOptions* o) { return ParseBytes(v, &o->outputBytes); },
     BytesHint},
    {"--memory-bytes", [](const char* v, HostOptions* o) { return ParseBytes(v, &o->memoryBytes); },
     BytesHint},
    {"--no-segment", LeaveOutSegment, [] { return " (I, Q or M)"; }},
    {"--without-function", WithholdFunction, FunctionHint},
};

const ValuedOption* FindValuedOption(const std::string& opt)
{
    for (const ValuedOption& option : kValuedOptions) {
        if (opt == option.name) {
            return &option;
        }
    }
    return nullptr;
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
        } else if (opt == "--version") {
            options->version = true;
        } else if (const ValuedOption* option = FindValuedOption(opt)) {
            const char* value = i + 1 < argc ? argv[++i] : nullptr;
            if (value == nullptr || !option->parse(value, options)) {
                *error = "bad or missing value for " + opt + option->hint();
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
           "component serves FINS on port 9600. SIGHUP downloads the application again (and\n"
           "rereads the settings file); SIGINT or SIGTERM stops. Exits with 1 when the port\n"
           "cannot be served at start.\n"
           "  --component PATH         component library (default: libDrvFins.so beside this "
           "program,\n"
           "                           else in ../lib)\n"
           "  --config FILE            settings file (default: $DRVFINS_CONFIG, else DrvFins.ini\n"
           "                           beside the library)\n"
           "  --port N                 serve on port N (1-65535), over the settings file\n"
           "  --bind ADDR              serve on this IPv4 address, over the settings file\n"
           "  --log-level LEVEL        print the component's entries up to error, warning, info\n"
           "                           or debug (default: debug, everything)\n"
           "  --input-bytes N          size of the input segment I (default 65536)\n"
           "  --output-bytes N         size of the output segment Q (default 65536)\n"
           "  --memory-bytes N         size of the memory segment M (default 131072)\n"
           "  --no-app                 report no application\n"
           "  --no-segment I|Q|M       leave one segment out (repeatable)\n"
           "  --demo                   run the demo program (100 ms cycle)\n"
           "  --without-function NAME  do not offer this runtime function (repeatable)\n"
           "  --version                program, build commit and the component's id and version\n"
           "  --help                   this text\n";
}
