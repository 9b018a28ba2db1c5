// The fins client's commands (read, write, fill, copy, info, status, clock): each turns its
// arguments into one FINS request and prints the data of the response that answers it.
#pragma once

#include <string>
#include <vector>

#include "tools/fins/Address.h"
#include "tools/fins/Value.h"
#include "tools/fins/Wire.h"

struct FinsOptions
{
    ValueType type = ValueType::Word;
    size_t maxFrame = kMaxFinsFrameTcp; // the largest FINS frame the transport carries
};

struct FinsRequest
{
    uint16_t command;
    Bytes params; // behind the command code
    // What a read's answer holds: its addresses, each with `values` values of `type` (several
    // addresses: one value each) spanning `words` words per value.
    std::vector<FinsAddress> addresses;
    ValueType type;
    size_t values;
    size_t words;
};

// One value of a read as the client prints it: "D100 = 1 (0x0001)".
struct ValueLine
{
    std::string address;
    std::string value;
};

// True for a command name the client knows.
bool IsFinsVerb(const std::string& verb);
// Checks a command's arguments and builds its request; false with a reason (a usage error).
bool PlanRequest(const std::string& verb, const std::vector<std::string>& args,
                 const FinsOptions& options, FinsRequest* out, std::string* error);
// The values of a read (0101 or 0104) from the data of its successful response; false with a
// reason when the data do not have the layout the request asks for.
bool DecodeRead(const FinsRequest& request, const Bytes& data, std::vector<ValueLine>* lines,
                std::string* error);
// Prints the data of a successful response to the planned request; false as DecodeRead.
bool PrintResponse(const std::string& verb, const FinsRequest& request, const Bytes& data,
                   std::string* error);
