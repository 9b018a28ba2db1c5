// JSON value: building through subscripts, typed access, comparison, text and assignment safety.
#include "utility/Json.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>

namespace {

using libvor::json::Json;

// Runs the action and returns the message of the std::logic_error it throws ("" if none).
std::string ErrorOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const std::logic_error& e) {
        return e.what();
    }
    return "";
}

Json Tree()
{
    Json j;
    j["name"] = "cfg";
    j["list"][0] = 1;
    j["list"][1] = 2.5;
    j["list"][2]["deep"] = true;
    return j;
}

// Key subscripts nest objects, whose members come out in key order; an index pads with nulls.
TEST(JsonBuild, CreatingSubscriptsBuildObjectsAndPaddedArrays)
{
    Json j;
    j["b"]["c"] = 1;
    j["a"] = 2;
    j["B"] = 3;
    EXPECT_TRUE(j.isObject() && j["b"].isObject());
    EXPECT_EQ(j.toString(), R"({"B":3,"a":2,"b":{"c":1}})");
    Json arr;
    arr[2] = true;
    EXPECT_EQ(arr.size(), 3);
    EXPECT_EQ(arr.toString(), "[null,null,true]");
}

TEST(JsonBuild, ReadOnlyLookupsYieldTheSharedNullWhileCreatingLookupAddsNull)
{
    Json j;
    j["present"] = 1;
    const Json& view = j;
    EXPECT_TRUE(view["missing"].isNull());
    EXPECT_EQ(&view.get("missing"), &Json::null());
    EXPECT_FALSE(j.has("missing"));
    EXPECT_TRUE(j["missing"].isNull());
    EXPECT_TRUE(j.has("missing"));
    EXPECT_EQ(j.size(), 2);
    const Json list = Tree()["list"];
    EXPECT_EQ(&list.get(-1), &Json::null());
    EXPECT_EQ(&list[3], &Json::null());
    EXPECT_EQ(list[1].asDouble(), 2.5);
}

TEST(JsonText, ScalarsUseStreamDefaults)
{
    struct Case
    {
        Json value;
        const char* text;
    } cases[] = {
        {Json(), "null"},
        {Json(true), "true"},
        {Json(false), "false"},
        {Json(0), "0"},
        {Json(-12), "-12"},
        {Json(INT_MIN), "-2147483648"},
        {Json(2.0), "2"},
        {Json(0.1), "0.1"},
        {Json(-0.5), "-0.5"},
        {Json(1234567.0), "1.23457e+06"},
        {Json(0.00001), "1e-05"},
        {Json(3.14159265), "3.14159"},
        {Json(""), R"("")"},
        // Nothing is escaped: quotes and backslashes go out as stored.
        {Json("a\"b\\c"), "\"a\"b\\c\""},
        {Json(Json::json_array), "[]"},
        {Json(Json::json_object), "{}"},
        {Json(Json::json_string), R"("")"},
        {Json(Json::json_bool), "false"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.value.toString(), c.text);
    }
    EXPECT_EQ(Tree().toString(), R"({"list":[1,2.5,{"deep":true}],"name":"cfg"})");
}

TEST(JsonKinds, TypedReadsThrowTheirMessageOnTheWrongKind)
{
    Json d(1.5);
    Json i(7);
    Json n;
    struct Case
    {
        std::function<void()> read;
        const char* message;
    } cases[] = {
        {[&] { (void)d.asInt(); }, "function Json::asInt value type error"},
        {[&] { (void)i.asString(); }, "function Json::asString value type error"},
        {[&] { (void)static_cast<bool>(i); }, "function Json::operator (bool) requires bool value"},
        {[&] { (void)static_cast<int>(d); }, "function Json::operator (int) requires int value"},
        {[&] { (void)static_cast<std::string>(static_cast<const Json&>(i)); },
         "function Json::operator (string) requires string value"},
        {[&] { (void)i.get(0); }, "function Json::get [int] requires array value"},
        {[&] { (void)i.get("k"); }, "function Json::get [const string &] requires object value"},
        {[&] { (void)i["k"]; }, "function Json::operator [const string &] requires object value"},
        {[&] { (void)i.append(1); }, "function Json::append requires array value"},
        {[&] { n[-1] = 1; }, "function Json::operator [int] index less 0"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ErrorOf(c.read), c.message);
    }
    EXPECT_EQ(i.asInt(), 7); // failed reads change nothing
    EXPECT_EQ(d.asDouble(), 1.5);
    EXPECT_TRUE(n.isArray()) << "a negative creating index throws after null became an array";
    EXPECT_EQ(n.size(), 0);
}

TEST(JsonKinds, SizeEmptyAndHasPerKind)
{
    Json arr = Tree()["list"];
    Json obj = Tree();
    struct Case
    {
        Json value;
        int size;
        bool empty;
    } cases[] = {
        {Json("x"), 0, true}, {Json(Json::json_array), 0, true}, {arr, 3, false}, {obj, 2, false}};
    for (const Case& c : cases) {
        EXPECT_EQ(c.value.size(), c.size) << c.value.toString();
        EXPECT_EQ(c.value.empty(), c.empty) << c.value.toString();
    }
    EXPECT_TRUE(arr.has(2) && obj.has("name") && obj.has(std::string("list")));
    EXPECT_FALSE(arr.has(3) || arr.has(-1) || obj.has(0) || arr.has("name"));
}

TEST(JsonEdit, AppendTurnsNullIntoArrayAndCopiesItsArgument)
{
    Json j;
    Json item("x");
    j.append(item).append(2);
    item = "changed";
    EXPECT_EQ(j.toString(), R"(["x",2])");
    j.append(j); // the array as it was before the append
    EXPECT_EQ(j.toString(), R"(["x",2,["x",2]])");
    j.append(j[0]);
    EXPECT_EQ(j.toString(), R"(["x",2,["x",2],"x"])");
}

TEST(JsonEdit, RemoveShiftsArrayElementsAndDropsObjectMembersAndClearKeepsTheKind)
{
    Json arr;
    for (int i = 0; i < 4; ++i) {
        arr.append(i);
    }
    EXPECT_TRUE(arr.remove(1));
    EXPECT_FALSE(arr.remove(3));
    EXPECT_FALSE(arr.remove(-1));
    EXPECT_EQ(arr.toString(), "[0,2,3]");
    Json obj = Tree();
    EXPECT_TRUE(obj.remove("name"));
    EXPECT_FALSE(obj.remove(std::string("name")));
    EXPECT_FALSE(obj.remove(0));
    EXPECT_FALSE(arr.remove("name"));
    EXPECT_EQ(obj.toString(), R"({"list":[1,2.5,{"deep":true}]})");
    arr.clear(); // clear keeps the kind
    EXPECT_TRUE(arr.isArray());
    EXPECT_EQ(arr.toString(), "[]");
    Json i(42);
    i.clear();
    EXPECT_TRUE(i == 0);
    Json s("abc");
    s.clear();
    EXPECT_EQ(s.toString(), R"("")");
}

TEST(JsonEdit, AssignmentFromItselfOrADescendantCopiesTheSourceAsItWas)
{
    struct Case
    {
        const char* name;
        std::function<void(Json&)> assign;
        std::string expected;
    } cases[] = {
        {"self copy", [](Json& j) { j = static_cast<const Json&>(j); }, Tree().toString()},
        {"self set", [](Json& j) { j.set(j); }, Tree().toString()},
        {"self copy()", [](Json& j) { j.copy(j); }, Tree().toString()},
        {"child", [](Json& j) { j = static_cast<const Json&>(j["list"]); },
         "[1,2.5,{\"deep\":true}]"},
        {"grandchild", [](Json& j) { j = static_cast<const Json&>(j["list"][2]); },
         R"({"deep":true})"},
        {"leaf", [](Json& j) { j = static_cast<const Json&>(j["list"][2]["deep"]); }, "true"},
        {"moved child", [](Json& j) { j = std::move(j["list"][2]); }, R"({"deep":true})"},
        {"moved self",
         [](Json& j) {
             Json& same = j;
             j = std::move(same);
         },
         Tree().toString()},
        {"element into sibling",
         [](Json& j) { j["list"][0] = static_cast<const Json&>(j["list"]); },
         R"({"list":[[1,2.5,{"deep":true}],2.5,{"deep":true}],"name":"cfg"})"},
    };
    for (const Case& c : cases) {
        Json j = Tree();
        c.assign(j);
        EXPECT_EQ(j.toString(), c.expected) << c.name;
    }
}

TEST(JsonCompare, TreesAreEqualWhenKindsAndContentsAre)
{
    Json nan(std::nan(""));
    Json withNan;
    withNan.append(nan);
    struct Case
    {
        Json a, b;
        bool equal;
    } cases[] = {
        {Json(5), Json(5), true},
        {Json(5), Json(5.0), false},
        {Json(1.0), Json(1), false},
        {Json(), Json(), true},
        {Json(), Json(0), false},
        {Json("x"), Json(std::string("x")), true},
        {Json(std::string("a\0b", 3)), Json("a"), false},
        {Json(Json::json_array), Json(Json::json_array), true},
        {Json(Json::json_object), Json(Json::json_object), true},
        {Json(Json::json_array), Json(Json::json_object), false},
        {Tree(), Tree(), true},
        {Tree()["list"], Tree()["list"], true},
        {nan, nan, false},
        {withNan, withNan, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.a == c.b, c.equal) << c.a.toString() << " vs " << c.b.toString();
        EXPECT_EQ(c.a != c.b, !c.equal) << c.a.toString() << " vs " << c.b.toString();
    }
    Json tree = Tree();
    EXPECT_TRUE(tree == tree); // a tree equals itself
    Json other = Tree();
    other["list"][2]["deep"] = false;
    EXPECT_FALSE(tree == other);
    other = Tree();
    other["extra"];
    EXPECT_FALSE(tree == other);
    Json reordered;
    reordered.append(2.5).append(1);
    EXPECT_FALSE(reordered == Json(Tree()["list"]));
    // Scalar operands compare with strict kinds too.
    Json i(1), d(1.0), s("x");
    EXPECT_TRUE(i == 1 && d == 1.0 && s == "x" && s == std::string("x"));
    EXPECT_FALSE(i == 1.0 || d == 1 || i == true || s == "y");
    EXPECT_TRUE(i != 1.0 && d != 1 && s != std::string("y"));
}

TEST(JsonParse, ReplacesTheValueOnlyWhenTheWholeTextParses)
{
    Json j = Tree();
    EXPECT_EQ(ErrorOf([&] { j.parse("[1, 2"); }), "unexpected end of input");
    EXPECT_TRUE(j == Tree());
    j.parse(R"( {"k": [true, null, -3, 0.5, "s"]} )");
    EXPECT_EQ(j.toString(), R"({"k":[true,null,-3,0.5,"s"]})");
}

} // namespace
