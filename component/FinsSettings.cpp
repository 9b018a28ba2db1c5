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
#include <utility>

#include "base/kellog.h"
#include "net/AccessList.h"
#include "net/ISocketServer.h"
#include "utility/IniFile.h"

namespace {

constexpr char kUnreadableMsg[] = "settings file %s cannot be read: %s; built-in settings kept";
constexpr char kNotAFileMsg[] = "settings file %s is not a file; built-in settings kept";
constexpr char kUnknownKeyMsg[] = "%s:%d: [%s] %s: unknown key, ignored";
constexpr char kBadValueMsg[] = "%s:%d: [%s] %s: bad value \"%.64s\", keeping %s";
constexpr char kBadEntriesMsg[] = "%s:%d: [%s] %s: bad entries left out: %.80s";
constexpr char kBadOverrideMsg[] = "%s: bad value \"%.64s\", ignored";
constexpr char kBadRangeMsg[] = "%s:%d: [areas] %.80s: %s, left out";
constexpr char kPastSegmentMsg[] =
    "%s:%d: [areas] %.80s: past the end of segment %s (%u words), left out";
constexpr char kLayoutIgnoredMsg[] =
    "%s:%d: [areas] layout: the range lines make the whole map, layout ignored";
constexpr char kSettingsMsg[] =
    "settings: bind %s, port %u, tcp %s, udp %s, model %s, allow %s, read_only %s, "
    "max_connections %u, max_connections_per_client %u, idle_timeout_s %u, areas %s, file %s";

// Counts and seconds stay within int so that later arithmetic on them cannot overflow.
constexpr unsigned long kMaxCount = INT_MAX;
constexpr size_t kMaxDigits = 10;
// A segment word offset leaves room for a whole range behind it within int.
constexpr unsigned long kMaxSegmentOffset = INT_MAX / 2 - kAreaLastAddress;
constexpr const char* kAreasSection = "areas";
constexpr const char* kLayoutKey = "layout";
// Formatted log messages are cut at 254 characters; a longer allow list is shown as its size.
constexpr size_t kLogLineBudget = 250;

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

bool ParseReadOnly(const std::string& text, FinsSettings& s, Strings& rejected)
{
    if (Is(text, "off") || text.empty()) {
        s.readOnly = 0;
        return true;
    }
    unsigned bits = 0;
    for (const std::string& name : CAccessList::SplitEntries(text)) {
        unsigned area = AreaBits(name);
        if (area == 0) {
            rejected.push_back(name);
        }
        bits |= area;
    }
    if (bits == 0) {
        return false;
    }
    s.readOnly = bits;
    return true;
}

// No good entry at all keeps the default; otherwise the bad ones are left out.
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
    {"controller", "model", "the built-in model",
     [](const std::string& v, FinsSettings& s, Strings&) { return ParseModel(v, s.model); }},
    {"access", "allow", "everyone admitted", ParseAllow},
    {"access", "read_only", "off", ParseReadOnly},
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

// A regular file this process may read; otherwise the reason is logged.
bool CheckReadable(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        (void)kelLogAddWarnF(kUnreadableMsg, path.c_str(), SysErrText(errno).text);
        return false;
    }
    struct stat st = {};
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    close(fd);
    if (!regular) {
        (void)kelLogAddWarnF(kNotAFileMsg, path.c_str());
    }
    return regular;
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
    std::string value = ini.GetString(rule.section, rule.key, "");
    Strings rejected;
    if (!rule.parse(value, settings, rejected)) {
        (void)kelLogAddWarnF(kBadValueMsg, path.c_str(), line, rule.section, rule.key,
                             value.c_str(), rule.defaultText);
    } else if (!rejected.empty()) {
        (void)kelLogAddWarnF(kBadEntriesMsg, path.c_str(), line, rule.section, rule.key,
                             Join(rejected, " ").c_str());
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

std::string AreasText(const FinsSettings& s)
{
    if (s.rangeLines) {
        return std::to_string(s.areas.size()) + " ranges";
    }
    return s.layout == CFinsAreaMap::Layout::wide ? "wide" : "compact";
}

std::string ReadOnlyText(unsigned bits)
{
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

std::string FormatWith(const FinsSettings& s, const std::string& allow)
{
    std::string model = s.model.empty() ? "built-in" : "\"" + s.model + "\"";
    char line[512];
    snprintf(line, sizeof(line), kSettingsMsg, s.bindAddr.c_str(), s.port, s.tcp ? "on" : "off",
             s.udp ? "on" : "off", model.c_str(), allow.c_str(), ReadOnlyText(s.readOnly).c_str(),
             s.maxConnections, s.maxConnectionsPerClient, s.idleTimeoutS, AreasText(s).c_str(),
             s.file.empty() ? "none" : s.file.c_str());
    return line;
}

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

FinsSettings LoadFinsSettings(const std::string& path)
{
    FinsSettings settings;
    if (!CheckReadable(path)) {
        return settings;
    }
    utility::IniFile ini(path);
    if (!ini.Load()) {
        (void)kelLogAddWarnF(kUnreadableMsg, path.c_str(), SysErrText(errno).text);
        return settings;
    }
    settings.file = path;
    WarnUnknownKeys(ini, path);
    for (const KeyRule& rule : kKeys) {
        ApplyKey(ini, path, rule, settings);
    }
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

FinsSettings ResolveFinsSettings()
{
    std::string path = FindFinsSettingsFile();
    FinsSettings settings = path.empty() ? FinsSettings() : LoadFinsSettings(path);
    ApplyFinsOverrides(settings);
    return settings;
}

std::string FormatFinsSettings(const FinsSettings& settings)
{
    std::string allow = settings.allow.empty() ? "everyone" : Join(settings.allow, ",");
    std::string line = FormatWith(settings, allow);
    if (line.size() <= kLogLineBudget) {
        return line;
    }
    return FormatWith(settings, std::to_string(settings.allow.size()) + " entries");
}

CFinsAreaMap BuildFinsAreaMap(const FinsSettings& settings, CAppAreaMemmory& memory)
{
    if (!settings.rangeLines) {
        return CFinsAreaMap(settings.layout);
    }
    CFinsAreaMap map;
    map.Clear();
    for (const FinsAreaLine& line : settings.areas) {
        const FinsAreaRange& r = line.range;
        const uint32_t words = memory.GetAppMemorySizeFromType(r.segment) / 2u;
        if (memory.HasApplication() && uint64_t{r.offset} + (r.last - r.first) >= words) {
            (void)kelLogAddWarnF(kPastSegmentMsg, settings.file.c_str(), line.line,
                                 line.text.c_str(), SegmentName(r.segment), words);
            continue;
        }
        (void)map.Add(r); // the loader has left out every range that overlaps another
    }
    return map;
}
