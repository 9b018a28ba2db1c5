// Feeds arbitrary bytes to the JSON parser. A std::logic_error is the parser's answer to bad
// input; a crash, a sanitizer report or a copy that differs from its source is a fault.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "utility/Json.h"

using libvor::json::Json;

namespace {

// Copies and assignments must reproduce the tree; the grammar cannot produce NaN, so a parsed
// tree always equals its copy.
void CheckCopies(Json& value)
{
    Json copy(value);
    if (!(copy == value) || copy.toString() != value.toString()) {
        std::abort();
    }
    if (value.isArray() && !value.empty()) {
        Json expected(value.get(0));
        value = value.get(0); // assignment from the value's own element
        if (!(value == expected)) {
            std::abort();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Json value;
    try {
        value.parse(std::string(reinterpret_cast<const char*>(data), size));
    } catch (const std::logic_error&) {
        return 0;
    }
    (void)value.toString();
    CheckCopies(value);
    return 0;
}
