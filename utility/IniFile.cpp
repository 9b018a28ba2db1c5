// INI file reader. Values are kept as raw text; every conversion happens at look-up time.
#include "utility/IniFile.h"

#include <fstream>
#include <sstream>

#include "utility/comm.h"

namespace utility {

namespace {

// isspace in the POSIX locale: blank, tab, line feed, vertical tab, form feed, carriage return.
constexpr const char* kWhite = " \t\n\v\f\r";
constexpr const char* kListSeparators = ", \t";
constexpr size_t kShortestHeader = 3; // "[x]"
constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";

} // namespace

IniFile::IniFile(const std::string& path) : m_path(path) {}

IniFile::~IniFile() = default;

bool IniFile::Load()
{
    m_skipped.clear();
    std::ifstream file(m_path);
    if (!file.is_open()) {
        return false;
    }
    ++m_loads;
    Cursor at; // keys before the first header have no table and are dropped
    std::string line;
    int lineNo = 0;
    while (file.good()) {
        // The last line is processed even without a terminator; a final line feed yields one
        // more empty line, which has no effect.
        std::getline(file, line);
        // Editors that save UTF-8 may put a byte order mark first; it belongs to no line.
        if (lineNo == 0 && line.compare(0, sizeof(kUtf8Bom) - 1, kUtf8Bom) == 0) {
            line.erase(0, sizeof(kUtf8Bom) - 1);
        }
        parseLine(line, ++lineNo, at);
    }
    file.close();
    return true;
}

void IniFile::parseLine(const std::string& line, int lineNo, Cursor& at)
{
    std::string name;
    if (isSection(line, name)) {
        std::unique_ptr<KeyTable>& table = m_sections[name];
        if (!table) {
            table = std::make_unique<KeyTable>();
        }
        at.table = table.get(); // a repeated header continues the same section
        at.section = name;
        return;
    }
    const std::string trimmed = trim(line);
    const bool comment = !trimmed.empty() && (trimmed[0] == ';' || trimmed[0] == '#');
    size_t equals = line.find('=');
    if (equals == std::string::npos) {
        // Blank lines and comments are what they seem; anything else was meant as a setting.
        if (!trimmed.empty() && !comment) {
            skip(lineNo, SkippedLine::Reason::NotKeyValue, trimmed);
        }
        return;
    }
    std::string key = trim(line.substr(0, equals));
    if (comment) {
        return;
    }
    if (key.empty()) {
        skip(lineNo, SkippedLine::Reason::EmptyKey, trimmed);
    } else if (at.table == nullptr) {
        skip(lineNo, SkippedLine::Reason::KeyBeforeSection, trimmed);
    } else {
        storeValue(key, trim(line.substr(equals + 1)), lineNo, trimmed, at);
    }
}

void IniFile::storeValue(const std::string& key, const std::string& text, int lineNo,
                         const std::string& line, Cursor& at)
{
    auto found = at.table->find(key);
    if (found != at.table->end() && found->second.load == m_loads) {
        m_skipped.push_back(SkippedLine{lineNo, SkippedLine::Reason::RepeatedKey, line, at.section,
                                        key, found->second.line});
    }
    (*at.table)[key] = Value{text, lineNo, m_loads}; // the last occurrence wins
}

void IniFile::skip(int lineNo, SkippedLine::Reason reason, const std::string& line)
{
    m_skipped.push_back(SkippedLine{lineNo, reason, line, std::string(), std::string(), 0});
}

std::string IniFile::GetString(const std::string& section, const std::string& key,
                               const std::string& defaultValue)
{
    const std::string* value = find(section, key);
    return value != nullptr ? *value : defaultValue;
}

int16_t IniFile::GetInt16(const std::string& section, const std::string& key, int16_t defaultValue)
{
    return getNumber<int16_t>(section, key, defaultValue);
}

uint16_t IniFile::GetUInt16(const std::string& section, const std::string& key,
                            uint16_t defaultValue)
{
    return getNumber<uint16_t>(section, key, defaultValue);
}

int32_t IniFile::GetInt32(const std::string& section, const std::string& key, int32_t defaultValue)
{
    return getNumber<int32_t>(section, key, defaultValue);
}

uint32_t IniFile::GetUInt32(const std::string& section, const std::string& key,
                            uint32_t defaultValue)
{
    return getNumber<uint32_t>(section, key, defaultValue);
}

float IniFile::GetFloat(const std::string& section, const std::string& key, float defaultValue)
{
    // The default takes the same text round trip as a stored value, so stored files and callers
    // see one rounding rule (6 significant digits).
    std::ostringstream defaultText;
    defaultText << static_cast<double>(defaultValue);
    std::istringstream in(GetString(section, key, defaultText.str()));
    float value = 0.0f;
    in >> value;
    return in.fail() ? 0.0f : value;
}

bool IniFile::GetBool(const std::string& section, const std::string& key, bool defaultValue)
{
    const std::string* value = find(section, key);
    if (value == nullptr) {
        return defaultValue;
    }
    return CStringHelper::StriCmp(value->c_str(), "true") == 0 ||
           CStringHelper::StriCmp(value->c_str(), "1") == 0;
}

std::vector<std::string> IniFile::GetStringList(const std::string& section, const std::string& key)
{
    std::string value = GetString(section, key, "");
    std::vector<std::string> list;
    size_t pos = 0;
    for (;;) {
        size_t sep = value.find_first_of(kListSeparators, pos);
        if (sep == std::string::npos) {
            list.push_back(value.substr(pos));
            return list;
        }
        list.push_back(value.substr(pos, sep - pos));
        pos = value.find_first_not_of(kListSeparators, sep);
        if (pos == std::string::npos) {
            return list;
        }
    }
}

std::vector<std::string> IniFile::GetSections() const
{
    std::vector<std::string> names;
    for (const auto& section : m_sections) {
        names.push_back(section.first);
    }
    return names;
}

std::vector<std::string> IniFile::GetKeys(const std::string& section) const
{
    std::vector<std::string> keys;
    auto sectionIt = m_sections.find(section);
    if (sectionIt != m_sections.end()) {
        for (const auto& entry : *sectionIt->second) {
            keys.push_back(entry.first);
        }
    }
    return keys;
}

int IniFile::GetLine(const std::string& section, const std::string& key) const
{
    const Value* value = findValue(section, key);
    return value != nullptr ? value->line : 0;
}

std::string IniFile::trimLeft(const std::string& s)
{
    size_t first = s.find_first_not_of(kWhite);
    return first == std::string::npos ? std::string() : s.substr(first);
}

std::string IniFile::trimRight(const std::string& s)
{
    size_t last = s.find_last_not_of(kWhite);
    return last == std::string::npos ? std::string() : s.substr(0, last + 1);
}

std::string IniFile::trim(const std::string& s)
{
    return trimLeft(trimRight(s));
}

bool IniFile::isSection(std::string line, std::string& name)
{
    name = trim(line);
    if (name.size() < kShortestHeader || name.front() != '[' || name.back() != ']') {
        return false;
    }
    name = trim(name.substr(1, name.size() - 2));
    return true;
}

template <typename T>
T IniFile::parseNumber(const std::string& text)
{
    // One formatted extraction: the stream's rules give the leading-number, zero and saturation
    // behaviour stored files rely on; its state is deliberately not inspected.
    T value = 0;
    std::istringstream in(text);
    in >> value;
    return value;
}

const IniFile::Value* IniFile::findValue(const std::string& section, const std::string& key) const
{
    auto sectionIt = m_sections.find(section);
    if (sectionIt == m_sections.end()) {
        return nullptr;
    }
    auto keyIt = sectionIt->second->find(key);
    return keyIt == sectionIt->second->end() ? nullptr : &keyIt->second;
}

const std::string* IniFile::find(const std::string& section, const std::string& key) const
{
    const Value* value = findValue(section, key);
    return value != nullptr ? &value->text : nullptr;
}

template <typename T>
T IniFile::getNumber(const std::string& section, const std::string& key, T defaultValue)
{
    const std::string* value = find(section, key);
    return value != nullptr ? parseNumber<T>(*value) : defaultValue;
}

} // namespace utility
