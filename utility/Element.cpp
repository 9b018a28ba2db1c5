// XML element tree node.
#include "utility/Element.h"

namespace libvor {
namespace xml {

Element::Element() = default;

Element::Element(const std::string& elementName) : m_name(elementName) {}

Element::Element(const std::string& elementName, const std::string& elementText)
    : m_name(elementName), m_text(elementText)
{}

Element::Element(const Element& other) = default;

Element::Element(Element&& other) noexcept = default;

Element::~Element() = default;

Element& Element::operator=(const Element& other)
{
    // Copied aside first: other may be a descendant that the old children take with them.
    Element copy(other);
    swap(copy);
    return *this;
}

Element& Element::operator=(Element&& other) noexcept
{
    Element taken(std::move(other));
    swap(taken);
    return *this;
}

void Element::name(const std::string& elementName)
{
    m_name = elementName;
}

void Element::text(const std::string& elementText)
{
    m_text = elementText;
}

void Element::attr(const std::string& key, const std::string& value)
{
    if (value.empty()) {
        m_attrs.erase(key);
    } else {
        m_attrs[key] = value;
    }
}

std::string& Element::attr(const std::string& key)
{
    return m_attrs[key];
}

void Element::append(const Element& child)
{
    append(Element(child));
}

void Element::append(Element&& child)
{
    Element taken(std::move(child)); // child may live in m_children, which may reallocate
    m_children.push_back(std::move(taken));
}

int Element::size() const
{
    return static_cast<int>(m_children.size());
}

const Element& Element::operator[](int index) const
{
    if (index < 0 || index >= size()) {
        return null();
    }
    return m_children[static_cast<size_t>(index)];
}

const Element& Element::operator[](const std::string& childName) const
{
    for (const Element& child : m_children) {
        if (child.m_name == childName) {
            return child;
        }
    }
    return null();
}

void Element::clear()
{
    m_name.clear();
    m_text.clear();
    m_children.clear();
    m_attrs.clear();
}

std::string Element::toString() const
{
    std::string out;
    write(out);
    return out;
}

void Element::write(std::string& out) const
{
    if (m_name.empty()) {
        return;
    }
    out += '<';
    out += m_name;
    for (const auto& attribute : m_attrs) {
        out += ' ';
        out += attribute.first;
        out += "=\"";
        out += attribute.second;
        out += '"';
    }
    out += '>';
    if (m_children.empty()) {
        out += m_text;
    } else {
        for (const Element& child : m_children) {
            child.write(out);
        }
    }
    out += "</";
    out += m_name;
    out += '>';
}

const Element& Element::null()
{
    static const Element s_null;
    return s_null;
}

void Element::swap(Element& other) noexcept
{
    m_name.swap(other.m_name);
    m_text.swap(other.m_text);
    m_children.swap(other.m_children);
    m_attrs.swap(other.m_attrs);
}

} // namespace xml
} // namespace libvor
