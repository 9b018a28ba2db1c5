// Recursive-descent JSON parser over an owned copy of the text. The grammar is narrow on purpose:
// no escape sequences in strings and no exponents. Every error throws std::logic_error with a
// fixed message; nothing is logged. A parser is used by one thread.
#pragma once

#include <cstddef>
#include <string>

#include "base/Export.h"
#include "utility/Json.h"

namespace libvor {
namespace json {

class DRVFINS_API Parser
{
public:
    // Arrays and objects nested deeper than this fail, so no input can exhaust the stack.
    static constexpr int kMaxDepth = 512;

    Parser();
    ~Parser();

    // Copies the text and starts reading at its beginning.
    void load(const std::string& text);
    // Reads one value at the position and leaves the position just after it; whatever follows
    // is not examined. After an error the position is where the error was found.
    Json parse();

private:
    void skip_white_spaces();
    // The next character after white space, consumed; throws at the end of the text.
    char get_next_token();
    Json parse_null();
    Json parse_bool();
    Json parse_number();
    // Reads a string whose opening quote was already consumed.
    Json parse_string();
    // Read after their opening bracket or brace was consumed.
    Json parse_array();
    Json parse_object();
    // The character at the position plus offset, or '\0' past the end of the text.
    char peek(size_t offset = 0) const;

    std::string m_str;
    size_t m_idx;
    int m_depth; // open arrays and objects around the position
};

} // namespace json
} // namespace libvor
