// Settings of the server, read from an INI file at every download done: address and port, which
// endpoints run, the controller's model text, and the access rules. Runtime event thread only.
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

// The settings file beside the library, used when DRVFINS_CONFIG names none.
constexpr const char* kSettingsFileName = "DrvFins.ini";

// The controller data read carries the model as 20 ASCII bytes.
constexpr size_t kModelTextBytes = 20;

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
    std::string model;              // empty: the built-in model text
    std::vector<std::string> allow; // valid address and CIDR entries; empty admits everyone
    unsigned readOnly = 0;          // kReadOnly* bits
    uint32_t maxConnections = 0;    // 0: no limit
    uint32_t maxConnectionsPerClient = 0;
    uint32_t idleTimeoutS = 0; // 0: never
    // [areas]: the layout, or the range lines that make the whole map when there are any (those
    // that could be read; none may be left, and then nothing is mapped).
    CFinsAreaMap::Layout layout = CFinsAreaMap::Layout::wide;
    bool rangeLines = false;
    std::vector<FinsAreaLine> areas;
};

// Reads the settings from `path`. Nothing stops the server: an unreadable file, an unknown key or
// a bad value is logged as a warning naming the file, the line and the key, and that setting
// keeps its default. In the lists (allow, read_only) a bad entry is left out and the rest apply.
FinsSettings LoadFinsSettings(const std::string& path);

// The settings file: $DRVFINS_CONFIG when set and not empty, else DrvFins.ini beside the library
// when it exists, else "" (no file: the defaults, and nothing is logged).
std::string FindFinsSettingsFile();

// $DRVFINS_PORT and $DRVFINS_BIND, when set, override the file; a bad one is logged and ignored.
void ApplyFinsOverrides(FinsSettings& settings);

// FindFinsSettingsFile, LoadFinsSettings and ApplyFinsOverrides: the settings in effect.
FinsSettings ResolveFinsSettings();

// The settings as one log line.
std::string FormatFinsSettings(const FinsSettings& settings);

// The area map the settings give, built at a download once `memory` holds the application's
// segments: the layout, or the range lines. A range line whose words run past the end of its
// segment (when the segment is there to tell) is logged with its file, line and text and left
// out.
CFinsAreaMap BuildFinsAreaMap(const FinsSettings& settings, CAppAreaMemmory& memory);
