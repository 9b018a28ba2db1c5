// XML parser: accepted shapes, every logged failure, termination on malformed input, files.
#include "utility/Document.h"

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/FakeLogger.h"
#include "tests/utility/TempDir.h"

namespace {

using libvor::xml::Document;
using libvor::xml::Element;
using Strings = std::vector<std::string>;

struct Parsed
{
    bool ok;
    Element root;
    Strings logged;
};

// A std::logic_error the parse throws is recorded as a logged line "throw: <message>".
Parsed ParseText(const std::string& text)
{
    FakeLogger logger;
    Document doc;
    doc.load_string(text);
    Parsed result{false, Element(), {}};
    try {
        result.ok = doc.parse(result.root);
    } catch (const std::logic_error& e) {
        return Parsed{false, Element(), {std::string("throw: ") + e.what()}};
    }
    result.logged = logger.texts();
    return result;
}

TEST(XmlParse, DeclarationCommentAttributesAndChildren)
{
    Parsed p = ParseText(R"(<?xml version="1.0"?><!-- c --><cfg a="1" b="x y">)"
                         R"(<item>v</item><item/></cfg>)");
    ASSERT_TRUE(p.ok);
    EXPECT_TRUE(p.logged.empty());
    ASSERT_EQ(p.root.size(), 2);
    EXPECT_EQ(p.root.attr("b"), "x y");
    EXPECT_EQ(p.root[0].text(), "v");
    EXPECT_EQ(p.root.toString(), R"(<cfg a="1" b="x y"><item>v</item><item></item></cfg>)");
}

TEST(XmlParse, AcceptedShapesPrintBackAsExpected)
{
    struct Case
    {
        std::string text;
        std::string printed;
        int children;
    } cases[] = {
        // Nothing between the tags yields one child with an empty name, which prints nothing.
        {"<a></a>", "<a></a>", 1},
        {"<a> \n </a>", "<a></a>", 1},
        {"<a><!-- only a comment --></a>", "<a></a>", 1},
        {R"(<a x=""/>)", "<a></a>", 0},
        {"<a>  hi  </a>", "<a>hi  </a>", 0},
        {R"(<a x="1" x="2"/>)", R"(<a x="2"></a>)", 0},
        {R"(<a  x = "1"  />)", R"(<a x="1"></a>)", 0},
        {"<a>&lt;b&gt;</a>", "<a>&lt;b&gt;</a>", 0},
        {"<a v=\"<x>'\n'\"/>", "<a v=\"<x>'\n'\"></a>", 0},
        {"<ns:a-b_c/>", "<ns:a-b_c></ns:a-b_c>", 0},
        {"<_a/>", "<_a></_a>", 0},
        {"<a><b/><!-- between --><c>t</c></a>", "<a><b></b><c>t</c></a>", 2},
        {"<a><?xml v?><b/></a>", "<a><b></b></a>", 1},
        {"<a>x<b/></a>", "<a><b></b></a>", 1},
        // Input that ends inside a start tag ends the element.
        {"<a", "<a></a>", 0},
        {R"(<a b="1")", R"(<a b="1"></a>)", 0},
        // Text before any element is left alone; root keeps no name.
        {"plain text", "", 0},
        {"<1>", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Parsed p = ParseText(c.text);
        EXPECT_TRUE(p.ok);
        EXPECT_TRUE(p.logged.empty());
        EXPECT_EQ(p.root.toString(), c.printed);
        EXPECT_EQ(p.root.size(), c.children);
    }
}

TEST(XmlParse, MalformedInputFailsWithOneLoggedMessage)
{
    struct Case
    {
        std::string text;
        std::string message;
    } cases[] = {
        {"", "xml document is empty"},
        {" \t\r\n", "xml document is empty"},
        {"<?xml version=\"1.0\"", "xml declaration is error"},
        {"<!-- never closed <a/>", "xml comment is error"},
        {"<a><!-- never closed</a>", "xml comment is error"},
        {"<a x>", "xml element attr is error:x"},
        {"<a.b/>", "xml element attr is error:"},
        {"<a>x<b/>y</a>", "xml element attr is error:y"},
        {"<a></b>", "xml element a end tag not found"},
        {"<a/ >", "xml empty element is error"},
        // Input ending inside text or an attribute value.
        {"<a>", "xml element a text end not found"},
        {"<a>text", "xml element a text end not found"},
        {"<a><b>text", "xml element b text end not found"},
        {std::string("<a>x\0y</a>", 10), "xml element a text end not found"},
        {R"(<a x="open)", "xml element attr value end not found:x"},
        // Where a child is expected, a '<' that starts no element.
        {"<a><!DOCTYPE x></a>", "xml element a child tag is error"},
        {"<a><1/></a>", "xml element a child tag is error"},
        {"<a><b/><", "xml element a child tag is error"},
        // A closing tag that is not the element's own while its own comes later.
        {"<a><b></c></b></a>", "xml element b end tag mismatch"},
        {"<a>t</x></a>", "xml element a end tag mismatch"},
        // An attribute value without double quotes throws.
        {"<a x=1>", "throw: xml element attr value should be in double quotes"},
        {"<a x= 'q'/>", "throw: xml element attr value should be in double quotes"},
        {"<a x=", "throw: xml element attr value should be in double quotes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Parsed p = ParseText(c.text);
        EXPECT_FALSE(p.ok);
        EXPECT_EQ(p.logged, Strings{c.message});
    }
}

TEST(XmlParse, NestingUpTo512LevelsParsesAndDeeperFails)
{
    auto nested = [](int depth) {
        std::string text;
        for (int i = 0; i < depth; ++i) {
            text += "<e>";
        }
        text += "x";
        for (int i = 0; i < depth; ++i) {
            text += "</e>";
        }
        return text;
    };
    Parsed ok = ParseText(nested(Document::kMaxDepth));
    EXPECT_TRUE(ok.ok);
    EXPECT_TRUE(ok.logged.empty());
    Parsed deep = ParseText(nested(Document::kMaxDepth + 1));
    EXPECT_FALSE(deep.ok);
    EXPECT_EQ(deep.logged, Strings{"xml element nesting deeper than 512 levels"});
    // Far deeper input fails the same way instead of exhausting the stack.
    std::string opens;
    for (int i = 0; i < 100000; ++i) {
        opens += "<e>";
    }
    EXPECT_FALSE(ParseText(opens).ok);
}

TEST(XmlParse, FailedParseLeavesWhatWasReadInRoot)
{
    Parsed p = ParseText(R"(<a k="v"><b/><c>)");
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(p.root.name(), "a");
    EXPECT_EQ(p.root.attr("k"), "v");
    ASSERT_GE(p.root.size(), 1);
    EXPECT_EQ(p.root[0].name(), "b");
}

TEST(XmlParse, SecondParseContinuesAfterTheFirstElement)
{
    FakeLogger logger;
    Document doc;
    doc.load_string("<a/> <b>t</b>");
    Element first, second, third;
    EXPECT_TRUE(doc.parse(first));
    EXPECT_TRUE(doc.parse(second));
    EXPECT_FALSE(doc.parse(third));
    EXPECT_EQ(first.name(), "a");
    EXPECT_EQ(second.toString(), "<b>t</b>");
    EXPECT_EQ(logger.texts(), Strings{"xml document is empty"});
    doc.load_string("<c/>"); // a new load starts at the beginning again
    EXPECT_TRUE(doc.parse(third));
    EXPECT_EQ(third.name(), "c");
}

// A saved tree loads back; a missing file fails quietly on load and is logged on save.
TEST(XmlFile, SavedTreeLoadsBackAndMissingFilesFail)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string file = dir.file("doc.xml");
    FakeLogger logger;
    Element root("cfg");
    root.attr("v", "1");
    root.append(Element("item", "text"));
    Document doc;
    ASSERT_TRUE(doc.save_file(file, root.toString()));
    ASSERT_TRUE(doc.save_file(file, root.toString())); // truncates, does not append
    ASSERT_TRUE(doc.load_file(file));
    Element parsed;
    ASSERT_TRUE(doc.parse(parsed));
    EXPECT_EQ(parsed.toString(), root.toString());

    doc.load_string("<kept/>");
    EXPECT_FALSE(doc.load_file(dir.file("missing.xml")));
    EXPECT_TRUE(doc.parse(parsed)); // the failed load changed nothing
    EXPECT_EQ(parsed.name(), "kept");
    EXPECT_TRUE(logger.entries().empty());

    std::string path = dir.file("no/such/dir.xml");
    EXPECT_FALSE(doc.save_file(path, "<a/>"));
    EXPECT_EQ(logger.texts(),
              Strings{"fstream open file:" + path + " fail,error:No such file or directory"});
}

} // namespace
