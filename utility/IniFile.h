// INI file reader: reads "[section]" headers and "key=value" lines once into memory and answers
// typed look-ups with caller-supplied defaults. Used by one thread at a time.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/Export.h"

namespace utility {

class DRVFINS_API IniFile
{
public:
    // Remembers the path; the file is not touched until Load.
    explicit IniFile(const std::string& path);
    ~IniFile();
    IniFile(const IniFile&) = delete;
    IniFile& operator=(const IniFile&) = delete;

    // Reads the file and merges it into what is already loaded (later values win). False only
    // when the file cannot be opened, in which case the values loaded stay as they were. Keys that
    // come before the first section header are ignored. A UTF-8 byte order mark at the start of the
    // file is skipped, so the first line reads as written.
    bool Load();

    // A line the last Load did not store as written. The getters do not change with it: such a
    // line is ignored as before, or for a repeated key the later value wins as before. For callers
    // that tell the file's author what was left out, the way a parser hands back its first bad
    // line.
    struct SkippedLine
    {
        enum class Reason
        {
            KeyBeforeSection, // "key = value" before the first "[section]": no section to go in
            NotKeyValue,      // no header, comment, blank line or "key = value" ("port 9600")
            EmptyKey,         // "= value"
            RepeatedKey,      // a key set again in one section: this line's value replaces
                              // the one of `earlierLine`
        };
        int line; // 1-based
        Reason reason;
        std::string text;    // the line, trimmed
        std::string section; // RepeatedKey only: where the key is, and the line it replaced
        std::string key;
        int earlierLine;
    };
    // The skipped lines of the last Load in file order; empty before the first Load, after one
    // that skipped nothing, and after one that could not open the file.
    const std::vector<SkippedLine>& GetSkipped() const { return m_skipped; }

    // Every getter returns the default only when the section or the key is absent. A present value
    // is converted on each call: integers read a leading decimal number (none reads as 0, too large
    // saturates), floats read 0.0 when unreadable, bools are true only for "true" (any case) or
    // "1".
    std::string GetString(const std::string& section, const std::string& key,
                          const std::string& defaultValue);
    int16_t GetInt16(const std::string& section, const std::string& key, int16_t defaultValue);
    uint16_t GetUInt16(const std::string& section, const std::string& key, uint16_t defaultValue);
    int32_t GetInt32(const std::string& section, const std::string& key, int32_t defaultValue);
    uint32_t GetUInt32(const std::string& section, const std::string& key, uint32_t defaultValue);
    // A missing key returns the default after a round trip through 6 significant digits.
    float GetFloat(const std::string& section, const std::string& key, float defaultValue);
    bool GetBool(const std::string& section, const std::string& key, bool defaultValue);
    // The value split at runs of commas, blanks and tabs; a missing key gives one empty string.
    std::vector<std::string> GetStringList(const std::string& section, const std::string& key);

    // What was loaded, for callers that check a file against the keys they know: the section
    // names and the keys of one section in byte-wise order (empty when the section is absent),
    // and the 1-based line of the file that gave a key its value (the last occurrence), or 0 when
    // the section or the key is absent.
    std::vector<std::string> GetSections() const;
    std::vector<std::string> GetKeys(const std::string& section) const;
    int GetLine(const std::string& section, const std::string& key) const;

private:
    struct Value
    {
        std::string text;
        int line;      // 1-based line of the file the text came from
        unsigned load; // the Load that read it: a key met twice in one Load is a repeat
    };
    using KeyTable = std::map<std::string, Value>;
    // Where Load stands: the key table of the last header (null before the first) and its name.
    struct Cursor
    {
        KeyTable* table = nullptr;
        std::string section;
    };

    static std::string trimLeft(const std::string& s);
    static std::string trimRight(const std::string& s);
    static std::string trim(const std::string& s);
    // True when the line is a "[name]" header; the trimmed name is left in `name`.
    static bool isSection(std::string line, std::string& name);
    template <typename T>
    static T parseNumber(const std::string& text);

    // Handles line `lineNo` of the file, moving `at` on at a header.
    void parseLine(const std::string& line, int lineNo, Cursor& at);
    // Stores key and value under the cursor; `line` is the trimmed line, for the report of a
    // repeat.
    void storeValue(const std::string& key, const std::string& text, int lineNo,
                    const std::string& line, Cursor& at);
    void skip(int lineNo, SkippedLine::Reason reason, const std::string& line);
    // The stored value, or null when the section or the key is absent.
    const Value* findValue(const std::string& section, const std::string& key) const;
    const std::string* find(const std::string& section, const std::string& key) const;
    template <typename T>
    T getNumber(const std::string& section, const std::string& key, T defaultValue);

    const std::string m_path;
    std::map<std::string, std::unique_ptr<KeyTable>> m_sections;
    std::vector<SkippedLine> m_skipped; // of the last Load
    unsigned m_loads = 0;               // Loads that opened the file
};

} // namespace utility
