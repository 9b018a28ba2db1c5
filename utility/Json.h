// A self-contained JSON value (null, bool, 32-bit int, double, string, array, object) that owns
// its whole tree. Misuse of a value of the wrong kind throws std::logic_error with a fixed message.
// A value is used by one thread at a time; the shared null value is never modified.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/Export.h"

namespace libvor {
namespace json {

class DRVFINS_API Json
{
public:
    enum Type : int32_t
    {
        json_null = 0,
        json_bool = 1,
        json_int = 2,
        json_double = 3,
        json_string = 4,
        json_array = 5,
        json_object = 6,
    };

    Json();
    // A value of that kind with zero or empty contents.
    Json(Type type);
    Json(bool value);
    Json(int value);
    Json(double value);
    Json(const char* value); // must not be null
    Json(const std::string& value);
    Json(const Json& other);
    // Takes the other's tree; the other is left null.
    Json(Json&& other) noexcept;
    ~Json();

    Type type() const { return m_type; }
    bool isNull() const { return m_type == json_null; }
    bool isBool() const { return m_type == json_bool; }
    bool isInt() const { return m_type == json_int; }
    bool isDouble() const { return m_type == json_double; }
    bool isString() const { return m_type == json_string; }
    bool isArray() const { return m_type == json_array; }
    bool isObject() const { return m_type == json_object; }

    // Typed reads; no conversion between kinds (an int is not readable as a double).
    bool asBool() const;
    int asInt() const;
    double asDouble() const;
    std::string asString() const;
    operator bool();
    operator int();
    operator double();
    operator std::string();
    operator std::string() const;

    // Elements of an array, members of an object, 0 for every other kind.
    int size() const;
    // False only for a non-empty array or object.
    bool empty() const;

    bool has(int index) const;
    bool has(const std::string& key) const;
    bool has(const char* key) const;

    // Read-only look-ups: throw when the kind is wrong, yield null() when nothing is found.
    const Json& get(int index) const;
    const Json& get(const std::string& key) const;
    const Json& get(const char* key) const;
    const Json& operator[](int index) const;
    const Json& operator[](const std::string& key) const;
    const Json& operator[](const char* key) const;

    // Creating look-ups: a null value becomes an array or object first; missing entries are
    // created as null (an array grows to index + 1). References stay valid until the tree changes.
    Json& operator[](int index);
    Json& operator[](const std::string& key);
    Json& operator[](const char* key);

    // Adds a copy at the end; a null value becomes an array first. Returns this array.
    Json& append(const Json& value);
    // Adds the value itself at the end, leaving the argument null.
    Json& append(Json&& value);
    bool remove(int index);
    bool remove(const std::string& key);
    bool remove(const char* key);

    void set(bool value);
    void set(int value);
    void set(double value);
    void set(const std::string& value);
    void set(const char* value);
    void set(const Json& other);
    Json& operator=(bool value);
    Json& operator=(int value);
    Json& operator=(double value);
    Json& operator=(const std::string& value);
    Json& operator=(const char* value);
    Json& operator=(const Json& other);
    Json& operator=(Json&& other) noexcept;

    // Becomes a deep copy of other; safe when other is this value or lies inside its tree.
    void copy(const Json& other);
    // Empties the contents; the kind stays (a cleared int is 0, a cleared array is empty).
    void clear();

    // Compact text: no white space, object members in ascending key order, strings unescaped,
    // doubles with 6 significant digits.
    std::string toString() const;
    // Replaces this value with the parse of text; on std::logic_error the value is unchanged.
    void parse(const std::string& text);

    // Trees compare equal when kinds, elements and members are equal; kinds are strict (int 5 is
    // not double 5.0) and doubles compare by IEEE rules, so NaN is unequal.
    bool operator==(const Json& other) const;
    bool operator==(bool value) const;
    bool operator==(int value) const;
    bool operator==(double value) const;
    bool operator==(const std::string& value) const;
    bool operator==(const char* value) const;
    bool operator!=(const Json& other) const;
    bool operator!=(bool value) const;
    bool operator!=(int value) const;
    bool operator!=(double value) const;
    bool operator!=(const std::string& value) const;
    bool operator!=(const char* value) const;

    // The shared null value, created on first use and never modified.
    static const Json& null();

private:
    friend class Parser;

    void write(std::string& out) const;
    void takeFrom(Json& other) noexcept;

    Type m_type;
    int m_int;
    double m_double;
    bool m_bool;
    std::string m_string;
    std::vector<Json> m_array;
    std::map<std::string, Json> m_object;
};

} // namespace json
} // namespace libvor
