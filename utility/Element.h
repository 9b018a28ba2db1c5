// An XML element: name, text, attributes and child elements, owned by value. Writes itself back as
// compact XML. Used by one thread at a time; the shared empty element is never modified.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "base/Export.h"

namespace libvor {
namespace xml {

class DRVFINS_API Element
{
public:
    Element();
    explicit Element(const std::string& elementName);
    Element(const std::string& elementName, const std::string& elementText);
    Element(const Element& other);
    Element(Element&& other) noexcept;
    ~Element();
    // Both become a copy of the source as it was, also when it lies inside this element's tree.
    Element& operator=(const Element& other);
    Element& operator=(Element&& other) noexcept;

    const std::string& name() const { return m_name; }
    const std::string& text() const { return m_text; }
    void name(const std::string& elementName);
    void text(const std::string& elementText);

    // A non-empty value inserts or replaces the attribute; an empty value removes it.
    void attr(const std::string& key, const std::string& value);
    // The attribute's value; a missing attribute is first inserted with the empty value.
    std::string& attr(const std::string& key);

    // Adds a copy of child at the end of the children.
    void append(const Element& child);
    // Adds child itself at the end, leaving the argument empty.
    void append(Element&& child);
    int size() const;
    // The child at index, or null() when out of range.
    const Element& operator[](int index) const;
    // The first child with that name (byte for byte), or null() when there is none.
    const Element& operator[](const std::string& childName) const;

    // Empties name and text and removes all attributes and children.
    void clear();
    // Compact XML: attributes in ascending name order, children instead of the text when there
    // are any, nothing escaped, never self-closing; an element with an empty name writes nothing.
    std::string toString() const;

    // The shared empty element, created on first use and never modified.
    static const Element& null();

private:
    void write(std::string& out) const;
    void swap(Element& other) noexcept;

    std::string m_name;
    std::string m_text;
    std::vector<Element> m_children;
    std::map<std::string, std::string> m_attrs;
};

} // namespace xml
} // namespace libvor
