// fins: a FINS command-line client. Reads, writes, fills and copies words and bits of a FINS
// server's memory areas as values of several types, watches them change, and asks for its
// controller data, status and clock, over FINS/TCP (node address handshake first) or FINS/UDP.
// Options may stand before or after the command.
// Exit status: 0 done, 1 transport failure, 2 bad command line, 3 the server answered an error.
#include <csignal>
#include <cstdio>
#include <ctime>
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
constexpr long kMaxIntervalMs = 3600000;
constexpr long kMsPerSecond = 1000;
constexpr long kNsPerMs = 1000000;

const char kUsage[] =
    "usage: fins [OPTIONS] read ADDRESS [COUNT]      read COUNT values (2000 words at most)\n"
    "       fins [OPTIONS] read ADDRESS ADDRESS...   read several addresses in one request\n"
    "       fins [OPTIONS] write ADDRESS VALUE...    write words or bits from ADDRESS on\n"
    "       fins [OPTIONS] fill ADDRESS COUNT VALUE  write one word value to COUNT words\n"
    "       fins [OPTIONS] copy FROM TO COUNT        copy COUNT words\n"
    "       fins [OPTIONS] info | status | clock     controller data, status, clock\n"
    "OPTIONS (before or after the command): --udp, --host H, --port P (1-65535),\n"
    "--timeout MS, --type u16|i16|u32|i32|f32|f64|str (values of several words low word\n"
    "first; str: COUNT characters, default 80), --interval MS (read again every MS ms and\n"
    "print what changed; Ctrl-C ends it).\n"
    "Defaults: --host 127.0.0.1 --port 9600 --timeout 3000, FINS/TCP.\n"
    "ADDRESS: CIO10, W10, H10, A448, D100, E0_100 (EM bank 0-C), T5, C5 (present values),\n"
    "TF5, CF5 (completion flags); a bit: CIO10.3, W10.3, H5.3, A448.3, D100.5, E0_100.3.\n"
    "Numbers are decimal, or hex after 0x. Words take 0..65535 or -32768..-1, bits 0 or 1.\n"
    "fins --version prints the version and build commit.\n"
    "Exit status: 0 done, 1 transport failure, 2 bad command line, 3 FINS error code.\n";

struct Command
{
    bool udp = false;
    std::string host = "127.0.0.1";
    std::string port = "9600";
    int timeoutMs = kDefaultTimeoutMs;
    int intervalMs = 0; // 0: read once
    FinsOptions options;
    std::string verb;
    std::vector<std::string> args; // behind the verb
};

bool IsValueOption(const std::string& opt)
{
    for (const char* name : {"--host", "--port", "--timeout", "--type", "--interval"}) {
        if (opt == name) {
            return true;
        }
    }
    return false;
}

// The value of an option that takes one; false with a reason.
bool SetOption(const std::string& opt, const std::string& value, Command* cmd, std::string* error)
{
    int64_t number = 0;
    if (opt == "--host") {
        cmd->host = value;
    } else if (opt == "--type") {
        if (!ParseValueType(value, &cmd->options.type)) {
            *error = "bad --type " + value + " (u16, i16, u32, i32, f32, f64 or str)";
            return false;
        }
    } else if (opt == "--port") {
        if (!ParseNumber(value, 1, kMaxPort, &number)) {
            *error = "bad --port " + value + " (1 to 65535)";
            return false;
        }
        cmd->port = std::to_string(number);
    } else if (ParseNumber(value, 1, opt == "--timeout" ? kMaxTimeoutMs : kMaxIntervalMs,
                           &number)) {
        (opt == "--timeout" ? cmd->timeoutMs : cmd->intervalMs) = static_cast<int>(number);
    } else {
        *error = "bad " + opt + " " + value;
        return false;
    }
    return true;
}

// One option and, for those that take one, its value (argv[*i + 1]; *i moves past it).
bool ParseOption(int argc, char** argv, int* i, Command* cmd, std::string* error)
{
    std::string opt = argv[*i];
    if (opt == "--udp") {
        cmd->udp = true;
        cmd->options.maxFrame = kMaxFinsFrameUdp;
        return true;
    }
    if (!IsValueOption(opt) || *i + 1 >= argc) {
        *error = IsValueOption(opt) ? opt + " needs a value" : "unknown option " + opt;
        return false;
    }
    return SetOption(opt, argv[++*i], cmd, error);
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
    if (cmd->intervalMs != 0 && cmd->verb != "read") {
        *error = "--interval goes with read";
        return false;
    }
    return true;
}

int Fail(int code, const std::string& message)
{
    fprintf(stderr, "fins: %s\n", message.c_str());
    return code;
}

// One request and its answer; kExitOk with the response's data in *data.
int Ask(FinsTransport& transport, const Command& cmd, const FinsRequest& request, uint8_t sid,
        Bytes* data)
{
    std::string error;
    Bytes frame;
    FinsResponse response{};
    if (!transport.Exchange(BuildFinsFrame(transport.Nodes(), sid, request.command, request.params),
                            &frame, &error) ||
        !ParseFinsResponse(frame, sid, request.command, &response, &error)) {
        return Fail(kExitTransport, cmd.host + ":" + cmd.port + ": " + error);
    }
    if (!FinsCompleted(response.code)) {
        return Fail(kExitFinsError, "the server answered " + FinsResponseText(response.code));
    }
    if (response.code != 0) {
        fprintf(stderr, "fins: done, with end code %s\n", FinsResponseText(response.code).c_str());
    }
    *data = response.data;
    return kExitOk;
}

volatile sig_atomic_t s_stop = 0;

void OnStopSignal(int)
{
    s_stop = 1;
}

// Ctrl-C (and SIGTERM) end a watch between two reads; a read under way is finished first.
void CatchStopSignals()
{
    struct sigaction action
    {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    (void)sigaction(SIGINT, &action, nullptr);
    (void)sigaction(SIGTERM, &action, nullptr);
}

// Sleeps the interval; a stop signal cuts it short.
void Pause(int ms)
{
    timespec left{ms / kMsPerSecond, (ms % kMsPerSecond) * kNsPerMs};
    while (!s_stop && nanosleep(&left, &left) != 0) {
    }
}

std::string TimeOfDay()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char text[32];
    snprintf(text, sizeof(text), "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min, local.tm_sec,
             now.tv_nsec / kNsPerMs);
    return text;
}

// Reads every interval and prints, with the time, each value that differs from the last read
// (all of them the first time), until a stop signal.
int Watch(FinsTransport& transport, const Command& cmd, const FinsRequest& request)
{
    CatchStopSignals();
    std::vector<ValueLine> last;
    std::vector<ValueLine> lines;
    std::string error;
    for (uint8_t sid = 1; s_stop == 0; ++sid) {
        Bytes data;
        if (int code = Ask(transport, cmd, request, sid, &data); code != kExitOk) {
            return code;
        }
        if (!DecodeRead(request, data, &lines, &error)) {
            return Fail(kExitTransport, cmd.host + ":" + cmd.port + ": " + error);
        }
        for (size_t i = 0; i < lines.size(); ++i) {
            if (last.empty() || lines[i].value != last[i].value) {
                printf("%s %s = %s\n", TimeOfDay().c_str(), lines[i].address.c_str(),
                       lines[i].value.c_str());
            }
        }
        fflush(stdout);
        last.swap(lines);
        Pause(cmd.intervalMs);
    }
    return kExitOk;
}

int Run(const Command& cmd, const FinsRequest& request)
{
    std::string error;
    FinsTransport transport(cmd.udp, cmd.timeoutMs);
    if (!transport.Open(cmd.host, cmd.port, &error)) {
        return Fail(kExitTransport, cmd.host + ":" + cmd.port + ": " + error);
    }
    if (cmd.intervalMs != 0) {
        return Watch(transport, cmd, request);
    }
    Bytes data;
    if (int code = Ask(transport, cmd, request, 1, &data); code != kExitOk) {
        return code;
    }
    if (!PrintResponse(cmd.verb, request, data, &error)) {
        return Fail(kExitTransport, cmd.host + ":" + cmd.port + ": " + error);
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
        !PlanRequest(cmd.verb, cmd.args, cmd.options, &request, &error)) {
        fprintf(stderr, "fins: %s\n%s", error.c_str(), kUsage);
        return kExitUsage;
    }
    return Run(cmd, request);
}
