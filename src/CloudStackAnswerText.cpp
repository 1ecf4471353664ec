// The text of an answer's member exactly as the server wrote it: a host that prints or stores the
// answer of a generic call gets the server's bytes, its member order and escapes included, not a
// text written anew from the parsed tree (whose members are in name order).

#include <string>
#include <string_view>

#include "CloudStackListReaderText.h"
#include "CloudStackParser.h"

namespace CloudStackSDKWrapper {

bool CCloudStackParser::MemberText(const std::string& body, const std::string& key, std::string& text) noexcept {
    using namespace ListReading;
    try {
        // A copy with simdjson's padding: generic answers are small, and this runs once per call.
        const simdjson::padded_string bytes(body.data(), body.size());
        if (bytes.data() == nullptr && !body.empty()) return false;
        od::parser parser;
        od::document document;
        od::object root;
        if (parser.iterate(bytes).get(document) || document.get_object().get(root)) return false;
        std::string scratch;
        bool found = false;
        for (auto member : root) {
            od::field field;
            std::string_view name;
            if (std::move(member).get(field) || !ReadName(field.key(), scratch, name)) return false;
            if (name != key) continue;  // the iteration skips the value
            od::object value;
            std::string_view raw;
            if (field.value().get_object().get(value) || value.raw_json().get(raw)) return false;
            // The raw text runs up to the next token: the blanks after the value are not its own.
            text.assign(TrimRight(raw));
            found = true;  // a later member of the same name is the one the parse kept
        }
        return found;
    } catch (...) {
        // Out of memory for the copy or the index: the parsed value serves instead.
        return false;
    }
}

}  // namespace CloudStackSDKWrapper
