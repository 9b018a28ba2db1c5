// XML element: attributes, children, look-ups, output form and copy safety.
#include "utility/Element.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using libvor::xml::Element;

Element Tree()
{
    Element root("root");
    root.attr("id", "7");
    Element child("child", "text");
    child.attr("k", "v");
    root.append(child);
    root.append(Element("leaf"));
    return root;
}

TEST(XmlElement, AttributesAreSetReplacedAndRemovedByEmptyValue)
{
    Element e("e");
    e.attr("b", "2");
    e.attr("a", "1");
    e.attr("b", "3");
    EXPECT_EQ(e.toString(), R"(<e a="1" b="3"></e>)");
    e.attr("a", "");
    e.attr("missing", ""); // removing what is not there is harmless
    EXPECT_EQ(e.toString(), R"(<e b="3"></e>)");
    // Reading a missing attribute inserts it empty.
    EXPECT_EQ(e.attr("k"), "");
    EXPECT_EQ(e.toString(), R"(<e b="3" k=""></e>)");
    e.attr("k") = "set";
    EXPECT_EQ(e.toString(), R"(<e b="3" k="set"></e>)");
}

TEST(XmlElement, LookupsFallBackToTheSharedEmptyElement)
{
    Element root = Tree();
    EXPECT_EQ(root.size(), 2);
    EXPECT_EQ(root[0].name(), "child");
    EXPECT_EQ(root["leaf"].name(), "leaf");
    EXPECT_EQ(&root[2], &Element::null());
    EXPECT_EQ(&root[-1], &Element::null());
    EXPECT_EQ(&root["Leaf"], &Element::null()); // names match byte for byte
    EXPECT_EQ(Element::null().toString(), "");
    Element twins("t");
    twins.append(Element("x", "first"));
    twins.append(Element("x", "second"));
    EXPECT_EQ(twins["x"].text(), "first");
}

TEST(XmlElement, OutputWritesChildrenInsteadOfTextAndNothingForAnEmptyName)
{
    Element root = Tree();
    EXPECT_EQ(root.toString(), R"(<root id="7"><child k="v">text</child><leaf></leaf></root>)");
    root.text("hidden");
    EXPECT_EQ(root.toString(), R"(<root id="7"><child k="v">text</child><leaf></leaf></root>)");
    Element unnamed("", "text");
    unnamed.attr("a", "1");
    EXPECT_EQ(unnamed.toString(), "");
    Element raw("r", "a<b & \"c\"");
    EXPECT_EQ(raw.toString(), "<r>a<b & \"c\"</r>"); // nothing escaped
}

TEST(XmlElement, AppendCopiesAndAcceptsItselfOrADescendant)
{
    Element root = Tree();
    Element extra("extra");
    root.append(extra);
    extra.name("renamed");
    EXPECT_EQ(root[2].name(), "extra");

    Element self = Tree();
    self.append(self);
    EXPECT_EQ(self.size(), 3);
    EXPECT_EQ(self[2].toString(), Tree().toString());
    self.append(self[0]);
    EXPECT_EQ(self[3].toString(), R"(<child k="v">text</child>)");
}

TEST(XmlElement, AssignmentFromADescendantCopiesTheSourceAsItWas)
{
    Element root = Tree();
    root = root[0];
    EXPECT_EQ(root.toString(), R"(<child k="v">text</child>)");

    Element again = Tree();
    Element& alias = again;
    again = alias;
    EXPECT_EQ(again.toString(), Tree().toString());

    Element moved = Tree();
    moved = Element(moved["leaf"]);
    EXPECT_EQ(moved.toString(), "<leaf></leaf>");
}

} // namespace
