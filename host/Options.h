// Command line of runtime-host.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/HostLog.h"

constexpr uint32_t kDefaultInputBytes = 65536;   // CIO 0..32767
constexpr uint32_t kDefaultOutputBytes = 65536;  // CIO 32768..65535
constexpr uint32_t kDefaultMemoryBytes = 131072; // DM 0..65535
constexpr uint32_t kMaxSegmentBytes = 1u << 30;

struct HostOptions
{
    std::string componentPath; // empty: libDrvFins.so beside the executable
    uint32_t inputBytes = kDefaultInputBytes;
    uint32_t outputBytes = kDefaultOutputBytes;
    uint32_t memoryBytes = kDefaultMemoryBytes;
    bool noApp = false;
    bool noInput = false;
    bool noOutput = false;
    bool noMemory = false;
    bool demo = false;
    bool help = false;
    bool version = false;
    std::vector<std::string> withheld; // runtime functions not offered
    // Handed to the component through its environment; empty: the settings file decides.
    std::string configPath;
    std::string port;
    std::string bindAddr;
    HostLogLevel logLevel = HostLogLevel::Debug; // what of the component's log is printed
};

// Parses argv into options. False with a message in *error for a bad command line.
bool ParseHostOptions(int argc, char** argv, HostOptions* options, std::string* error);
const char* HostUsage();
