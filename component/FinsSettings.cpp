// The settings loader: finds the file, checks every key against the table of known ones, converts
// the values and logs each problem once. Runs on the runtime's event thread at a download done.
#include "component/FinsSettings.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "base/kellog.h"
#include "net/ISocketServer.h"
#include "utility/AccessList.h"
#include "utility/IniFile.h"

namespace {

constexpr char kUnreadableMsg[] = "settings file %s cannot be read: %s; %s";
constexpr char kBuiltInKept[] = "built-in settings kept";
constexpr char kInForceKept[] = "the settings read at the last download stay in force";
constexpr char kUnknownKeyMsg[] = "%s:%d: [%s] %s: unknown key, ignored";
constexpr char kBadValueMsg[] = "%s:%d: [%s] %s: bad value \"%.64s\", keeping %s";
constexpr char kClosedMsg[] = "%s:%d: [%s] %s: bad value \"%.64s\", %s";
constexpr char kBadEntriesMsg[] = "%s:%d: [%s] %s: bad entries left out: %.80s";
constexpr char kRepeatedMsg[] = "%s:%d: [%s] %.80s: %s also set on line %d; line %d wins";
constexpr char kNothingServedMsg[] =
    "settings file %s: tcp and udp are both off, nothing is served";
constexpr char kBadOverrideMsg[] = "%s: bad value \"%.64s\", ignored";
constexpr char kSkippedMsg[] = "%s:%d: %.80s: %s, ignored";
constexpr char kNotAFile[] = "not a regular file";
constexpr char kSettingsPrefix[] = "settings: ";
constexpr char kContinued[] = " (continued)";
constexpr char kCutMark[] = "...";
constexpr char kNoWritersMsg[] =
    "%s:%d: [access] write_allow: no readable entry in \"%.64s\", so no client may write";
constexpr char kBadRangeMsg[] = "%s:%d: [areas] %.80s: %s, left out";
constexpr char kPastSegmentMsg[] =
    "%s:%d: [areas] %.80s: past the end of segment %s (%u words), left out";
constexpr char kLayoutIgnoredMsg[] =
    "%s:%d: [areas] layout: the range lines make the whole map, layout ignored";

// Counts and seconds stay within int so that later arithmetic on them cannot overflow.
constexpr unsigned long kMaxCount = INT_MAX;
constexpr size_t kMaxDigits = 10;
constexpr char kBlanks[] = " \t";
// A segment word offset leaves room for a whole range behind it within int.
constexpr unsigned long kMaxSegmentOffset = INT_MAX / 2 - kAreaLastAddress;
constexpr const char* kAreasSection = "areas";
constexpr const char* kLayoutKey = "layout";

using Strings = std::vector<std::string>;

// Reads one value into the settings. False: the value is bad and the setting is untouched.
// `rejected` receives the bad entries of a list whose good entries were taken.
using KeyParser = bool (*)(const std::string& value, FinsSettings& settings, Strings& rejected);

struct KeyRule
{
    const char* section;
    const char* key;
    const char* defaultText; // for the log line when a bad value keeps the default
    KeyParser parse;
    // Access settings that fail closed: a bad value sets what protects most, said in `closedText`
    // in an error, instead of keeping the default.
    void (*failClosed)(FinsSettings& settings) = nullptr;
    const char* closedText = nullptr;
};

bool Is(const std::string& text, const char* word)
{
    return strcasecmp(text.c_str(), word) == 0;
}

bool ParseSwitch(const std::string& text, bool& out)
{
    for (const char* on : {"on", "true", "yes", "1"}) {
        if (Is(text, on)) {
            out = true;
            return true;
        }
    }
    for (const char* off : {"off", "false", "no", "0"}) {
        if (Is(text, off)) {
            out = false;
            return true;
        }
    }
    return false;
}

// Decimal digits only, at most `max`.
bool ParseNumber(const std::string& text, unsigned long max, unsigned long& out)
{
    if (text.empty() || text.size() > kMaxDigits ||
        text.find_first_not_of("0123456789") != text.npos) {
        return false;
    }
    unsigned long value = strtoul(text.c_str(), nullptr, 10);
    if (value > max) {
        return false;
    }
    out = value;
    return true;
}

bool ParseCount(const std::string& text, uint32_t& out)
{
    unsigned long value = 0;
    if (!ParseNumber(text, kMaxCount, value)) {
        return false;
    }
    out = static_cast<uint32_t>(value);
    return true;
}

// A number from min to max.
bool ParseRange(const std::string& text, unsigned min, unsigned max, unsigned& out)
{
    unsigned long value = 0;
    if (!ParseNumber(text, max, value) || value < min) {
        return false;
    }
    out = static_cast<unsigned>(value);
    return true;
}

bool ParsePort(const std::string& text, unsigned short& out)
{
    unsigned long value = 0;
    if (!ParseNumber(text, USHRT_MAX, value) || value == 0) {
        return false;
    }
    out = static_cast<unsigned short>(value);
    return true;
}

bool ParseAddress(const std::string& text, std::string& out)
{
    in_addr addr{};
    if (inet_pton(AF_INET, text.c_str(), &addr) != 1) {
        return false;
    }
    out = text;
    return true;
}

// Printable ASCII that fits the controller data's model field.
bool ParseModel(const std::string& text, std::string& out)
{
    if (text.size() > kModelTextBytes) {
        return false;
    }
    for (char c : text) {
        if (c < ' ' || c > '~') {
            return false;
        }
    }
    out = text;
    return true;
}

// The read_only bits of a name: an area of the map, or CIO_IN / CIO_OUT for the CIO ranges on
// the inputs and on the outputs.
unsigned AreaBits(const std::string& name)
{
    if (Is(name, "CIO_IN")) {
        return kReadOnlyCioIn;
    }
    if (Is(name, "CIO_OUT")) {
        return kReadOnlyCioOut;
    }
    FinsAreaKind kind = kAreaDm;
    return ParseFinsAreaName(name, kind) ? ReadOnlyBitOf(kind) : 0u;
}

bool ParseLayout(const std::string& text, FinsSettings& s, Strings&)
{
    if (Is(text, "wide") || Is(text, "compact")) {
        s.layout = Is(text, "wide") ? CFinsAreaMap::Layout::wide : CFinsAreaMap::Layout::compact;
        return true;
    }
    return false;
}

// Any unknown name makes the whole value bad: the areas it meant are not known.
bool ParseReadOnly(const std::string& text, FinsSettings& s, Strings&)
{
    if (Is(text, "off") || text.empty()) {
        s.readOnly = 0;
        return true;
    }
    unsigned bits = 0;
    for (const std::string& name : CAccessList::SplitEntries(text)) {
        unsigned area = AreaBits(name);
        if (area == 0) {
            return false;
        }
        bits |= area;
    }
    s.readOnly = bits;
    return true;
}

// No good entry at all makes the value bad; otherwise the bad ones are left out.
bool ParseAllow(const std::string& text, FinsSettings& s, Strings& rejected)
{
    Strings good;
    for (const std::string& entry : CAccessList::SplitEntries(text)) {
        (CAccessList().Parse(Strings{entry}).empty() ? good : rejected).push_back(entry);
    }
    if (good.empty() && !rejected.empty()) {
        return false;
    }
    s.allow = good;
    s.allowNone = false;
    return true;
}

// Fails closed: a list without one readable entry names no writer at all, and LoadFinsSettings
// reports it as an error rather than a bad value; among readable entries a bad one is left out.
// Empty: every client may write.
bool ParseWriteAllow(const std::string& text, FinsSettings& s, Strings& rejected)
{
    const Strings entries = CAccessList::SplitEntries(text);
    const Strings bad = CAccessList().Parse(entries);
    s.writersNamed = !entries.empty();
    s.writeAllow.clear();
    for (const std::string& entry : entries) {
        if (std::find(bad.begin(), bad.end(), entry) == bad.end()) {
            s.writeAllow.push_back(entry);
        }
    }
    if (!s.writeAllow.empty()) {
        rejected = bad;
    }
    return true;
}

const KeyRule kKeys[] = {
    {"server", "bind", kServerBindAddr,
     [](const std::string& v, FinsSettings& s, Strings&) { return ParseAddress(v, s.bindAddr); }},
    {"server", "port", "9600",
     [](const std::string& v, FinsSettings& s, Strings&) { return ParsePort(v, s.port); }},
    {"server", "tcp", "on",
     [](const std::string& v, FinsSettings& s, Strings&) { return ParseSwitch(v, s.tcp); }},
    {"server", "udp", "on",
     [](const std::string& v, FinsSettings& s, Strings&) { return ParseSwitch(v, s.udp); }},
    {"server", "priority", "21",
     [](const std::string& v, FinsSettings& s, Strings&) {
         return ParseRange(v, 0, kMaxServerThreadPriority, s.priority);
     }},
    {"server", "cpu_share", "100",
     [](const std::string& v, FinsSettings& s, Strings&) {
         return ParseRange(v, 1, kServerCpuShare, s.cpuShare);
     }},
    {"controller", "model", "the built-in model",
     [](const std::string& v, FinsSettings& s, Strings&) { return ParseModel(v, s.model); }},
    {"access", "allow", "everyone admitted", ParseAllow,
     [](FinsSettings& s) {
         s.allow.clear();
         s.allowNone = true;
     },
     "no client admitted"},
    {"access", "read_only", "off", ParseReadOnly,
     [](FinsSettings& s) { s.readOnly = kReadOnlyEveryArea; }, "every area read-only"},
    {"access", "max_connections", "0",
     [](const std::string& v, FinsSettings& s, Strings&) {
         return ParseCount(v, s.maxConnections);
     }},
    {"access", "max_connections_per_client", "0",
     [](const std::string& v, FinsSettings& s, Strings&) {
         return ParseCount(v, s.maxConnectionsPerClient);
     }},
    {"access", "idle_timeout_s", "0",
     [](const std::string& v, FinsSettings& s, Strings&) { return ParseCount(v, s.idleTimeoutS); }},
    {"access", "write_allow", "every client may write", ParseWriteAllow},
    {"access", "log_writes", "off",
     [](const std::string& v, FinsSettings& s, Strings&) { return ParseSwitch(v, s.logWrites); }},
    {kAreasSection, kLayoutKey, "wide", ParseLayout},
};

// Every other key of [areas] is a range line, read by ReadAreaLines.
bool IsKnown(const std::string& section, const std::string& key)
{
    if (section == kAreasSection) {
        return true;
    }
    for (const KeyRule& rule : kKeys) {
        if (section == rule.section && key == rule.key) {
            return true;
        }
    }
    return false;
}

std::string Join(const Strings& items, const char* separator)
{
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : separator) + item;
    }
    return text;
}

// What the user meant by a value: the text between double quotes when it starts with one (a
// comment may follow the closing quote), else the text before a ';' comment that opens the value
// or follows a blank. The INI reader keeps both as written, for its other users. False for a
// quote that is not closed, or text after the closing one.
bool CleanValue(const std::string& raw, std::string& out)
{
    if (!raw.empty() && raw[0] == '"') {
        size_t close = raw.find('"', 1);
        size_t rest =
            close == std::string::npos ? close : raw.find_first_not_of(kBlanks, close + 1);
        if (close == std::string::npos || (rest != std::string::npos && raw[rest] != ';')) {
            return false;
        }
        out = raw.substr(1, close - 1);
        return true;
    }
    out = raw;
    for (size_t at = raw.find(';'); at != std::string::npos; at = raw.find(';', at + 1)) {
        if (at == 0 || strchr(kBlanks, raw[at - 1]) != nullptr) {
            out = raw.substr(0, at);
            out.erase(out.find_last_not_of(kBlanks) + 1); // npos + 1: all blank
            break;
        }
    }
    return true;
}

// A regular file this process may read; otherwise the reason is logged, with what stays in force
// instead: a warning over the built-in settings, an error when settings read earlier are kept.
bool CheckReadable(const std::string& path, bool keepInForce)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const SysErrText openError(errno);
    bool regular = false;
    if (fd >= 0) {
        struct stat st = {};
        regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
        close(fd);
    }
    if (regular) {
        return true;
    }
    const char* reason = fd < 0 ? openError.text : kNotAFile;
    if (keepInForce) {
        (void)kelLogAddErrorF(kUnreadableMsg, path.c_str(), reason, kInForceKept);
    } else {
        (void)kelLogAddWarnF(kUnreadableMsg, path.c_str(), reason, kBuiltInKept);
    }
    return false;
}

const char* SkipText(utility::IniFile::SkippedLine::Reason reason)
{
    using Reason = utility::IniFile::SkippedLine::Reason;
    switch (reason) {
    case Reason::KeyBeforeSection:
        return "key before the first [section]";
    case Reason::EmptyKey:
        return "no key before the =";
    default:
        return "not a key = value line";
    }
}

// Every line the INI reader did not store as written, in file order.
void ReportSkipped(const utility::IniFile& ini, const std::string& path)
{
    for (const utility::IniFile::SkippedLine& skipped : ini.GetSkipped()) {
        if (skipped.reason == utility::IniFile::SkippedLine::Reason::RepeatedKey) {
            (void)kelLogAddWarnF(kRepeatedMsg, path.c_str(), skipped.line, skipped.section.c_str(),
                                 skipped.text.c_str(), skipped.key.c_str(), skipped.earlierLine,
                                 skipped.line);
        } else {
            (void)kelLogAddWarnF(kSkippedMsg, path.c_str(), skipped.line, skipped.text.c_str(),
                                 SkipText(skipped.reason));
        }
    }
}

void WarnUnknownKeys(const utility::IniFile& ini, const std::string& path)
{
    for (const std::string& section : ini.GetSections()) {
        for (const std::string& key : ini.GetKeys(section)) {
            if (!IsKnown(section, key)) {
                (void)kelLogAddWarnF(kUnknownKeyMsg, path.c_str(), ini.GetLine(section, key),
                                     section.c_str(), key.c_str());
            }
        }
    }
}

void ApplyKey(utility::IniFile& ini, const std::string& path, const KeyRule& rule,
              FinsSettings& settings)
{
    int line = ini.GetLine(rule.section, rule.key);
    if (line == 0) {
        return; // absent: the default stays, silently
    }
    std::string raw = ini.GetString(rule.section, rule.key, "");
    std::string value;
    Strings rejected;
    if (CleanValue(raw, value) && rule.parse(value, settings, rejected)) {
        if (!rejected.empty()) {
            (void)kelLogAddWarnF(kBadEntriesMsg, path.c_str(), line, rule.section, rule.key,
                                 Join(rejected, " ").c_str());
        }
    } else if (rule.failClosed != nullptr) {
        rule.failClosed(settings);
        (void)kelLogAddErrorF(kClosedMsg, path.c_str(), line, rule.section, rule.key, raw.c_str(),
                              rule.closedText);
    } else {
        (void)kelLogAddWarnF(kBadValueMsg, path.c_str(), line, rule.section, rule.key, raw.c_str(),
                             rule.defaultText);
    }
}

// A write_allow that names writers but none readable: no client may write, which the user
// learns here rather than from refused writes.
void ReportNoWriters(utility::IniFile& ini, const std::string& path, const FinsSettings& settings)
{
    if (settings.writersNamed && settings.writeAllow.empty()) {
        (void)kelLogAddErrorF(kNoWritersMsg, path.c_str(), ini.GetLine("access", "write_allow"),
                              ini.GetString("access", "write_allow", "").c_str());
    }
}

Strings Words(const std::string& text)
{
    Strings words;
    size_t at = text.find_first_not_of(" \t");
    while (at != std::string::npos) {
        size_t end = text.find_first_of(" \t", at);
        words.push_back(text.substr(at, end == std::string::npos ? end : end - at));
        at = text.find_first_not_of(" \t", end);
    }
    return words;
}

bool ParseSegment(const std::string& name, AppAreaMemType& segment)
{
    const struct
    {
        const char* name;
        AppAreaMemType segment;
    } names[] = {{"I", APP_AREA_I}, {"Q", APP_AREA_Q}, {"M", APP_AREA_M}};
    for (const auto& n : names) {
        if (Is(name, n.name)) {
            segment = n.segment;
            return true;
        }
    }
    return false;
}

// "first-last" or a single address.
bool ParseAddressRange(const std::string& text, uint32_t& first, uint32_t& last)
{
    const size_t dash = text.find('-');
    unsigned long a = 0;
    unsigned long b = 0;
    if (!ParseNumber(text.substr(0, dash), kAreaLastAddress, a) ||
        (dash != std::string::npos && !ParseNumber(text.substr(dash + 1), kAreaLastAddress, b))) {
        return false;
    }
    first = static_cast<uint32_t>(a);
    last = static_cast<uint32_t>(dash == std::string::npos ? a : b);
    return true;
}

// One range line, "AREA first-last = SEGMENT offset" with an optional comment behind: null when
// read, else why not.
const char* ParseRangeLine(const std::string& key, const std::string& value, FinsAreaRange& range)
{
    const Strings left = Words(key);
    Strings right = Words(value);
    for (size_t i = 0; i < right.size(); ++i) {
        if (right[i][0] == ';' || right[i][0] == '#') {
            right.resize(i);
            break;
        }
    }
    if (left.size() != 2 || right.size() != 2) {
        return "not \"AREA first-last = SEGMENT offset\"";
    }
    if (!ParseFinsAreaName(left[0], range.area)) {
        return "unknown area";
    }
    if (!ParseSegment(right[0], range.segment)) {
        return "unknown segment";
    }
    unsigned long offset = 0;
    if (!ParseAddressRange(left[1], range.first, range.last) ||
        !ParseNumber(right[1], kMaxSegmentOffset, offset) || range.first > range.last) {
        return "bad numbers";
    }
    range.offset = static_cast<uint32_t>(offset);
    return nullptr;
}

// The range lines of [areas] in file order, each read or logged and left out; two ranges of one
// area may not share an address (the later line is left out).
void ReadAreaLines(utility::IniFile& ini, const std::string& path, FinsSettings& settings)
{
    std::vector<std::pair<int, std::string>> keys;
    for (const std::string& key : ini.GetKeys(kAreasSection)) {
        if (key != kLayoutKey) {
            keys.emplace_back(ini.GetLine(kAreasSection, key), key);
        }
    }
    std::sort(keys.begin(), keys.end());
    CFinsAreaMap check;
    check.Clear();
    for (const auto& [line, key] : keys) {
        FinsAreaLine area;
        area.line = line;
        area.text = key + " = " + ini.GetString(kAreasSection, key, "");
        const char* why = ParseRangeLine(key, ini.GetString(kAreasSection, key, ""), area.range);
        why = why != nullptr ? why : check.Add(area.range);
        if (why != nullptr) {
            (void)kelLogAddWarnF(kBadRangeMsg, path.c_str(), line, area.text.c_str(), why);
            continue;
        }
        settings.areas.push_back(area);
    }
    settings.rangeLines = !keys.empty();
    const int layoutLine = ini.GetLine(kAreasSection, kLayoutKey);
    if (!keys.empty() && layoutLine != 0) {
        (void)kelLogAddWarnF(kLayoutIgnoredMsg, path.c_str(), layoutLine);
    }
}

const char* SegmentName(AppAreaMemType segment)
{
    if (segment == APP_AREA_I) {
        return "I";
    }
    return segment == APP_AREA_Q ? "Q" : "M";
}

// Whether a range line's words run past the end of its segment (logged when they do). A flag
// range (TF, CF) takes one bit a flag, sixteen flags a word. Without an application the segments'
// sizes are not known and nothing is judged.
bool PastItsSegment(const FinsSettings& settings, const FinsAreaLine& line, CAppAreaMemmory& memory)
{
    const FinsAreaRange& r = line.range;
    const bool flags = r.area == kAreaTF || r.area == kAreaCF;
    const uint32_t span = flags ? (r.last - r.first) / kBitsPerAreaWord : r.last - r.first;
    const uint32_t words = memory.GetAppMemorySizeFromType(r.segment) / 2u;
    if (!memory.HasApplication() || uint64_t{r.offset} + span < words) {
        return false;
    }
    (void)kelLogAddWarnF(kPastSegmentMsg, settings.file.c_str(), line.line, line.text.c_str(),
                         SegmentName(r.segment), words);
    return true;
}

std::string AreasText(const FinsSettings& s)
{
    if (s.rangeLines) {
        return std::to_string(s.areas.size()) + " ranges";
    }
    return s.layout == CFinsAreaMap::Layout::wide ? "wide" : "compact";
}

std::string ReadOnlyText(unsigned bits)
{
    if (bits == kReadOnlyEveryArea) {
        return "every area";
    }
    Strings names;
    if (bits & kReadOnlyCioIn) {
        names.emplace_back("CIO_IN");
    }
    if (bits & kReadOnlyCioOut) {
        names.emplace_back("CIO_OUT");
    }
    for (unsigned k = kAreaDm; k < kAreaKinds; ++k) {
        if (bits & ReadOnlyBitOf(static_cast<FinsAreaKind>(k))) {
            names.emplace_back(FinsAreaName(static_cast<FinsAreaKind>(k)));
        }
    }
    return names.empty() ? "off" : Join(names, ",");
}

// "name value" pieces packed into log lines of at most kLogEntryChars, each line opening with
// "settings: " and its pieces separated by ", ".
class SettingsLines
{
public:
    // A value too long for a line of its own keeps its end (of a path, the file's name).
    void add(const std::string& name, const std::string& value)
    {
        std::string piece = name + " " + value;
        if (piece.size() > kRoom) {
            size_t keep = kRoom - name.size() - 1 - strlen(kCutMark);
            piece = name + " " + kCutMark + value.substr(value.size() - keep);
        }
        put(piece);
    }
    // The values joined by commas, continued under "name (continued)" on further lines.
    void addList(const std::string& name, const Strings& values)
    {
        std::string piece = name;
        const char* separator = " ";
        for (const std::string& value : values) {
            if (piece.size() + 1 + value.size() > kRoom) {
                put(piece);
                piece = name + kContinued;
                separator = " ";
            }
            piece += separator + value.substr(0, kRoom - piece.size() - 1);
            separator = ",";
        }
        put(piece);
    }
    Strings take()
    {
        m_lines.push_back(m_line);
        return std::move(m_lines);
    }

private:
    static constexpr size_t kRoom = kLogEntryChars - sizeof(kSettingsPrefix) + 1;

    void put(const std::string& piece)
    {
        if (!m_line.empty() && m_line.size() + 2 + piece.size() > kLogEntryChars) {
            m_lines.push_back(m_line);
            m_line.clear();
        }
        m_line += m_line.empty() ? kSettingsPrefix : ", ";
        m_line += piece;
    }

    Strings m_lines;
    std::string m_line;
};

// One environment override; a bad value is logged and leaves `field` alone.
template <typename T>
void ApplyOverride(const char* name, bool (*parse)(const std::string&, T&), T& field,
                   FinsSettings& settings)
{
    const char* value = getenv(name);
    if (value == nullptr) {
        return;
    }
    if (parse(value, field)) {
        settings.fromEnvironment = true;
    } else {
        (void)kelLogAddWarnF(kBadOverrideMsg, name, value);
    }
}

} // namespace

FinsSettings LoadFinsSettings(const std::string& path, const FinsSettings& inForce)
{
    const bool keepInForce = !inForce.file.empty();
    if (!CheckReadable(path, keepInForce)) {
        return keepInForce ? inForce : FinsSettings();
    }
    FinsSettings settings;
    utility::IniFile ini(path);
    if (!ini.Load()) {
        (void)kelLogAddWarnF(kUnreadableMsg, path.c_str(), SysErrText(errno).text, kBuiltInKept);
        return settings;
    }
    settings.file = path;
    ReportSkipped(ini, path);
    WarnUnknownKeys(ini, path);
    for (const KeyRule& rule : kKeys) {
        ApplyKey(ini, path, rule, settings);
    }
    if (!settings.tcp && !settings.udp) {
        (void)kelLogAddErrorF(kNothingServedMsg, path.c_str());
    }
    ReportNoWriters(ini, path, settings);
    ReadAreaLines(ini, path, settings);
    return settings;
}

std::string FindFinsSettingsFile()
{
    const char* named = getenv(kEnvSettingsFile);
    if (named != nullptr && *named != '\0') {
        return named;
    }
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&FindFinsSettingsFile), &info) == 0 ||
        info.dli_fname == nullptr) {
        return "";
    }
    std::string library = info.dli_fname;
    size_t slash = library.rfind('/');
    std::string beside =
        (slash == std::string::npos ? std::string() : library.substr(0, slash + 1)) +
        kSettingsFileName;
    return access(beside.c_str(), F_OK) == 0 ? beside : "";
}

void ApplyFinsOverrides(FinsSettings& settings)
{
    ApplyOverride(kEnvPort, ParsePort, settings.port, settings);
    ApplyOverride(kEnvBind, ParseAddress, settings.bindAddr, settings);
}

FinsSettings ResolveFinsSettings(const FinsSettings& inForce)
{
    // A file read at the last download that is gone now is a file that cannot be read.
    std::string path = FindFinsSettingsFile();
    if (path.empty()) {
        path = inForce.file;
    }
    FinsSettings settings = path.empty() ? FinsSettings() : LoadFinsSettings(path, inForce);
    ApplyFinsOverrides(settings);
    return settings;
}

std::vector<std::string> FormatFinsSettings(const FinsSettings& s)
{
    SettingsLines lines;
    lines.add("bind", s.bindAddr);
    lines.add("port", std::to_string(s.port));
    lines.add("tcp", s.tcp ? "on" : "off");
    lines.add("udp", s.udp ? "on" : "off");
    lines.add("model", s.model.empty() ? "built-in" : "\"" + s.model + "\"");
    if (s.allow.empty()) {
        lines.add("allow", s.allowNone ? "nobody" : "everyone");
    } else {
        lines.addList("allow", s.allow);
    }
    lines.add("read_only", ReadOnlyText(s.readOnly));
    lines.add("max_connections", std::to_string(s.maxConnections));
    lines.add("max_connections_per_client", std::to_string(s.maxConnectionsPerClient));
    lines.add("idle_timeout_s", std::to_string(s.idleTimeoutS));
    lines.add("priority", std::to_string(s.priority));
    lines.add("cpu_share", std::to_string(s.cpuShare));
    if (!s.writersNamed || s.writeAllow.empty()) {
        lines.add("write_allow", s.writersNamed ? "no one" : "everyone");
    } else {
        lines.addList("write_allow", s.writeAllow);
    }
    lines.add("log_writes", s.logWrites ? "on" : "off");
    lines.add("areas", AreasText(s));
    lines.add("file", s.file.empty() ? "none" : s.file);
    return lines.take();
}

void FitFinsAreasToSegments(FinsSettings& settings, CAppAreaMemmory& memory)
{
    auto past = [&](const FinsAreaLine& line) { return PastItsSegment(settings, line, memory); };
    settings.areas.erase(std::remove_if(settings.areas.begin(), settings.areas.end(), past),
                         settings.areas.end());
}

CFinsAreaMap BuildFinsAreaMap(const FinsSettings& settings, CAppAreaMemmory& memory)
{
    if (!settings.rangeLines) {
        return CFinsAreaMap(settings.layout);
    }
    CFinsAreaMap map;
    map.Clear();
    for (const FinsAreaLine& line : settings.areas) {
        if (!PastItsSegment(settings, line, memory)) {
            (void)map.Add(line.range); // the loader has left out every range that overlaps another
        }
    }
    return map;
}
