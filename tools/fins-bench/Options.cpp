#include "tools/fins-bench/Options.h"

#include "tools/fins-bench/WireFormat.h"

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {

constexpr double kDefaultSeconds = 5;
constexpr double kMaxSeconds = 3600;
constexpr uint64_t kMaxConns = 100000;
// SIDs are one byte and responses are matched in order, so at most 256 may be in flight.
constexpr uint64_t kMaxPipeline = 256;
constexpr uint64_t kMaxThreads = 256;
constexpr uint64_t kMaxTimeoutMs = 600000;
constexpr uint64_t kMaxCount = 1000000000000ULL;

// One option: its name, whether a value follows, and how the value is applied (returns an error
// text, empty on success).
struct OptionSpec
{
    const char* name;
    bool takesValue;
    std::function<std::string(const std::string&)> apply;
};

bool parseUnsigned(const std::string& text, uint64_t min, uint64_t max, uint64_t& out)
{
    if (text.empty() || text[0] < '0' || text[0] > '9') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max) {
        return false;
    }
    out = v;
    return true;
}

template <typename T>
OptionSpec unsignedOption(const char* name, T& field, uint64_t min, uint64_t max)
{
    return {name, true, [&field, name, min, max](const std::string& text) -> std::string {
                uint64_t v = 0;
                if (!parseUnsigned(text, min, max, v)) {
                    return std::string(name) + " takes a whole number from " + std::to_string(min) +
                           " to " + std::to_string(max);
                }
                field = static_cast<T>(v);
                return {};
            }};
}

OptionSpec flagOption(const char* name, bool& field, bool value)
{
    return {name, false, [&field, value](const std::string&) -> std::string {
                field = value;
                return {};
            }};
}

OptionSpec secondsOption(BenchOptions& o)
{
    return {"--seconds", true, [&o](const std::string& text) -> std::string {
                char* end = nullptr;
                const double v = std::strtod(text.c_str(), &end);
                if (text.empty() || *end != '\0' || !(v > 0) || v > kMaxSeconds) {
                    return "--seconds takes a number above 0 and at most 3600";
                }
                o.seconds = v;
                return {};
            }};
}

std::vector<OptionSpec> optionTable(BenchOptions& o, bool& help)
{
    return {
        flagOption("--tcp", o.udp, false),
        flagOption("--udp", o.udp, true),
        flagOption("--write", o.write, true),
        flagOption("--bits", o.bits, true),
        flagOption("--cio", o.cio, true),
        flagOption("--help", help, true),
        {"--host", true, [&o](const std::string& t) { return (o.host = t, std::string()); }},
        unsignedOption("--port", o.port, 1, 65535),
        unsignedOption("--conns", o.conns, 1, kMaxConns),
        unsignedOption("--pipeline", o.pipeline, 1, kMaxPipeline),
        secondsOption(o),
        unsignedOption("--count", o.count, 1, kMaxCount),
        unsignedOption("--words", o.items, 0, 65535),
        unsignedOption("--addr", o.addr, 0, 65535),
        unsignedOption("--threads", o.threads, 1, kMaxThreads),
        unsignedOption("--timeout-ms", o.timeoutMs, 1, kMaxTimeoutMs),
        unsignedOption("--connect-batch", o.connectBatch, 1, kMaxConns),
    };
}

// Checks the options against each other once all are read.
std::string crossCheck(BenchOptions& o)
{
    if (o.count != 0 && o.seconds != 0) {
        return "give --seconds or --count, not both";
    }
    if (o.count == 0 && o.seconds == 0) {
        o.seconds = kDefaultSeconds;
    }
    if (o.count != 0 && o.count < o.conns) {
        return "--count must give every connection at least one request";
    }
    if (!o.write && o.items > finswire::kMaxReadItems) {
        return "a read asks for at most 2000 words or bits";
    }
    const uint8_t area = o.bits ? finswire::kAreaDmBit : finswire::kAreaDmWord;
    const std::size_t body = finswire::kRequestHeadLen + finswire::itemBytes(area, o.items);
    if (o.write && body > finswire::kMaxTcpBody) {
        return "the write data do not fit in one FINS frame";
    }
    return {};
}

} // namespace

bool parseOptions(int argc, char** argv, BenchOptions& opts, bool& help, std::string& error)
{
    help = false;
    const std::vector<OptionSpec> table = optionTable(opts, help);
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        const std::size_t eq = arg.find('=');
        const bool inlineValue = eq != std::string::npos;
        if (inlineValue) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
        }
        const OptionSpec* opt = nullptr;
        for (const OptionSpec& s : table) {
            opt = arg == s.name ? &s : opt;
        }
        if (opt == nullptr) {
            error = "unknown option " + arg;
            return false;
        }
        if (opt->takesValue && !inlineValue) {
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        error = opt->apply(value);
        if (!error.empty()) {
            return false;
        }
    }
    error = help ? std::string() : crossCheck(opts);
    return error.empty();
}

const char* usageText()
{
    return "usage: fins-bench [options]\n"
           "  --tcp | --udp          transport (default tcp, node address handshake first)\n"
           "  --host ADDR            server IPv4 address (default 127.0.0.1)\n"
           "  --port N               server port (default 9600)\n"
           "  --conns N              concurrent connections or sockets (default 1)\n"
           "  --pipeline D           requests in flight per connection (default 1, max 256)\n"
           "  --seconds S            run for S seconds (default 5)\n"
           "  --count N              or send N requests in all, spread over the connections\n"
           "  --words N              words (bits with --bits) per request (default 10)\n"
           "  --bits                 bit area instead of word area\n"
           "  --write                memory area write instead of read\n"
           "  --cio                  CIO area instead of DM\n"
           "  --addr W               start word address (default 0)\n"
           "  --threads N            worker threads (default: half the cores, at least 1)\n"
           "  --timeout-ms N         longest wait for a response or a connection (default 5000)\n"
           "  --connect-batch N      connections set up at once (default 256)\n"
           "Every response is checked (length, SID, response code); a wrong or missing one ends\n"
           "the run with exit status 1. The last line reads req/s=... p50_us=... p99_us=...\n";
}
