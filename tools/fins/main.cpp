// fins: a FINS command-line client. Reads and writes words and bits of a FINS server's DM and CIO
// areas over FINS/TCP (node address handshake first) or FINS/UDP.
//   fins [--udp] [--host H] [--port P] [--timeout MS] read ADDRESS [COUNT]
//   fins [--udp] [--host H] [--port P] [--timeout MS] write ADDRESS VALUE...
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/fins/Address.h"
#include "tools/fins/Transport.h"
#include "tools/fins/Wire.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;
constexpr int kDefaultTimeoutMs = 3000;
constexpr uint32_t kMaxCount = 65535;
constexpr uint8_t kSid = 1;

const char kUsage[] =
    "usage: fins [--udp] [--host H] [--port P] [--timeout MS] read ADDRESS [COUNT]\n"
    "       fins [--udp] [--host H] [--port P] [--timeout MS] write ADDRESS VALUE...\n"
    "ADDRESS: D100 (DM word), D100.5 (DM bit), CIO10 (CIO word), CIO10.3 (CIO bit);\n"
    "CIO 32768 and up are the outputs. Words take 0..65535 (or 0x hex), bits 0 or 1.\n"
    "Defaults: --host 127.0.0.1 --port 9600 --timeout 3000, FINS/TCP.\n"
    "fins --version prints the version and build commit.\n";

struct Command
{
    bool udp = false;
    std::string host = "127.0.0.1";
    std::string port = "9600";
    int timeoutMs = kDefaultTimeoutMs;
    bool write = false;
    FinsAddress address{};
    std::vector<std::string> args; // COUNT, or the values
};

bool ParseNumber(const std::string& text, long min, long max, long* out)
{
    if (text.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    long v = strtol(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v < min || v > max) {
        return false;
    }
    *out = v;
    return true;
}

// Options first, then the verb, the address and its arguments.
bool ParseCommand(int argc, char** argv, Command* cmd, std::string* error)
{
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        std::string opt = argv[i];
        long timeout = 0;
        if (opt == "--udp") {
            cmd->udp = true;
        } else if ((opt == "--host" || opt == "--port" || opt == "--timeout") && i + 1 < argc) {
            std::string value = argv[++i];
            if (opt == "--host") {
                cmd->host = value;
            } else if (opt == "--port") {
                cmd->port = value;
            } else if (ParseNumber(value, 1, 600000, &timeout)) {
                cmd->timeoutMs = static_cast<int>(timeout);
            } else {
                *error = "bad --timeout " + value;
                return false;
            }
        } else {
            *error = "unknown option " + opt;
            return false;
        }
    }
    if (argc - i < 2) {
        *error = "missing command or address";
        return false;
    }
    std::string verb = argv[i];
    if (verb != "read" && verb != "write") {
        *error = "unknown command " + verb;
        return false;
    }
    cmd->write = verb == "write";
    if (!ParseFinsAddress(argv[i + 1], &cmd->address)) {
        *error = std::string("bad address ") + argv[i + 1];
        return false;
    }
    cmd->args.assign(argv + i + 2, argv + argc);
    return true;
}

// The write data: big-endian words, or one byte 0/1 per bit.
bool EncodeValues(const Command& cmd, Bytes* data, std::string* error)
{
    if (cmd.args.empty() || cmd.args.size() > kMaxCount) {
        *error = "write needs 1 to 65535 values";
        return false;
    }
    for (const std::string& text : cmd.args) {
        long v = 0;
        if (!ParseNumber(text, cmd.address.bit ? 0 : -32768, cmd.address.bit ? 1 : 65535, &v)) {
            *error = "bad value " + text + (cmd.address.bit ? " (bits are 0 or 1)" : "");
            return false;
        }
        if (cmd.address.bit) {
            data->push_back(static_cast<uint8_t>(v));
        } else {
            AppendBe16(*data, static_cast<uint16_t>(v));
        }
    }
    return true;
}

bool ReadCount(const Command& cmd, uint16_t* count, std::string* error)
{
    long v = 1;
    if (cmd.args.size() > 1 || (cmd.args.size() == 1 && !ParseNumber(cmd.args[0], 0, 65535, &v))) {
        *error = "read takes one COUNT of 0 to 65535";
        return false;
    }
    *count = static_cast<uint16_t>(v);
    return true;
}

void PrintValues(const Command& cmd, const Bytes& data)
{
    if (cmd.address.bit) {
        for (size_t k = 0; k < data.size(); ++k) {
            printf("%s = %u\n", FormatFinsAddress(cmd.address, k).c_str(), data[k] & 1u);
        }
        return;
    }
    for (size_t k = 0; k + 1 < data.size(); k += 2) {
        uint16_t v = ReadBe16(&data[k]);
        printf("%s = %u (0x%04X)\n", FormatFinsAddress(cmd.address, k / 2).c_str(), v, v);
    }
}

int Fail(const std::string& message)
{
    fprintf(stderr, "fins: %s\n", message.c_str());
    return kExitError;
}

int Run(const Command& cmd)
{
    Bytes data;
    uint16_t count = 0;
    std::string error;
    bool ok = cmd.write ? EncodeValues(cmd, &data, &error) : ReadCount(cmd, &count, &error);
    if (!ok) {
        fprintf(stderr, "fins: %s\n%s", error.c_str(), kUsage);
        return kExitUsage;
    }
    if (cmd.write) {
        count = static_cast<uint16_t>(cmd.args.size());
    }
    FinsTransport transport(cmd.udp, cmd.timeoutMs);
    if (!transport.Open(cmd.host, cmd.port, &error)) {
        return Fail(cmd.host + ":" + cmd.port + ": " + error);
    }
    uint16_t code = cmd.write ? kCmdWrite : kCmdRead;
    Bytes request = BuildFinsCommand(transport.Nodes(), kSid, code, FinsAreaCode(cmd.address),
                                     cmd.address.word, cmd.address.bitNo, count, data);
    Bytes frame;
    FinsResponse response{};
    if (!transport.Exchange(request, &frame, &error) ||
        !ParseFinsResponse(frame, kSid, code, &response, &error)) {
        return Fail(cmd.host + ":" + cmd.port + ": " + error);
    }
    if (response.code != 0) {
        return Fail("the server answered " + FinsResponseText(response.code));
    }
    if (cmd.write) {
        printf("wrote %u %s at %s\n", count, cmd.address.bit ? "bit(s)" : "word(s)",
               FormatFinsAddress(cmd.address, 0).c_str());
    } else {
        PrintValues(cmd, response.data);
    }
    return kExitOk;
}

} // namespace

int main(int argc, char** argv)
{
    Command cmd;
    std::string error;
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        fputs(kUsage, stdout);
        return kExitOk;
    }
    if (argc == 2 && std::string(argv[1]) == "--version") {
        printf("fins %s (commit %s)\n", FINS_VERSION, FINS_BUILD_COMMIT);
        return kExitOk;
    }
    if (!ParseCommand(argc, argv, &cmd, &error)) {
        fprintf(stderr, "fins: %s\n%s", error.c_str(), kUsage);
        return kExitUsage;
    }
    return Run(cmd);
}
