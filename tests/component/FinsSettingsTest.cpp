// The settings loader: file texts against the settings they give and the warnings they log, and
// where the file is found and what the environment overrides.
#include "component/FinsSettings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/FakeApplication.h"
#include "tests/support/FakeLogger.h"
#include "tests/utility/TempDir.h"

namespace {

using Strings = std::vector<std::string>;

auto Fields(const FinsSettings& s)
{
    return std::tie(s.bindAddr, s.port, s.tcp, s.udp, s.model, s.allow, s.allowNone, s.readOnly,
                    s.maxConnections, s.maxConnectionsPerClient, s.idleTimeoutS, s.priority,
                    s.cpuShare);
}

// "@" in an expected log line stands for the file's path; a leading "!" marks an error, the
// other lines are warnings.
Strings WithPath(Strings lines, const std::string& path)
{
    for (std::string& line : lines) {
        for (size_t at = line.find('@'); at != std::string::npos; at = line.find('@', at)) {
            line.replace(at, 1, path);
            at += path.size();
        }
    }
    return lines;
}

class FinsSettingsTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.ok()); }

    std::string write(const std::string& content)
    {
        std::ofstream(m_path, std::ios::binary | std::ios::trunc) << content;
        return m_path;
    }

    // The log as "!"-marked texts (see WithPath).
    Strings logged() const
    {
        Strings texts;
        for (const LogRecord& entry : m_log.entries()) {
            EXPECT_TRUE(entry.classId == LOG_CLASS_ERROR || entry.classId == LOG_CLASS_WARNING);
            texts.push_back((entry.classId == LOG_CLASS_ERROR ? "!" : "") + entry.text);
        }
        return texts;
    }

    FakeLogger m_log;
    TempDir m_dir;
    const std::string m_path = m_dir.file("s.ini");
};

enum class Source
{
    File,
    Missing,
    Directory
};

TEST_F(FinsSettingsTest, FileTextsGiveSettingsAndWarnings)
{
    struct Case
    {
        const char* name;
        Source source;
        std::string content;
        void (*expect)(FinsSettings&); // changes from the defaults
        Strings log;
    } cases[] = {
        {"empty file", Source::File, "", [](FinsSettings&) {}, {}},
        {"every key",
         Source::File,
         "[server]\nbind = 127.0.0.2\nport=9700\ntcp=off\nudp=Yes\npriority=0\ncpu_share=1\n"
         "[controller]\nmodel=Soft PLC\n"
         "[access]\nallow=127.0.0.2, 10.0.0.0/8\nread_only=DM cio_in\nmax_connections=10\n"
         "max_connections_per_client=2\nidle_timeout_s=30\n",
         [](FinsSettings& s) {
             s.bindAddr = "127.0.0.2";
             s.port = 9700;
             s.tcp = false;
             s.priority = 0;
             s.cpuShare = 1;
             s.model = "Soft PLC";
             s.allow = {"127.0.0.2", "10.0.0.0/8"};
             s.readOnly = kReadOnlyDm | kReadOnlyCioIn;
             s.maxConnections = 10;
             s.maxConnectionsPerClient = 2;
             s.idleTimeoutS = 30;
         },
         {}},
        {"switched off and cleared",
         Source::File,
         "[access]\nread_only=off\nallow=\n[server]\nudp=0\ntcp=FALSE\n",
         [](FinsSettings& s) { s.tcp = s.udp = false; },
         {"!settings file @: tcp and udp are both off, nothing is served"}},
        {"a byte order mark before the first header",
         Source::File,
         "\xEF\xBB\xBF[server]\nport=9700\n",
         [](FinsSettings& s) { s.port = 9700; },
         {}},
        {"lines the reader skips, and a key set twice",
         Source::File,
         "allow = 10.9.9.9\n[server]\nport 9700\n= 1\n; note\n[access]\nallow = 127.0.0.1\n"
         "[access]\nallow =\n",
         [](FinsSettings&) {},
         {"@:1: allow = 10.9.9.9: key before the first [section], ignored",
          "@:3: port 9700: not a key = value line, ignored",
          "@:4: = 1: no key before the =, ignored",
          "@:9: [access] allow =: allow also set on line 7; line 9 wins"}},
        {"quoted values and comments after them",
         Source::File,
         "[server]\nport = 9601 ; the port\nbind = \"127.0.0.2\"\nudp=off;x\n[controller]\n"
         "model = \"A ; B\" ; quoted\n[access]\nallow = \"127.0.0.1\" ;office\n"
         "read_only = \"DM\n",
         [](FinsSettings& s) {
             s.port = 9601;
             s.bindAddr = "127.0.0.2";
             s.model = "A ; B";
             s.allow = {"127.0.0.1"};
             s.readOnly = kReadOnlyEveryArea;
         },
         {"@:4: [server] udp: bad value \"off;x\", keeping on",
          "!@:9: [access] read_only: bad value \"\"DM\", every area read-only"}},
        {"unknown keys",
         Source::File,
         "[server]\nprot=9700\n[extra]\nport=1\n",
         [](FinsSettings&) {},
         {"@:4: [extra] port: unknown key, ignored", "@:2: [server] prot: unknown key, ignored"}},
        {"bad values keep the defaults",
         Source::File,
         "[server]\nbind=10.1\nport=65536\ntcp=maybe\nudp=\n[controller]\n"
         "model=a model name over twenty\n[access]\nallow=host\nread_only=HR\n"
         "max_connections=-1\nmax_connections_per_client=0x10\nidle_timeout_s=2147483648\n",
         [](FinsSettings& s) {
             s.allowNone = true;
             s.readOnly = kReadOnlyEveryArea;
         },
         {"@:2: [server] bind: bad value \"10.1\", keeping 0.0.0.0",
          "@:3: [server] port: bad value \"65536\", keeping 9600",
          "@:4: [server] tcp: bad value \"maybe\", keeping on",
          "@:5: [server] udp: bad value \"\", keeping on",
          "@:7: [controller] model: bad value \"a model name over twenty\", keeping the built-in "
          "model",
          "!@:9: [access] allow: bad value \"host\", no client admitted",
          "!@:10: [access] read_only: bad value \"HR\", every area read-only",
          "@:11: [access] max_connections: bad value \"-1\", keeping 0",
          "@:12: [access] max_connections_per_client: bad value \"0x10\", keeping 0",
          "@:13: [access] idle_timeout_s: bad value \"2147483648\", keeping 0"}},
        {"bad allow entries are left out, an unknown area protects every area",
         Source::File,
         "[access]\nallow=127.0.0.3 nohost 127.0.0.0/40\nread_only=DM,HR\n[server]\nport=0\n"
         "priority=100\ncpu_share=0\n",
         [](FinsSettings& s) {
             s.allow = {"127.0.0.3"};
             s.readOnly = kReadOnlyEveryArea;
         },
         {"@:5: [server] port: bad value \"0\", keeping 9600",
          "@:6: [server] priority: bad value \"100\", keeping 21",
          "@:7: [server] cpu_share: bad value \"0\", keeping 100",
          "@:2: [access] allow: bad entries left out: nohost 127.0.0.0/40",
          "!@:3: [access] read_only: bad value \"DM,HR\", every area read-only"}},
        {"missing file",
         Source::Missing,
         "",
         [](FinsSettings&) {},
         {"settings file @ cannot be read: No such file or directory; built-in settings kept"}},
        {"a directory",
         Source::Directory,
         "",
         [](FinsSettings&) {},
         {"settings file @ cannot be read: not a regular file; built-in settings kept"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = m_path;
        if (c.source == Source::File) {
            write(c.content);
        } else if (c.source == Source::Directory) {
            path = m_dir.file("dir");
            ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
        } else {
            path = m_dir.file("missing.ini");
        }
        m_log.clear();
        FinsSettings expected;
        c.expect(expected);
        FinsSettings actual = LoadFinsSettings(path);
        EXPECT_EQ(Fields(actual), Fields(expected));
        EXPECT_EQ(actual.file, c.source == Source::File ? path : "");
        EXPECT_EQ(logged(), WithPath(c.log, path));
    }
}

// Settings read from a file at one download stay in force when a later one cannot read it; a
// file never read gives the built-in settings.
TEST_F(FinsSettingsTest, ARedownloadThatCannotReadTheFileKeepsTheSettingsInForce)
{
    write("[server]\nport=9700\n[access]\nallow=127.0.0.2\n");
    const FinsSettings read = LoadFinsSettings(m_path);
    ASSERT_EQ(read.port, 9700);
    const std::string gone = "settings file " + m_path +
                             " cannot be read: No such file or "
                             "directory; ";
    const std::string kept = "!" + gone + "the settings read at the last download stay in force";
    const struct
    {
        const char* name;
        bool named; // DRVFINS_CONFIG names the file (else it was found beside the library)
        FinsSettings inForce;
        Strings log;
    } cases[] = {
        {"named file gone", true, read, {kept}},
        {"file beside the library gone", false, read, {kept}},
        {"never read", true, FinsSettings(), {gone + "built-in settings kept"}},
    };
    ASSERT_EQ(unlink(m_path.c_str()), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.named) {
            setenv(kEnvSettingsFile, m_path.c_str(), 1);
        }
        m_log.clear();
        FinsSettings s = ResolveFinsSettings(c.inForce);
        unsetenv(kEnvSettingsFile);
        EXPECT_EQ(Fields(s), Fields(c.inForce));
        EXPECT_EQ(logged(), c.log);
    }
}

// write_allow fails closed: without one readable entry no client may write, and an error names
// the file and the line; bad entries among good ones are left out with a warning. The settings
// line shows who may write.
TEST_F(FinsSettingsTest, WriteAllowFailsClosedAndShowsWithLogWrites)
{
    const struct
    {
        const char* content;
        Strings log;
        const char* writers; // the settings line's
    } cases[] = {
        {"write_allow =\nlog_writes = on", {}, "everyone, log_writes on"},
        {"write_allow = hmi 10.0.0.5, 10.0.0.0/24",
         {"@:2: [access] write_allow: bad entries left out: hmi"},
         "10.0.0.5,10.0.0.0/24, log_writes off"},
        {"write_allow = hmi 10.0.0.0/33\nlog_writes = 2",
         {"@:3: [access] log_writes: bad value \"2\", keeping off",
          "@:2: [access] write_allow: no readable entry in \"hmi 10.0.0.0/33\", so no client may "
          "write"},
         "no one, log_writes off"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        m_log.clear();
        const FinsSettings s = LoadFinsSettings(write(std::string("[access]\n") + c.content));
        EXPECT_EQ(WithPath(c.log, m_path), m_log.texts());
        std::string lines;
        for (const std::string& line : FormatFinsSettings(s)) {
            lines += line.substr(strlen("settings: ")) + ", ";
        }
        EXPECT_NE(lines.find(std::string("write_allow ") + c.writers + ", "), std::string::npos)
            << lines;
    }
    EXPECT_EQ(LOG_CLASS_ERROR, m_log.entries().back().classId);
}

// The map's ranges as text, in the order they were added: "DM 0-9=M0 W 5-5=M100".
std::string RangesText(const CFinsAreaMap& map)
{
    std::string text;
    for (const FinsAreaRange& r : map.Ranges()) {
        const char* segment = r.segment == APP_AREA_I ? "I" : r.segment == APP_AREA_Q ? "Q" : "M";
        text += (text.empty() ? "" : " ") + std::string(FinsAreaName(r.area)) + " " +
                std::to_string(r.first) + "-" + std::to_string(r.last) + "=" + segment +
                std::to_string(r.offset);
    }
    return text;
}

// [areas]: a layout, or range lines that make the whole map; a line that does not fit is logged
// with file, line and text and left out, the rest apply. M holds 100 words here.
TEST_F(FinsSettingsTest, AreaLinesMakeTheMap)
{
    const std::string wide = "CIO 0-32767=I0 CIO 32768-65535=Q0 DM 0-65535=M0";
    const struct
    {
        const char* name;
        std::string content;
        std::string ranges;
        Strings log;
    } cases[] = {
        {"no section", "[server]\nport=9600\n", wide, {}},
        {"compact",
         "[areas]\nlayout = Compact\n",
         "CIO 0-2047=I0 CIO 2048-4095=Q0 DM 0-32767=M0 E0 0-32767=M32768",
         {}},
        {"only bad range lines map nothing",
         "[areas]\nX 0-9 = M 0\n",
         "",
         {"@:2: [areas] X 0-9 = M 0: unknown area, left out"}},
        {"bad layout",
         "[areas]\nlayout=narrow\n",
         wide,
         {"@:2: [areas] layout: bad value \"narrow\", keeping wide"}},
        {"range lines",
         "[areas]\nlayout=compact\nCIO 0-9 = I 0 ; inputs\nc 5 = m 7\nDM 0-89 = M 0\nW 0-9 = M "
         "90\nTF 0-1599 = M 0\n",
         "CIO 0-9=I0 C 5-5=M7 DM 0-89=M0 W 0-9=M90 TF 0-1599=M0",
         {"@:2: [areas] layout: the range lines make the whole map, layout ignored"}},
        {"bad lines",
         "[areas]\nX 0-9 = M 0\nDM 20-29 = Z 0\nDM 9-0 = M 0\nH 0-0x10 = M 0\nT 0-4096 = M 0\n"
         "DM 0-9 = M 0\nDM 5-20 = M 50\nH 0-9 = M 95\nA 0-9 = M\nE0 0-9 = M 10\nCF 0-1600 = M 0\n",
         "DM 0-9=M0 E0 0-9=M10",
         {"@:2: [areas] X 0-9 = M 0: unknown area, left out",
          "@:3: [areas] DM 20-29 = Z 0: unknown segment, left out",
          "@:4: [areas] DM 9-0 = M 0: bad numbers, left out",
          "@:5: [areas] H 0-0x10 = M 0: bad numbers, left out",
          "@:6: [areas] T 0-4096 = M 0: past the end of the area, left out",
          "@:8: [areas] DM 5-20 = M 50: overlaps another range of the area, left out",
          "@:10: [areas] A 0-9 = M: not \"AREA first-last = SEGMENT offset\", left out",
          "@:9: [areas] H 0-9 = M 95: past the end of segment M (100 words), left out",
          "@:12: [areas] CF 0-1600 = M 0: past the end of segment M (100 words), left out"}},
    };
    FakeApplication app;
    std::vector<char> memory(200);
    app.setSegment(APP_SEGMENT_MEMORY, memory.data(), 200);
    app.setSegment(APP_SEGMENT_INPUT, memory.data(), 200);
    CAppAreaMemmory segments;
    ASSERT_EQ(0, segments.LoadAppMemoryAddr());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        m_log.clear();
        const FinsSettings settings = LoadFinsSettings(write(c.content));
        EXPECT_EQ(c.ranges, RangesText(BuildFinsAreaMap(settings, segments)));
        EXPECT_EQ(m_log.texts(), WithPath(c.log, m_path));
    }
}

// Sets or unsets one environment variable for the life of the object.
class EnvVar
{
public:
    EnvVar(const char* name, const char* value) : m_name(name)
    {
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~EnvVar() { unsetenv(m_name); }
    EnvVar(const EnvVar&) = delete;
    EnvVar& operator=(const EnvVar&) = delete;

private:
    const char* m_name;
};

TEST_F(FinsSettingsTest, EnvironmentNamesTheFileAndOverridesIt)
{
    write("[server]\nport=9700\nbind=127.0.0.2\n");
    struct Case
    {
        const char* config; // nullptr: unset
        const char* port;
        const char* bind;
        const char* wantBind;
        unsigned short wantPort;
        Strings log;
    } cases[] = {
        // No file named and none beside the library: the defaults, and not a word logged.
        {nullptr, nullptr, nullptr, "0.0.0.0", 9600, {}},
        {"", nullptr, nullptr, "0.0.0.0", 9600, {}},
        {"file", nullptr, nullptr, "127.0.0.2", 9700, {}},
        {"file", "9800", "127.0.0.3", "127.0.0.3", 9800, {}},
        {nullptr, "9801", nullptr, "0.0.0.0", 9801, {}},
        {"file",
         "98x",
         "localhost",
         "127.0.0.2",
         9700,
         {"DRVFINS_PORT: bad value \"98x\", ignored",
          "DRVFINS_BIND: bad value \"localhost\", ignored"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.config ? c.config : "-") + " " + (c.port ? c.port : "-"));
        bool named = c.config != nullptr && std::string(c.config) == "file";
        EnvVar config(kEnvSettingsFile, named ? m_path.c_str() : c.config);
        EnvVar port(kEnvPort, c.port);
        EnvVar bind(kEnvBind, c.bind);
        m_log.clear();
        FinsSettings s = ResolveFinsSettings();
        EXPECT_EQ(s.bindAddr, c.wantBind);
        EXPECT_EQ(s.port, c.wantPort);
        EXPECT_EQ(s.file, named ? m_path : "");
        EXPECT_EQ(m_log.texts(), c.log);
    }
}

// Size of every log line, that no entry is lost to it, and the first line the host reads the port
// from.
TEST(FinsSettingsFormat, LinesThatEachFitTheLogger)
{
    FinsSettings many;
    many.allow.assign(20, "192.168.100.100/32");
    many.model = "a twenty char model.";
    many.file = "/etc/drvfins/" + std::string(200, 'd') + "/DrvFins.ini";
    FinsSettings none;
    none.allowNone = true;
    none.readOnly = kReadOnlyEveryArea;
    const struct
    {
        FinsSettings settings;
        std::string text; // the lines after their prefix, joined by ", "; empty: not compared
    } cases[] = {
        {FinsSettings(),
         "bind 0.0.0.0, port 9600, tcp on, udp on, model built-in, allow everyone, read_only off, "
         "max_connections 0, max_connections_per_client 0, idle_timeout_s 0, priority 21, "
         "cpu_share "
         "100, write_allow everyone, log_writes off, areas wide, file none"},
        {none,
         "bind 0.0.0.0, port 9600, tcp on, udp on, model built-in, allow nobody, read_only every "
         "area, max_connections 0, max_connections_per_client 0, idle_timeout_s 0, priority 21, "
         "cpu_share 100, write_allow everyone, log_writes off, areas wide, file none"},
        {many, ""},
    };
    for (const auto& c : cases) {
        std::string text;
        for (const std::string& line : FormatFinsSettings(c.settings)) {
            EXPECT_LE(line.size(), kLogEntryChars) << line;
            ASSERT_EQ(line.rfind("settings: ", 0), 0u) << line;
            text += (text.empty() ? "" : ", ") + line.substr(strlen("settings: "));
        }
        EXPECT_EQ(text.rfind("bind 0.0.0.0, port 9600, tcp on, udp on, ", 0), 0u) << text;
        if (!c.text.empty()) {
            EXPECT_EQ(text, c.text);
        }
        size_t entries = 0;
        for (size_t at = text.find("192.168.100.100/32"); at != std::string::npos;
             at = text.find("192.168.100.100/32", at + 1)) {
            ++entries;
        }
        EXPECT_EQ(entries, c.settings.allow.size()) << text;
    }
    const std::vector<std::string> lines = FormatFinsSettings(many);
    EXPECT_EQ(lines.back().substr(lines.back().size() - 12), "/DrvFins.ini");
}

} // namespace
