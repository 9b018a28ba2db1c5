// Values of the fins client: numbers as users type them, and the types a value may have in the
// words it spans. A value of several words lies low word first, as the application's
// little-endian variables lie in its segments and as FINS controllers order double words; a
// string's first character is the low byte of its first word.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class ValueType : uint8_t
{
    Word, // no --type: a word written as 0..65535 or -32768..-1, printed unsigned and in hex
    U16,
    I16,
    U32,
    I32,
    F32,
    F64,
    Str,
};

// "u16", "i16", "u32", "i32", "f32", "f64", "str"; false for another name.
bool ParseValueType(const std::string& name, ValueType* out);
// Words one value takes; 0 for strings, whose length decides.
unsigned WordsPerValue(ValueType type);
// Words a string of `chars` characters takes with its terminating NUL.
size_t StringWords(size_t chars);
// A whole number in [min, max], decimal unless it starts with 0x (after an optional sign), so a
// leading zero is decimal too. False for anything else, *out then unchanged.
bool ParseNumber(const std::string& text, int64_t min, int64_t max, int64_t* out);
// Appends the words of one value of the type written as `text`; false with a reason in *error.
// A string is followed by a NUL and padded to whole words.
bool EncodeValue(ValueType type, const std::string& text, std::vector<uint16_t>& words,
                 std::string* error);
// The text of one value from its words: "1 (0x0001)", "-1 (0xFFFF)", "1.5", "\"text\"" (up to
// the first NUL; other bytes outside printable ASCII as \xNN).
std::string DecodeValue(ValueType type, const uint16_t* words, size_t count);
