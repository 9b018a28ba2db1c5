// A minimal XML reader and writer: one optional declaration, comments, elements with double-quoted
// attributes, text, self-closing tags; no entities, CDATA, DOCTYPE or mixed content. Parse errors
// are logged through kelLogAddErrorF and reported as false. Used by one thread at a time.
#pragma once

#include <cstddef>
#include <string>

#include "base/Export.h"
#include "utility/Element.h"

namespace libvor {
namespace xml {

class DRVFINS_API Document
{
public:
    // Elements nested deeper than this fail, so no input can exhaust the stack.
    static constexpr int kMaxDepth = 512;

    Document();
    ~Document();

    // Copies the text and starts reading at its beginning.
    void load_string(const std::string& text);
    // Reads the whole file into the document; false (and no change) when it cannot be opened.
    bool load_file(const std::string& path);
    // Parses one element at the position into root; a second call continues after it. False after
    // a logged error, with root holding what was read so far (the caller discards it). Throws
    // std::logic_error "xml element attr value should be in double quotes" for an unquoted value.
    bool parse(Element& root);
    // Writes content to the file (created or truncated); false, logged, when it cannot be opened.
    bool save_file(const std::string& path, const std::string& content);

private:
    void skip_white_spaces();
    bool parse_declaration();
    bool parse_comment();
    std::string parse_element_name();
    // Reads text up to the next '<'; false when the input ends first.
    bool parse_element_text(std::string& text);
    std::string parse_element_attr_key();
    // Reads a double-quoted value; false when the input ends before the closing quote.
    bool parse_element_attr_val(std::string& value);

    // The steps in front of an element: end of input, a declaration, one comment. Sets `done`
    // when parse must return the result without reading an element.
    bool parse_prolog(bool& done);
    // One step inside a start tag or the element's content; sets `done` when the element ends.
    bool parse_element_step(Element& root, bool& done);
    bool parse_end_tag(const Element& root, bool& done);
    bool parse_child(Element& root);
    bool parse_content(Element& root);
    bool parse_attribute(Element& root);

    // The character at the position plus offset, or '\0' past the end of the text.
    char peek(size_t offset = 0) const;
    bool startsWith(const char* prefix) const;
    bool canStartName(char c) const;

    std::string m_str;
    size_t m_idx;
    int m_depth; // elements open around the position
};

} // namespace xml
} // namespace libvor
