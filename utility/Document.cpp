// XML parser and file helpers. Every read is bounded by the text's length; a zero byte ends the
// document as the end of the text does. Each step of the element loop either consumes input or
// ends the element, so every parse terminates.
#include "utility/Document.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "base/SysErrText.h"
#include "base/kellog.h"
#include "utility/DepthGuard.h"

namespace libvor {
namespace xml {

namespace {

constexpr const char* kDeclarationStart = "<?xml";
constexpr const char* kDeclarationEnd = "?>";
constexpr const char* kCommentStart = "<!--";
constexpr const char* kCommentEnd = "-->";

constexpr const char* kEmptyDocument = "xml document is empty";
constexpr const char* kDeclarationError = "xml declaration is error";
constexpr const char* kCommentError = "xml comment is error";
constexpr const char* kEmptyElement = "xml empty element is error";
constexpr const char* kEndTagNotFound = "xml element %s end tag not found";
constexpr const char* kEndTagMismatch = "xml element %s end tag mismatch";
constexpr const char* kBadChild = "xml element %s child tag is error";
constexpr const char* kTextEnd = "xml element %s text end not found";
constexpr const char* kAttrError = "xml element attr is error:%s";
constexpr const char* kAttrValueEnd = "xml element attr value end not found:%s";
constexpr const char* kTooDeep = "xml element nesting deeper than 512 levels";
constexpr const char* kOpenFail = "fstream open file:%s fail,error:%s";
constexpr const char* kUnquotedValue = "xml element attr value should be in double quotes";

bool IsWhite(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool IsLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsNameChar(char c)
{
    return IsLetter(c) || (c >= '0' && c <= '9') || c == '-' || c == ':' || c == '_';
}

} // namespace

Document::Document() : m_idx(0), m_depth(0) {}

Document::~Document() = default;

void Document::load_string(const std::string& text)
{
    m_str = text;
    m_idx = 0;
    m_depth = 0;
}

bool Document::load_file(const std::string& path)
{
    std::ifstream file(path, std::ios::in | std::ios::binary);
    if (!file.is_open()) {
        return false;
    }
    std::ostringstream contents;
    contents << file.rdbuf();
    load_string(contents.str());
    return true;
}

bool Document::parse(Element& root)
{
    if (m_depth >= kMaxDepth) {
        kelLogAddErrorF(kTooDeep);
        return false;
    }
    utility::DepthGuard guard(m_depth);
    bool done = false;
    bool ok = parse_prolog(done);
    if (done) {
        return ok;
    }
    ++m_idx; // past '<'
    root.name(parse_element_name());
    skip_white_spaces();
    for (;;) {
        ok = parse_element_step(root, done);
        if (!ok || done) {
            return ok;
        }
        skip_white_spaces();
    }
}

bool Document::save_file(const std::string& path, const std::string& content)
{
    std::ofstream file(path, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!file.is_open()) {
        kelLogAddErrorF(kOpenFail, path.c_str(), SysErrText(errno).text);
        return false;
    }
    file << content;
    file.close();
    return true;
}

void Document::skip_white_spaces()
{
    while (m_idx < m_str.size() && IsWhite(m_str[m_idx])) {
        ++m_idx;
    }
}

bool Document::parse_declaration()
{
    size_t end = m_str.find(kDeclarationEnd, m_idx);
    if (end == std::string::npos) {
        return false;
    }
    m_idx = end + std::strlen(kDeclarationEnd);
    return true;
}

bool Document::parse_comment()
{
    size_t end = m_str.find(kCommentEnd, m_idx);
    if (end == std::string::npos) {
        return false;
    }
    m_idx = end + std::strlen(kCommentEnd);
    return true;
}

std::string Document::parse_element_name()
{
    skip_white_spaces();
    if (!canStartName(peek())) {
        return std::string();
    }
    size_t start = m_idx;
    while (IsNameChar(peek())) {
        ++m_idx;
    }
    return m_str.substr(start, m_idx - start);
}

bool Document::parse_element_text(std::string& text)
{
    skip_white_spaces();
    size_t start = m_idx;
    for (char c = peek(); c != '<'; c = peek()) {
        if (c == '\0') {
            return false;
        }
        ++m_idx;
    }
    text.assign(m_str, start, m_idx - start); // trailing white space stays part of the text
    return true;
}

std::string Document::parse_element_attr_key()
{
    return parse_element_name();
}

bool Document::parse_element_attr_val(std::string& value)
{
    skip_white_spaces();
    if (peek() != '"') {
        throw std::logic_error(kUnquotedValue);
    }
    size_t start = ++m_idx;
    for (char c = peek(); c != '"'; c = peek()) {
        if (c == '\0') {
            return false;
        }
        ++m_idx;
    }
    value.assign(m_str, start, m_idx - start);
    ++m_idx; // past the closing quote
    return true;
}

bool Document::parse_prolog(bool& done)
{
    done = true;
    skip_white_spaces();
    if (peek() == '\0') {
        kelLogAddErrorF(kEmptyDocument);
        return false;
    }
    if (startsWith(kDeclarationStart) && !parse_declaration()) {
        kelLogAddErrorF(kDeclarationError);
        return false;
    }
    skip_white_spaces();
    if (startsWith(kCommentStart) && !parse_comment()) {
        kelLogAddErrorF(kCommentError);
        return false;
    }
    skip_white_spaces();
    // Anything but the start of a name leaves the element untouched and nothing consumed; the
    // caller decides whether that is an end tag, an empty content or an error.
    done = peek() != '<' || !canStartName(peek(1));
    return true;
}

bool Document::parse_element_step(Element& root, bool& done)
{
    switch (peek()) {
    case '\0':
        done = true; // the text ended inside the start tag or the content
        return true;
    case '/':
        if (peek(1) != '>') {
            kelLogAddErrorF(kEmptyElement);
            return false;
        }
        m_idx += 2;
        done = true;
        return true;
    case '<':
        if (peek(1) == '/') {
            return parse_end_tag(root, done);
        }
        if (startsWith(kCommentStart)) {
            if (!parse_comment()) {
                kelLogAddErrorF(kCommentError);
                return false;
            }
            return true;
        }
        return parse_child(root);
    case '>':
        ++m_idx;
        return parse_content(root);
    default:
        return parse_attribute(root);
    }
}

bool Document::parse_end_tag(const Element& root, bool& done)
{
    const std::string tag = "</" + root.name() + ">";
    if (m_str.compare(m_idx, tag.size(), tag) == 0) {
        m_idx += tag.size();
        done = true;
        return true;
    }
    if (m_str.find(tag, m_idx) == std::string::npos) {
        kelLogAddErrorF(kEndTagNotFound, root.name().c_str());
    } else {
        // Another element's end tag here would otherwise be met again and again.
        kelLogAddErrorF(kEndTagMismatch, root.name().c_str());
    }
    return false;
}

bool Document::parse_child(Element& root)
{
    const size_t before = m_idx;
    Element child;
    if (!parse(child)) {
        return false;
    }
    if (m_idx == before) {
        // "<!DOCTYPE", "<1", "<" at the end: no element starts here, and retrying never would.
        kelLogAddErrorF(kBadChild, root.name().c_str());
        return false;
    }
    root.append(std::move(child));
    return true;
}

bool Document::parse_content(Element& root)
{
    std::string text;
    if (!parse_element_text(text)) {
        kelLogAddErrorF(kTextEnd, root.name().c_str());
        return false;
    }
    skip_white_spaces();
    if (!text.empty()) {
        root.text(text);
        return true;
    }
    // No text: an element follows, or the end tag, which yields a child with an empty name.
    Element child;
    if (!parse(child)) {
        return false;
    }
    root.append(std::move(child));
    return true;
}

bool Document::parse_attribute(Element& root)
{
    std::string key = parse_element_attr_key();
    skip_white_spaces();
    if (peek() != '=') {
        kelLogAddErrorF(kAttrError, key.c_str());
        return false;
    }
    ++m_idx;
    std::string value;
    if (!parse_element_attr_val(value)) {
        kelLogAddErrorF(kAttrValueEnd, key.c_str());
        return false;
    }
    root.attr(key, value); // a repeated attribute keeps its last value; "" removes it
    return true;
}

char Document::peek(size_t offset) const
{
    return m_idx + offset < m_str.size() ? m_str[m_idx + offset] : '\0';
}

bool Document::startsWith(const char* prefix) const
{
    return m_str.compare(m_idx, std::strlen(prefix), prefix) == 0;
}

bool Document::canStartName(char c) const
{
    return IsLetter(c) || c == '_';
}

} // namespace xml
} // namespace libvor
