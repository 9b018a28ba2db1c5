// JSON value. Every failure throws std::logic_error with a fixed text; nothing is logged.
#include "utility/Json.h"

#include <charconv>
#include <cstdio>
#include <stdexcept>

#include "utility/Parser.h"

namespace libvor {
namespace json {

namespace {

constexpr const char* kAsBoolError = "function Json::asBool value type error";
constexpr const char* kAsIntError = "function Json::asInt value type error";
constexpr const char* kAsDoubleError = "function Json::asDouble value type error";
constexpr const char* kAsStringError = "function Json::asString value type error";
constexpr const char* kToBoolError = "function Json::operator (bool) requires bool value";
constexpr const char* kToIntError = "function Json::operator (int) requires int value";
constexpr const char* kToDoubleError = "function Json::operator (double) requires double value";
constexpr const char* kToStringError = "function Json::operator (string) requires string value";
constexpr const char* kGetIndexError = "function Json::get [int] requires array value";
constexpr const char* kGetKeyError = "function Json::get [const string &] requires object value";
constexpr const char* kIndexKindError = "function Json::operator [int] requires array value";
constexpr const char* kIndexNegativeError = "function Json::operator [int] index less 0";
constexpr const char* kKeyKindError =
    "function Json::operator [const string &] requires object value";
constexpr const char* kAppendError = "function Json::append requires array value";

// Enough for any "%g" rendering of a double ("-1.79769e+308", "-nan").
constexpr int kDoubleTextSize = 32;

void Require(bool ok, const char* message)
{
    if (!ok) {
        throw std::logic_error(message);
    }
}

} // namespace

Json::Json() : Json(json_null) {}

Json::Json(Type type) : m_type(type), m_int(0), m_double(0.0), m_bool(false) {}

Json::Json(bool value) : Json(json_bool)
{
    m_bool = value;
}

Json::Json(int value) : Json(json_int)
{
    m_int = value;
}

Json::Json(double value) : Json(json_double)
{
    m_double = value;
}

Json::Json(const char* value) : Json(json_string)
{
    m_string = value;
}

Json::Json(const std::string& value) : Json(json_string)
{
    m_string = value;
}

Json::Json(const Json& other)
    : m_type(other.m_type), m_int(other.m_int), m_double(other.m_double), m_bool(other.m_bool),
      m_string(other.m_string), m_array(other.m_array), m_object(other.m_object)
{
    // A fresh value cannot be part of the tree it copies, so member-wise copying is safe here.
}

Json::Json(Json&& other) noexcept : Json(json_null)
{
    takeFrom(other);
}

Json::~Json() = default;

// ---- typed reads ---------------------------------------------------------------------------

bool Json::asBool() const
{
    Require(m_type == json_bool, kAsBoolError);
    return m_bool;
}

int Json::asInt() const
{
    Require(m_type == json_int, kAsIntError);
    return m_int;
}

double Json::asDouble() const
{
    Require(m_type == json_double, kAsDoubleError);
    return m_double;
}

std::string Json::asString() const
{
    Require(m_type == json_string, kAsStringError);
    return m_string;
}

Json::operator bool()
{
    Require(m_type == json_bool, kToBoolError);
    return m_bool;
}

Json::operator int()
{
    Require(m_type == json_int, kToIntError);
    return m_int;
}

Json::operator double()
{
    Require(m_type == json_double, kToDoubleError);
    return m_double;
}

Json::operator std::string()
{
    Require(m_type == json_string, kToStringError);
    return m_string;
}

Json::operator std::string() const
{
    Require(m_type == json_string, kToStringError);
    return m_string;
}

// ---- size and membership -------------------------------------------------------------------

int Json::size() const
{
    switch (m_type) {
    case json_array:
        return static_cast<int>(m_array.size());
    case json_object:
        return static_cast<int>(m_object.size());
    default:
        return 0;
    }
}

bool Json::empty() const
{
    return size() == 0;
}

bool Json::has(int index) const
{
    return m_type == json_array && index >= 0 && index < size();
}

bool Json::has(const std::string& key) const
{
    return m_type == json_object && m_object.count(key) != 0;
}

bool Json::has(const char* key) const
{
    return has(std::string(key));
}

// ---- look-ups ------------------------------------------------------------------------------

const Json& Json::get(int index) const
{
    Require(m_type == json_array, kGetIndexError);
    return has(index) ? m_array[static_cast<size_t>(index)] : null();
}

const Json& Json::get(const std::string& key) const
{
    Require(m_type == json_object, kGetKeyError);
    auto it = m_object.find(key);
    return it == m_object.end() ? null() : it->second;
}

const Json& Json::get(const char* key) const
{
    return get(std::string(key));
}

const Json& Json::operator[](int index) const
{
    return get(index);
}

const Json& Json::operator[](const std::string& key) const
{
    return get(key);
}

const Json& Json::operator[](const char* key) const
{
    return get(std::string(key));
}

Json& Json::operator[](int index)
{
    if (m_type == json_null) {
        m_type = json_array;
    }
    Require(m_type == json_array, kIndexKindError);
    Require(index >= 0, kIndexNegativeError);
    if (static_cast<size_t>(index) >= m_array.size()) {
        m_array.resize(static_cast<size_t>(index) + 1);
    }
    return m_array[static_cast<size_t>(index)];
}

Json& Json::operator[](const std::string& key)
{
    if (m_type == json_null) {
        m_type = json_object;
    }
    Require(m_type == json_object, kKeyKindError);
    return m_object[key];
}

Json& Json::operator[](const char* key)
{
    return (*this)[std::string(key)];
}

// ---- modification --------------------------------------------------------------------------

Json& Json::append(const Json& value)
{
    return append(Json(value)); // copied first: value may be this array or one of its elements
}

Json& Json::append(Json&& value)
{
    if (m_type == json_null) {
        m_type = json_array;
    }
    Require(m_type == json_array, kAppendError);
    Json taken(std::move(value)); // value may live in m_array, which the push may reallocate
    m_array.push_back(std::move(taken));
    return *this;
}

bool Json::remove(int index)
{
    if (!has(index)) {
        return false;
    }
    m_array.erase(m_array.begin() + index);
    return true;
}

bool Json::remove(const std::string& key)
{
    return m_type == json_object && m_object.erase(key) != 0;
}

bool Json::remove(const char* key)
{
    return remove(std::string(key));
}

void Json::set(bool value)
{
    clear();
    m_type = json_bool;
    m_bool = value;
}

void Json::set(int value)
{
    clear();
    m_type = json_int;
    m_int = value;
}

void Json::set(double value)
{
    clear();
    m_type = json_double;
    m_double = value;
}

void Json::set(const std::string& value)
{
    std::string text(value); // taken before clear empties anything
    clear();
    m_type = json_string;
    m_string = std::move(text);
}

void Json::set(const char* value)
{
    set(std::string(value));
}

void Json::set(const Json& other)
{
    copy(other);
}

Json& Json::operator=(bool value)
{
    set(value);
    return *this;
}

Json& Json::operator=(int value)
{
    set(value);
    return *this;
}

Json& Json::operator=(double value)
{
    set(value);
    return *this;
}

Json& Json::operator=(const std::string& value)
{
    set(value);
    return *this;
}

Json& Json::operator=(const char* value)
{
    set(value);
    return *this;
}

Json& Json::operator=(const Json& other)
{
    copy(other);
    return *this;
}

Json& Json::operator=(Json&& other) noexcept
{
    // other may be a descendant of this value: detach it before the old tree goes away.
    Json taken(std::move(other));
    takeFrom(taken);
    return *this;
}

void Json::copy(const Json& other)
{
    // The snapshot is taken before clear, because other may be this value or live inside its
    // tree; either way the result is the source as it was before the assignment.
    Json snapshot(other);
    takeFrom(snapshot);
}

void Json::clear()
{
    m_int = 0;
    m_double = 0.0;
    m_bool = false;
    m_string.clear();
    m_array.clear();
    m_object.clear();
}

void Json::takeFrom(Json& other) noexcept
{
    m_type = other.m_type;
    m_int = other.m_int;
    m_double = other.m_double;
    m_bool = other.m_bool;
    m_string.swap(other.m_string);
    m_array.swap(other.m_array);
    m_object.swap(other.m_object);
    // The old contents now sit in other, which the caller's temporary destroys.
    other.m_type = json_null;
    other.m_int = 0;
    other.m_double = 0.0;
    other.m_bool = false;
}

// ---- text ----------------------------------------------------------------------------------

std::string Json::toString() const
{
    std::string out;
    write(out);
    return out;
}

void Json::write(std::string& out) const
{
    switch (m_type) {
    case json_null:
        out += "null";
        break;
    case json_bool:
        out += m_bool ? "true" : "false";
        break;
    case json_int: {
        char text[16];
        auto end = std::to_chars(text, text + sizeof text, m_int).ptr;
        out.append(text, end);
        break;
    }
    case json_double: {
        // "%g" is the default stream rendering of a double: 6 significant digits.
        char text[kDoubleTextSize];
        int n = std::snprintf(text, sizeof text, "%g", m_double);
        out.append(text, static_cast<size_t>(n));
        break;
    }
    case json_string:
        out += '"';
        out += m_string;
        out += '"';
        break;
    case json_array: {
        out += '[';
        for (size_t i = 0; i < m_array.size(); ++i) {
            if (i > 0) {
                out += ',';
            }
            m_array[i].write(out);
        }
        out += ']';
        break;
    }
    case json_object: {
        out += '{';
        bool first = true;
        for (const auto& member : m_object) {
            if (!first) {
                out += ',';
            }
            first = false;
            out += '"';
            out += member.first;
            out += "\":";
            member.second.write(out);
        }
        out += '}';
        break;
    }
    }
}

void Json::parse(const std::string& text)
{
    Parser parser;
    parser.load(text);
    Json result = parser.parse(); // throws before anything of this value changes
    takeFrom(result);
}

// ---- comparison ----------------------------------------------------------------------------

bool Json::operator==(const Json& other) const
{
    if (m_type != other.m_type) {
        return false;
    }
    switch (m_type) {
    case json_null:
        return true;
    case json_bool:
        return m_bool == other.m_bool;
    case json_int:
        return m_int == other.m_int;
    case json_double:
        return m_double == other.m_double;
    case json_string:
        return m_string == other.m_string;
    case json_array:
        return m_array == other.m_array;
    case json_object:
        return m_object == other.m_object;
    }
    return false;
}

bool Json::operator==(bool value) const
{
    return m_type == json_bool && m_bool == value;
}

bool Json::operator==(int value) const
{
    return m_type == json_int && m_int == value;
}

bool Json::operator==(double value) const
{
    return m_type == json_double && m_double == value;
}

bool Json::operator==(const std::string& value) const
{
    return m_type == json_string && m_string == value;
}

bool Json::operator==(const char* value) const
{
    return m_type == json_string && m_string == value;
}

bool Json::operator!=(const Json& other) const
{
    return !(*this == other);
}

bool Json::operator!=(bool value) const
{
    return !(*this == value);
}

bool Json::operator!=(int value) const
{
    return !(*this == value);
}

bool Json::operator!=(double value) const
{
    return !(*this == value);
}

bool Json::operator!=(const std::string& value) const
{
    return !(*this == value);
}

bool Json::operator!=(const char* value) const
{
    return !(*this == value);
}

const Json& Json::null()
{
    static const Json s_null;
    return s_null;
}

} // namespace json
} // namespace libvor
