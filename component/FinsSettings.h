// Settings of the server, read from an INI file at every download done: address and port, which
// endpoints run, the loop threads' priority and share of the CPU, the controller's model text,
// and the access rules. Runtime event thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/RuntimeApi.h"
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
    unsigned readOnly = 0;          // kReadOnly* bits
    uint32_t maxConnections = 0;    // 0: no limit
    uint32_t maxConnectionsPerClient = 0;
    uint32_t idleTimeoutS = 0; // 0: never
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
