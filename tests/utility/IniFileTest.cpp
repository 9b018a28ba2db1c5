// INI reader: line shapes, sections, typed conversions and their fallbacks.
#include "utility/IniFile.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "tests/utility/TempDir.h"

namespace {

using utility::IniFile;
using Strings = std::vector<std::string>;

// Writes INI content to a file in a private temporary directory.
class IniFileTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.ok()); }

    void write(const std::string& content)
    {
        std::ofstream out(m_path, std::ios::binary | std::ios::trunc);
        out << content;
    }

    // A reader loaded from the content.
    std::unique_ptr<IniFile> load(const std::string& content)
    {
        write(content);
        auto ini = std::make_unique<IniFile>(m_path);
        EXPECT_TRUE(ini->Load());
        return ini;
    }

    TempDir m_dir;
    const std::string m_path = m_dir.file("test.ini");
};

const char* const kLineShapes = "early=1\n"
                                "[net]\n"
                                "  port =  9600  \n"
                                "expr=a=b\n"
                                ";x=1\n"
                                "#y=1\n"
                                "z=1 ;c\n"
                                "quoted=\"q\"\n"
                                "empty=\n"
                                "novalue\n"
                                "=orphan\n"
                                "[a] junk=1\n"
                                "[ spaced ]\n"
                                "k=v\n"
                                "[=]\n"
                                "eq=1\n"
                                "[ ]\n"
                                "blank=named\n"
                                "[]\n"
                                "after=brackets\n";

TEST_F(IniFileTest, LineShapesStoreTrimmedKeysAndValues)
{
    auto ini = load(kLineShapes);
    struct Case
    {
        const char* section;
        const char* key;
        const char* value; // "<default>" when absent
    } cases[] = {
        {"net", "early", "<default>"}, // keys before the first section are ignored
        {"", "early", "<default>"},
        {"net", "port", "9600"},
        {"net", "expr", "a=b"},
        {"net", ";x", "<default>"},
        {"net", "#y", "<default>"},
        {"net", "x", "<default>"},
        {"net", "z", "1 ;c"},
        {"net", "quoted", "\"q\""},
        {"net", "empty", ""},
        {"net", "novalue", "<default>"},
        {"net", "", "<default>"},
        // "[a] junk=1" is no header but holds '=': a key of the current section.
        {"net", "[a] junk", "1"},
        {"a", "junk", "<default>"},
        {"spaced", "k", "v"},
        {"=", "eq", "1"},
        {"", "blank", "named"},
        // "[]" is too short to be a header, so the key stays in the empty-named section.
        {"", "after", "brackets"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ini->GetString(c.section, c.key, "<default>"), c.value)
            << "[" << c.section << "] " << c.key;
    }
    // Blank lines and comments are not reported; what was meant as a setting and dropped is.
    using Reason = IniFile::SkippedLine::Reason;
    const std::vector<std::tuple<int, Reason, std::string>> skipped = {
        {1, Reason::KeyBeforeSection, "early=1"},
        {10, Reason::NotKeyValue, "novalue"},
        {11, Reason::EmptyKey, "=orphan"},
        {19, Reason::NotKeyValue, "[]"},
    };
    std::vector<std::tuple<int, Reason, std::string>> got;
    for (const IniFile::SkippedLine& line : ini->GetSkipped()) {
        got.emplace_back(line.line, line.reason, line.text);
    }
    EXPECT_EQ(got, skipped);
}

// Repeated keys and sections merge, the last value winning; enumeration and line numbers follow
// the last occurrence.
TEST_F(IniFileTest, RepeatedKeysAndSectionsMergeWithLastValueWinning)
{
    auto ini = load("[s]\n"
                    "a=1\n"
                    "; c=x\n"
                    "a=2\n"
                    "[t]\n"
                    "[ s ]\n"
                    "a=3\n"
                    "c=4\n"
                    "[S]\n"
                    "a=upper\n");
    EXPECT_EQ(ini->GetString("s", "a", ""), "3");
    EXPECT_EQ(ini->GetString("s", "c", ""), "4");
    EXPECT_EQ(ini->GetString("S", "a", ""), "upper"); // section names are case-sensitive
    EXPECT_EQ(ini->GetSections(), (Strings{"S", "s", "t"}));
    EXPECT_EQ(ini->GetKeys("s"), (Strings{"a", "c"}));
    EXPECT_EQ(ini->GetKeys("t"), Strings{});
    EXPECT_EQ(ini->GetKeys("missing"), Strings{});
    EXPECT_EQ(ini->GetLine("s", "a"), 7);
    EXPECT_EQ(ini->GetLine("s", "c"), 8);
    EXPECT_EQ(ini->GetLine("t", "a"), 0);
    EXPECT_EQ(ini->GetLine("missing", "a"), 0);
    // Each replaced value is handed back with both lines; a second Load of the same file repeats
    // nothing of the first.
    for (int load = 0; load < 2; ++load) {
        std::vector<std::tuple<int, std::string, std::string, int>> repeats;
        for (const IniFile::SkippedLine& line : ini->GetSkipped()) {
            EXPECT_EQ(line.reason, IniFile::SkippedLine::Reason::RepeatedKey);
            repeats.emplace_back(line.line, line.section, line.text, line.earlierLine);
        }
        EXPECT_EQ(repeats, (decltype(repeats){{4, "s", "a=2", 2}, {7, "s", "a=3", 4}}));
        ASSERT_TRUE(ini->Load());
    }
}

TEST_F(IniFileTest, CrLfLinesAndAByteOrderMarkReadLikeLfLines)
{
    auto lf = load("[s]\nkey = v 1 \nlast=x");
    auto crlf = load("[s]\r\nkey = v 1 \r\nlast=x\r\n");
    auto bom = load("\xEF\xBB\xBF[s]\r\nkey = v 1 \r\nlast=x\r\n"); // as desktop editors save
    for (const char* key : {"key", "last"}) {
        EXPECT_EQ(crlf->GetString("s", key, "?"), lf->GetString("s", key, "?")) << key;
        EXPECT_EQ(bom->GetString("s", key, "?"), lf->GetString("s", key, "?")) << key;
    }
    EXPECT_TRUE(bom->GetSkipped().empty());
    EXPECT_EQ(lf->GetString("s", "last", "?"), "x"); // a last line without terminator counts
}

TEST_F(IniFileTest, LoadFailsOnlyForAMissingFileAndReloadMerges)
{
    IniFile missing(m_path + ".missing");
    EXPECT_FALSE(missing.Load());
    EXPECT_EQ(missing.GetString("s", "a", "d"), "d");

    write("");
    IniFile ini(m_path);
    EXPECT_TRUE(ini.Load());
    write("[s]\na=1\nb=1\n");
    EXPECT_TRUE(ini.Load());
    write("[s]\na=2\n");
    EXPECT_TRUE(ini.Load());
    EXPECT_EQ(ini.GetString("s", "a", ""), "2");
    EXPECT_EQ(ini.GetString("s", "b", ""), "1"); // kept from the first load
}

TEST_F(IniFileTest, IntegersReadTheLeadingDecimalNumberAndSaturate)
{
    auto ini = load("[n]\n"
                    "big=70000\nneg=-40000\nabc=abc\nempty=\nmixed=42abc\nfrac=3.9\n"
                    "octal=012\nhex=0x1F\nplus=+5\nminus1=-1\nhuge=4294967296\n"
                    "i32max=2147483648\ni32min=-2147483649\nhex10=0x10\n");
    struct Case
    {
        const char* key;
        int16_t i16;
        uint16_t u16;
        int32_t i32;
        uint32_t u32;
    } cases[] = {
        {"big", 32767, 65535, 70000, 70000},
        {"neg", -32768, 25536, -40000, 4294927296u},
        {"abc", 0, 0, 0, 0},
        {"empty", 0, 0, 0, 0},
        {"mixed", 42, 42, 42, 42},
        {"frac", 3, 3, 3, 3},
        {"octal", 12, 12, 12, 12},
        {"hex", 0, 0, 0, 0},
        {"plus", 5, 5, 5, 5},
        {"minus1", -1, 65535, -1, 4294967295u},
        {"huge", 32767, 65535, 2147483647, 4294967295u},
        {"i32max", 32767, 65535, 2147483647, 2147483648u},
        {"i32min", -32768, 65535, -2147483647 - 1, 2147483647u},
        {"hex10", 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(ini->GetInt16("n", c.key, 99), c.i16);
        EXPECT_EQ(ini->GetUInt16("n", c.key, 99), c.u16);
        EXPECT_EQ(ini->GetInt32("n", c.key, 99), c.i32);
        EXPECT_EQ(ini->GetUInt32("n", c.key, 99), c.u32);
    }
    EXPECT_EQ(ini->GetInt16("n", "missing", -7), -7);
    EXPECT_EQ(ini->GetUInt32("missing", "big", 7u), 7u);
}

TEST_F(IniFileTest, FloatsRoundTripTheDefaultAndReadZeroWhenUnreadable)
{
    auto ini = load("[f]\nhalf=0.5\nx=x\ntrail=1.5abc\nhuge=1e50\nempty=\nneg=-2.25\n");
    EXPECT_FLOAT_EQ(ini->GetFloat("f", "half", 9.0f), 0.5f);
    EXPECT_FLOAT_EQ(ini->GetFloat("f", "neg", 9.0f), -2.25f);
    EXPECT_FLOAT_EQ(ini->GetFloat("f", "trail", 9.0f), 1.5f);
    EXPECT_EQ(ini->GetFloat("f", "x", 9.0f), 0.0f);
    EXPECT_EQ(ini->GetFloat("f", "huge", 9.0f), 0.0f);
    EXPECT_EQ(ini->GetFloat("f", "empty", 9.0f), 0.0f);
    // A missing key returns the default rounded to 6 significant digits.
    EXPECT_EQ(ini->GetFloat("f", "missing", 0.1f), 0.1f);
    EXPECT_EQ(ini->GetFloat("f", "missing", 1234567.0f), 1234570.0f);
    EXPECT_EQ(ini->GetFloat("nosection", "half", 0.25f), 0.25f);
}

TEST_F(IniFileTest, BoolsAreTrueOnlyForTrueOrOne)
{
    auto ini = load("[b]\nt1=true\nt2=TrUe\nt3=1\nf1=yes\nf2=on\nf3=0\nf4=\nf5=true1\nf6=01\n");
    for (const char* key : {"t1", "t2", "t3"}) {
        EXPECT_TRUE(ini->GetBool("b", key, false)) << key;
    }
    for (const char* key : {"f1", "f2", "f3", "f4", "f5", "f6"}) {
        EXPECT_FALSE(ini->GetBool("b", key, true)) << key;
    }
    EXPECT_TRUE(ini->GetBool("b", "missing", true));
    EXPECT_FALSE(ini->GetBool("missing", "t1", false));
}

TEST_F(IniFileTest, StringListsSplitAtRunsOfSeparators)
{
    auto ini = load("[l]\nspaced=a b\tc\nruns=a, b,,c\ntrail=a, \nlead=,a\nempty=\none=x\n");
    struct Case
    {
        const char* key;
        Strings items;
    } cases[] = {
        {"spaced", {"a", "b", "c"}}, {"runs", {"a", "b", "c"}}, {"trail", {"a"}},
        {"lead", {"", "a"}},         {"empty", {""}},           {"one", {"x"}},
        {"missing", {""}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ini->GetStringList("l", c.key), c.items) << c.key;
    }
}

} // namespace
