// JSON parser: the accepted grammar, every error message, the nesting limit and the position.
#include "utility/Parser.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

using libvor::json::Json;
using libvor::json::Parser;

Json Parse(const std::string& text)
{
    Parser parser;
    parser.load(text);
    return parser.parse();
}

// The message of the std::logic_error the parse throws, or "" when it succeeds.
std::string ParseError(const std::string& text)
{
    try {
        (void)Parse(text);
    } catch (const std::logic_error& e) {
        return e.what();
    }
    return "";
}

TEST(Parser, AcceptedTextsGiveTheseValues)
{
    struct Case
    {
        std::string text;
        Json::Type type;
        std::string printed;
    } cases[] = {
        {"0", Json::json_int, "0"},
        {"-0", Json::json_int, "0"},
        {"-12", Json::json_int, "-12"},
        {"0.50", Json::json_double, "0.5"},
        {"-0.25", Json::json_double, "-0.25"},
        {"2147483647", Json::json_int, "2147483647"},
        // Integers keep the low 32 bits of the long conversion.
        {"2147483648", Json::json_int, "-2147483648"},
        {"4294967297", Json::json_int, "1"},
        // Exponents are not grammar: the integer stops before 'e', the fraction's conversion
        // still applies it, and nothing after the top-level value is read.
        {"1e3", Json::json_int, "1"},
        {"1.5e3", Json::json_double, "1500"},
        {"1 2", Json::json_int, "1"},
        {"{} junk", Json::json_object, "{}"},
        {" \t\r\nnull", Json::json_null, "null"},
        {"true", Json::json_bool, "true"},
        {"false", Json::json_bool, "false"},
        {"nullx", Json::json_null, "null"},
        {R"("")", Json::json_string, R"("")"},
        {"\"raw\nline\ttab\x01\xC3\xA9\"", Json::json_string, "\"raw\nline\ttab\x01\xC3\xA9\""},
        {"[ ]", Json::json_array, "[]"},
        {"[]", Json::json_array, "[]"},
        {"[1, [2, [3]], {}]", Json::json_array, "[1,[2,[3]],{}]"},
        {"{}", Json::json_object, "{}"},
        {R"({ "a" : 1 , "b":[true,null] })", Json::json_object, R"({"a":1,"b":[true,null]})"},
        {R"({"k":1,"k":2})", Json::json_object, R"({"k":2})"},
        {R"({"":0})", Json::json_object, R"({"":0})"},
        {std::string("\"a\0b\"", 5), Json::json_string, std::string("\"a\0b\"", 5)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Json value = Parse(c.text);
        EXPECT_EQ(value.type(), c.type);
        EXPECT_EQ(value.toString(), c.printed);
    }
}

TEST(Parser, RejectedTextsThrowTheirMessage)
{
    struct Case
    {
        std::string text;
        const char* message;
    } cases[] = {
        {"", "unexpected end of input"},
        {" \r\n\t", "unexpected end of input"},
        {"[1,", "unexpected end of input"},
        {"[", "unexpected end of input"},
        {R"({"a":)", "unexpected end of input"},
        {"01", "leading 0s not permitted in numbers"},
        {"-01", "leading 0s not permitted in numbers"},
        {"1.", "at least one digit required in fractional part"},
        {"1.e5", "at least one digit required in fractional part"},
        {"-", "invalid character in number"},
        {"- 1", "invalid character in number"},
        {"-a", "invalid character in number"},
        {".5", "unexpected character in parse json"},
        {"+1", "unexpected character in parse json"},
        {"[1,]", "unexpected character in parse json"},
        {"\f1", "unexpected character in parse json"},
        {"'a'", "unexpected character in parse json"},
        {"[1 2]", "expected ',' in array"},
        {"[1.5e3]", "expected ',' in array"},
        {R"({"a":1,})", "expected '\"' in object"},
        {"{a:1}", "expected '\"' in object"},
        {R"({"a" 1})", "expected ':' in object"},
        {R"({"a":1 "b":2})", "expected ',' in object"},
        {R"({"a":1e3})", "expected ',' in object"},
        {R"("a\"b")", "not support escaped characters in string"},
        {R"("\n")", "not support escaped characters in string"},
        {R"("open)", "unexpected end of input in string"},
        {R"({"open)", "unexpected end of input in string"},
        {"nul", "parse null error"},
        {"nulL", "parse null error"},
        {"tru", "parse bool error"},
        {"fals", "parse bool error"},
        {"trUe", "parse bool error"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseError(c.text), c.message) << '"' << c.text << '"';
    }
}

TEST(Parser, NestingUpTo512LevelsParsesAndDeeperThrows)
{
    struct Case
    {
        std::string open;
        char close;
    } cases[] = {{"[", ']'}, {"{\"k\":", '}'}};
    const int limit = Parser::kMaxDepth;
    for (const Case& c : cases) {
        std::string opens;
        for (int i = 0; i < limit; ++i) {
            opens += c.open;
        }
        EXPECT_EQ(ParseError(opens + "1" + std::string(limit, c.close)), "") << c.open;
        EXPECT_EQ(ParseError(opens + c.open + "1"), "json nesting deeper than 512 levels")
            << c.open;
    }
    // Far deeper input fails the same way instead of exhausting the stack.
    EXPECT_EQ(ParseError(std::string(200000, '[')), "json nesting deeper than 512 levels");
}

TEST(Parser, ParseContinuesFromThePositionAndLoadRestarts)
{
    Parser parser;
    parser.load("1 [2] \"three\"");
    EXPECT_EQ(parser.parse().toString(), "1");
    EXPECT_EQ(parser.parse().toString(), "[2]");
    EXPECT_EQ(parser.parse().toString(), R"("three")");
    EXPECT_THROW(parser.parse(), std::logic_error);

    // After an error, and after a nesting failure, a new load parses from the start.
    parser.load(std::string(600, '['));
    EXPECT_THROW(parser.parse(), std::logic_error);
    parser.load("[[[]]]");
    EXPECT_EQ(parser.parse().toString(), "[[[]]]");
}

} // namespace
