// fins: a FINS command-line client. Reads, writes, fills and copies words and bits of a FINS
// server's DM and CIO areas and asks for its controller data, status and clock, over FINS/TCP
// (node address handshake first) or FINS/UDP. Options may stand before or after the command.
// Exit status: 0 done, 1 transport failure, 2 bad command line, 3 the server answered an error.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/fins/Transport.h"
#include "tools/fins/Verbs.h"
#include "tools/fins/Wire.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitTransport = 1;
constexpr int kExitUsage = 2;
constexpr int kExitFinsError = 3;
constexpr int kDefaultTimeoutMs = 3000;
constexpr long kMaxTimeoutMs = 600000;
constexpr long kMaxPort = 65535;
constexpr uint8_t kSid = 1;

const char kUsage[] =
    "usage: fins [OPTIONS] read ADDRESS [COUNT]      read COUNT (1-2000) words or bits\n"
    "       fins [OPTIONS] read ADDRESS ADDRESS...   read several addresses in one request\n"
    "       fins [OPTIONS] write ADDRESS VALUE...    write words or bits from ADDRESS on\n"
    "       fins [OPTIONS] fill ADDRESS COUNT VALUE  write one word value to COUNT words\n"
    "       fins [OPTIONS] copy FROM TO COUNT        copy COUNT words\n"
    "       fins [OPTIONS] info | status | clock     controller data, status, clock\n"
    "OPTIONS (before or after the command): --udp, --host H, --port P (1-65535),\n"
    "--timeout MS. Defaults: --host 127.0.0.1 --port 9600 --timeout 3000, FINS/TCP.\n"
    "ADDRESS: D100 (DM word), D100.5 (DM bit), CIO10 (CIO word), CIO10.3 (CIO bit);\n"
    "CIO 32768 and up are the outputs. Words take 0..65535 (or 0x hex), bits 0 or 1.\n"
    "fins --version prints the version and build commit.\n"
    "Exit status: 0 done, 1 transport failure, 2 bad command line, 3 FINS error code.\n";

struct Command
{
    bool udp = false;
    std::string host = "127.0.0.1";
    std::string port = "9600";
    int timeoutMs = kDefaultTimeoutMs;
    std::string verb;
    std::vector<std::string> args; // behind the verb
};

// One option and, for those that take one, its value (argv[*i + 1]; *i moves past it).
bool ParseOption(int argc, char** argv, int* i, Command* cmd, std::string* error)
{
    std::string opt = argv[*i];
    if (opt == "--udp") {
        cmd->udp = true;
        return true;
    }
    if ((opt != "--host" && opt != "--port" && opt != "--timeout") || *i + 1 >= argc) {
        *error = opt == "--host" || opt == "--port" || opt == "--timeout" ? opt + " needs a value"
                                                                          : "unknown option " + opt;
        return false;
    }
    std::string value = argv[++*i];
    long number = 0;
    if (opt == "--host") {
        cmd->host = value;
    } else if (opt == "--port") {
        if (!ParseNumber(value, 1, kMaxPort, &number)) {
            *error = "bad --port " + value + " (1 to 65535)";
            return false;
        }
        cmd->port = std::to_string(number);
    } else if (ParseNumber(value, 1, kMaxTimeoutMs, &number)) {
        cmd->timeoutMs = static_cast<int>(number);
    } else {
        *error = "bad --timeout " + value;
        return false;
    }
    return true;
}

// Options anywhere; the first other word is the command, the rest its arguments. A lone "-" sign
// is a value (write D1 -1), not an option.
bool ParseCommand(int argc, char** argv, Command* cmd, std::string* error)
{
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word.rfind("--", 0) == 0) {
            if (!ParseOption(argc, argv, &i, cmd, error)) {
                return false;
            }
        } else if (cmd->verb.empty()) {
            cmd->verb = word;
        } else {
            cmd->args.push_back(word);
        }
    }
    if (cmd->verb.empty() || !IsFinsVerb(cmd->verb)) {
        *error = cmd->verb.empty() ? "missing command" : "unknown command " + cmd->verb;
        return false;
    }
    return true;
}

int Fail(int code, const std::string& message)
{
    fprintf(stderr, "fins: %s\n", message.c_str());
    return code;
}

int Run(const Command& cmd, const FinsRequest& request)
{
    std::string error;
    FinsTransport transport(cmd.udp, cmd.timeoutMs);
    const std::string where = cmd.host + ":" + cmd.port + ": ";
    if (!transport.Open(cmd.host, cmd.port, &error)) {
        return Fail(kExitTransport, where + error);
    }
    Bytes frame;
    FinsResponse response{};
    if (!transport.Exchange(
            BuildFinsFrame(transport.Nodes(), kSid, request.command, request.params), &frame,
            &error) ||
        !ParseFinsResponse(frame, kSid, request.command, &response, &error)) {
        return Fail(kExitTransport, where + error);
    }
    if (response.code != 0) {
        return Fail(kExitFinsError, "the server answered " + FinsResponseText(response.code));
    }
    if (!PrintResponse(cmd.verb, cmd.args, request, response.data, &error)) {
        return Fail(kExitTransport, where + error);
    }
    return kExitOk;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        fputs(kUsage, stdout);
        return kExitOk;
    }
    if (argc == 2 && std::string(argv[1]) == "--version") {
        printf("fins %s (commit %s)\n", FINS_VERSION, FINS_BUILD_COMMIT);
        return kExitOk;
    }
    Command cmd;
    FinsRequest request{};
    std::string error;
    if (!ParseCommand(argc, argv, &cmd, &error) ||
        !PlanRequest(cmd.verb, cmd.args, &request, &error)) {
        fprintf(stderr, "fins: %s\n%s", error.c_str(), kUsage);
        return kExitUsage;
    }
    return Run(cmd, request);
}
