// JSON parser: one function per grammar rule, every read bounded by the text's length.
#include "utility/Parser.h"

#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include "utility/DepthGuard.h"

namespace libvor {
namespace json {

namespace {

constexpr const char* kEndOfInput = "unexpected end of input";
constexpr const char* kNullError = "parse null error";
constexpr const char* kBoolError = "parse bool error";
constexpr const char* kBadNumber = "invalid character in number";
constexpr const char* kLeadingZero = "leading 0s not permitted in numbers";
constexpr const char* kNoFraction = "at least one digit required in fractional part";
constexpr const char* kEndInString = "unexpected end of input in string";
constexpr const char* kEscape = "not support escaped characters in string";
constexpr const char* kArrayComma = "expected ',' in array";
constexpr const char* kObjectQuote = "expected '\"' in object";
constexpr const char* kObjectColon = "expected ':' in object";
constexpr const char* kObjectComma = "expected ',' in object";
constexpr const char* kUnexpected = "unexpected character in parse json";
constexpr const char* kTooDeep = "json nesting deeper than 512 levels";

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Called before an array or object opens another level.
void CheckDepth(int depth)
{
    if (depth >= Parser::kMaxDepth) {
        throw std::logic_error(kTooDeep);
    }
}

} // namespace

Parser::Parser() : m_idx(0), m_depth(0) {}

Parser::~Parser() = default;

void Parser::load(const std::string& text)
{
    m_str = text;
    m_idx = 0;
    m_depth = 0;
}

Json Parser::parse()
{
    char c = get_next_token();
    if (c == 'n') {
        --m_idx;
        return parse_null();
    }
    if (c == 't' || c == 'f') {
        --m_idx;
        return parse_bool();
    }
    if (IsDigit(c) || c == '-') {
        --m_idx;
        return parse_number();
    }
    switch (c) {
    case '"':
        return parse_string();
    case '[':
        return parse_array();
    case '{':
        return parse_object();
    default:
        throw std::logic_error(kUnexpected);
    }
}

void Parser::skip_white_spaces()
{
    while (m_idx < m_str.size()) {
        char c = m_str[m_idx];
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') {
            return;
        }
        ++m_idx;
    }
}

char Parser::get_next_token()
{
    skip_white_spaces();
    if (m_idx >= m_str.size()) {
        throw std::logic_error(kEndOfInput);
    }
    return m_str[m_idx++];
}

Json Parser::parse_null()
{
    if (m_str.compare(m_idx, 4, "null") != 0) {
        throw std::logic_error(kNullError);
    }
    m_idx += 4;
    return Json();
}

Json Parser::parse_bool()
{
    if (m_str.compare(m_idx, 4, "true") == 0) {
        m_idx += 4;
        return Json(true);
    }
    if (m_str.compare(m_idx, 5, "false") == 0) {
        m_idx += 5;
        return Json(false);
    }
    throw std::logic_error(kBoolError);
}

Json Parser::parse_number()
{
    const size_t start = m_idx;
    if (peek() == '-') {
        ++m_idx;
    }
    if (peek() == '0') {
        ++m_idx;
        if (IsDigit(peek())) {
            throw std::logic_error(kLeadingZero);
        }
    } else if (peek() >= '1' && peek() <= '9') {
        while (IsDigit(peek())) {
            ++m_idx;
        }
    } else {
        throw std::logic_error(kBadNumber);
    }
    // The conversions read from the start without a length, as callers' stored texts expect: an
    // exponent after a fraction is applied by strtod although the position stops before it.
    const char* text = m_str.c_str() + start;
    if (peek() != '.') {
        long long value = std::strtoll(text, nullptr, 10);
        return Json(static_cast<int>(static_cast<uint32_t>(value))); // the low 32 bits
    }
    ++m_idx;
    if (!IsDigit(peek())) {
        throw std::logic_error(kNoFraction);
    }
    while (IsDigit(peek())) {
        ++m_idx;
    }
    return Json(std::strtod(text, nullptr));
}

Json Parser::parse_string()
{
    const size_t start = m_idx;
    for (;;) {
        if (m_idx >= m_str.size()) {
            throw std::logic_error(kEndInString);
        }
        char c = m_str[m_idx++];
        if (c == '"') {
            break;
        }
        if (c == '\\') {
            throw std::logic_error(kEscape);
        }
    }
    Json value(Json::json_string);
    value.m_string.assign(m_str, start, m_idx - 1 - start);
    return value;
}

Json Parser::parse_array()
{
    CheckDepth(m_depth);
    utility::DepthGuard guard(m_depth);
    Json array(Json::json_array);
    char c = get_next_token();
    if (c == ']') {
        return array;
    }
    for (;;) {
        --m_idx; // back over the first character of the element
        array.m_array.push_back(parse());
        c = get_next_token();
        if (c == ']') {
            return array;
        }
        if (c != ',') {
            throw std::logic_error(kArrayComma);
        }
        (void)get_next_token(); // consumes the next element's first character, stepped back over
    }
}

Json Parser::parse_object()
{
    CheckDepth(m_depth);
    utility::DepthGuard guard(m_depth);
    Json object(Json::json_object);
    char c = get_next_token();
    if (c == '}') {
        return object;
    }
    if (c != '"') {
        throw std::logic_error(kObjectQuote);
    }
    for (;;) {
        Json key = parse_string();
        if (get_next_token() != ':') {
            throw std::logic_error(kObjectColon);
        }
        // A key given twice keeps its later value.
        object.m_object.insert_or_assign(std::move(key.m_string), parse());
        c = get_next_token();
        if (c == '}') {
            return object;
        }
        if (c != ',') {
            throw std::logic_error(kObjectComma);
        }
        if (get_next_token() != '"') {
            throw std::logic_error(kObjectQuote);
        }
    }
}

char Parser::peek(size_t offset) const
{
    return m_idx + offset < m_str.size() ? m_str[m_idx + offset] : '\0';
}

} // namespace json
} // namespace libvor
