// The fins client's commands (read, write, fill, copy, info, status, clock): each turns its
// arguments into one FINS request and prints the data of the response that answers it.
#pragma once

#include <string>
#include <vector>

#include "tools/fins/Wire.h"

struct FinsRequest
{
    uint16_t command;
    Bytes params; // behind the command code
};

// True for a command name the client knows.
bool IsFinsVerb(const std::string& verb);
// Checks a command's arguments and builds its request; false with a reason (a usage error).
bool PlanRequest(const std::string& verb, const std::vector<std::string>& args, FinsRequest* out,
                 std::string* error);
// Prints the data of a successful response to the planned request; false with a reason when the
// data do not have the layout the request asks for.
bool PrintResponse(const std::string& verb, const std::vector<std::string>& args,
                   const FinsRequest& request, const Bytes& data, std::string* error);
// A number in [min, max], decimal or 0x hex; false for anything else.
bool ParseNumber(const std::string& text, long min, long max, long* out);
