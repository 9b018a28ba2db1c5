// The FINS commands beyond memory area read and write that HMIs, SCADA drivers and client libraries
// send: multiple read (0104), fill (0103), transfer (0105), controller data read (0501), controller
// status read (0601), clock read (0701) and loopback test (0801). Each checks its parameters and
// every address before it touches memory and hands back the response data or the code the request
// ends with; the protocol builds and sends the response. Runs on the event loop's reader thread;
// holds only what the protocol hands it for one request: the memory, the policy and the area map.
#pragma once

#include <cstdint>
#include <string>

#include "appmem/AppAreaMem.h"
#include "fins/FinsAreaMap.h"
#include "fins/FinsPolicy.h"
#include "fins/Message.h"

// Model text of the controller data read unless the policy names another (FinsPolicy::model):
// names this soft controller. At most kTextField bytes.
constexpr const char* kControllerModel = "DrvFins Soft PLC";

// Controller data read (0501): its two parts and what each holds.
constexpr unsigned kTextField = 20;           // model and version texts, space-padded
constexpr unsigned kSystemUseBytes = 40;      // zeros
constexpr unsigned kAreaDataBytes = 12;       // program, bit area, DM and other sizes
constexpr unsigned kBusUnitBytes = 64;        // bus unit configuration: none here, zeros
constexpr unsigned kControllerFirstPart = 92; // parameter 0x00: texts, system use, area data
constexpr unsigned kControllerLastPart = 66;  // parameter 0x01: bus units, unit and remote I/O
constexpr unsigned kControllerData = kControllerFirstPart + kControllerLastPart; // 158
constexpr uint8_t kControllerParamFirst = 0x00;
constexpr uint8_t kControllerParamLast = 0x01;

// Controller status read (0601): 26 bytes.
constexpr unsigned kStatusData = 26;
constexpr unsigned kStatusMessageBytes = 16; // message text, spaces
constexpr uint8_t kStatusRunning = 0x01;     // an application is loaded
constexpr uint8_t kStatusStopped = 0x00;
constexpr uint8_t kModeRun = 0x04;
constexpr uint8_t kModeProgram = 0x00;

// Clock read (0701): year, month, day, hour, minute, second in BCD, day of week (0 = Sunday).
constexpr unsigned kClockData = 7;

// Loopback test (0801): the test data come back as sent, as many bytes as the largest response
// this server builds can carry behind its headers.
constexpr unsigned kMaxLoopbackData = kMessageCapacity - kResponseHeadLen;

// Multiple memory area read (0104): items of area, word address and bit.
constexpr unsigned kMultiReadItemBytes = 4;
constexpr unsigned kMaxMultiReadItems = 167;

// Fill (0103): area command (area, address, bit, count) and one word value. Transfer (0105):
// source area, address and bit, destination area, address and bit, count.
constexpr unsigned kFillParamBytes = 8;
constexpr unsigned kTransferParamBytes = 10;

class CFinsCommands
{
public:
    // All three are the protocol's (not owned) and outlive this object. writer: whether the client
    // may change memory at all (the policy's write-allow list); a fill or transfer from any other
    // client ends with RESP_READ_ONLY once its parameters are checked.
    CFinsCommands(CAppAreaMemmory& memory, const FinsPolicy& policy, const CFinsAreaMap& map,
                  bool writer = true);

    // True for the command codes Execute carries out.
    static bool Handles(uint16_t command);
    // True for the commands among them that change memory (fill, transfer).
    static bool Writes(uint16_t command)
    {
        return command == FINS_CMD_FILL || command == FINS_CMD_TRANSFER;
    }

    // Carries out one command on its parameters (the bytes behind the command code). RESP_OK with
    // the response data in `data`, or the response code the request ends with (data then
    // unspecified); on any code but RESP_OK memory is as it was. A fill or transfer into an area
    // the policy protects, or from a client that is no writer, ends with RESP_READ_ONLY.
    uint16_t Execute(uint16_t command, const char* params, unsigned int len, std::string& data);

    // What the last fill or transfer carried out wrote: area, address and bit as sent, and the
    // count (0 when nothing was written), with where it landed.
    const _FinsReadCmd& Written() const { return m_written; }
    const FinsLocation& WrittenAt() const { return m_writtenAt; }

private:
    uint16_t MultipleRead(const char* params, unsigned int len, std::string& data);
    uint16_t Fill(const char* params, unsigned int len);
    uint16_t Transfer(const char* params, unsigned int len);
    uint16_t ControllerDataRead(const char* params, unsigned int len, std::string& data);
    uint16_t StatusRead(unsigned int len, std::string& data);
    uint16_t ClockRead(unsigned int len, std::string& data);
    uint16_t Loopback(const char* params, unsigned int len, std::string& data);

    CAppAreaMemmory& m_memory;
    const FinsPolicy& m_policy;
    const CFinsAreaMap& m_map;
    bool m_writer;
    _FinsReadCmd m_written{};
    FinsLocation m_writtenAt;
};
