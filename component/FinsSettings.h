// Settings of the server, read from an INI file at every download done: address and port, which
// endpoints run, the loop threads' priority and share of the CPU, the controller's model text,
// and the access rules. Runtime event thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "appmem/AppAreaMem.h"
#include "base/RuntimeApi.h"
#include "fins/FinsAreaMap.h"
#include "fins/FinsPolicy.h" // the kReadOnly* bits

constexpr const char* kServerBindAddr = "0.0.0.0";
constexpr unsigned short kServerPort = 9600;

// The loop threads run SCHED_FIFO at this priority (1 to 99; 0: ordinary scheduling).
constexpr unsigned kServerThreadPriority = 21;
constexpr unsigned kMaxServerThreadPriority = 99;
// Percent of one core the loop threads may use together (1 to 100), measured over windows of
// 10 ms; 100 sets no budget.
constexpr unsigned kServerCpuShare = 100;

// The settings file beside the library, used when DRVFINS_CONFIG names none.
constexpr const char* kSettingsFileName = "DrvFins.ini";

// The controller data read carries the model as 20 ASCII bytes.
constexpr size_t kModelTextBytes = 20;

// read_only when it names an area the reader does not know: every area, those known by name and
// any added later, since the user meant to protect something and it is not known what.
constexpr unsigned kReadOnlyEveryArea = ~0u;

// A range line of [areas] that was read ("CIO 0-99 = I 0"): where it stands and what it maps.
struct FinsAreaLine
{
    int line = 0;
    std::string text; // the line as written, for the warnings of the map's build
    FinsAreaRange range;
};

// Every default is what the server does without a settings file.
struct FinsSettings
{
    std::string file;             // the file read; empty when there is none
    bool fromEnvironment = false; // DRVFINS_PORT or DRVFINS_BIND overrode the file
    std::string bindAddr = kServerBindAddr;
    unsigned short port = kServerPort;
    bool tcp = true;
    bool udp = true;
    unsigned priority = kServerThreadPriority; // [server] priority
    unsigned cpuShare = kServerCpuShare;       // [server] cpu_share
    std::string model;                         // empty: the built-in model text
    std::vector<std::string> allow; // valid address and CIDR entries; empty admits everyone
    bool allowNone = false;         // allow had no readable entry: no client is admitted
    unsigned readOnly = 0;          // kReadOnly* bits
    uint32_t maxConnections = 0;    // 0: no limit
    uint32_t maxConnectionsPerClient = 0;
    uint32_t idleTimeoutS = 0; // 0: never
    // write_allow given: only writeAllow's clients may write, fill or transfer; with the list
    // empty (not one entry readable) no client may.
    bool writersNamed = false;
    std::vector<std::string> writeAllow; // valid address and CIDR entries
    bool logWrites = false;
    // [areas]: the layout, or the range lines that make the whole map when there are any (those
    // that could be read; none may be left, and then nothing is mapped).
    CFinsAreaMap::Layout layout = CFinsAreaMap::Layout::wide;
    bool rangeLines = false;
    std::vector<FinsAreaLine> areas;
};

// Reads the settings from `path`. Nothing stops the server, and every line is either applied or
// logged with the file, the line and its text: an unknown key, a bad value (that setting keeps
// its default), a line the INI reader skipped (no section yet, no "key = value") and a key set
// twice (the later line wins). In allow a bad entry among good ones is left out with a warning.
// Access settings fail closed, with an error: an allow with no readable entry admits no one, a
// read_only naming an unknown area protects every area, a write_allow with no readable
// entry lets no client write. A value may be written in double quotes
// and followed by a "; comment". A file that cannot be read gives the built-in settings, or
// `inForce` when that was read from a file (a re-download keeps the settings it had).
FinsSettings LoadFinsSettings(const std::string& path,
                              const FinsSettings& inForce = FinsSettings());

// The settings file: $DRVFINS_CONFIG when set and not empty, else DrvFins.ini beside the library
// when it exists, else "" (no file: the defaults, and nothing is logged).
std::string FindFinsSettingsFile();

// $DRVFINS_PORT and $DRVFINS_BIND, when set, override the file; a bad one is logged and ignored.
void ApplyFinsOverrides(FinsSettings& settings);

// FindFinsSettingsFile, LoadFinsSettings and ApplyFinsOverrides: the settings in effect. `inForce`
// are the settings of the last download: when they came from a file that can no longer be found
// or read, they stay (LoadFinsSettings).
FinsSettings ResolveFinsSettings(const FinsSettings& inForce = FinsSettings());

// The logging adapter's longest entry; a longer text is cut where the reader cannot follow it.
constexpr size_t kLogEntryChars = 200;

// The settings as log lines of at most kLogEntryChars each; the first begins
// "settings: bind ADDR, port N, tcp on|off, udp on|off".
std::vector<std::string> FormatFinsSettings(const FinsSettings& settings);

// The area map the settings give, built at a download once `memory` holds the application's
// segments: the layout, or the range lines. A range line whose words run past the end of its
// segment (when the segment is there to tell) is logged with its file, line and text and left
// out.
CFinsAreaMap BuildFinsAreaMap(const FinsSettings& settings, CAppAreaMemmory& memory);

// Leaves out, with that warning, the range lines whose words run past the end of their segment,
// so that the settings logged name the map in force.
void FitFinsAreasToSegments(FinsSettings& settings, CAppAreaMemmory& memory);
