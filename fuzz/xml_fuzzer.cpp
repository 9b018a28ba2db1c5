// Feeds arbitrary bytes to the XML parser, up to a few elements in a row. false (logged) and the
// unquoted-value std::logic_error are answers to bad input; a crash, a sanitizer report or a hang
// (caught by the fuzzer's timeout) is a fault.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "utility/Document.h"

using libvor::xml::Document;
using libvor::xml::Element;

namespace {

constexpr int kElementsPerInput = 4;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Document doc;
    doc.load_string(std::string(reinterpret_cast<const char*>(data), size));
    for (int i = 0; i < kElementsPerInput; ++i) {
        Element root;
        try {
            if (!doc.parse(root)) {
                return 0;
            }
        } catch (const std::logic_error&) {
            return 0;
        }
        Element copy(root);
        if (copy.toString() != root.toString()) {
            std::abort();
        }
        root = root[0]; // assignment from the element's own child
    }
    return 0;
}
