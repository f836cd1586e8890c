#include "text/json.h"

#include "text/utf8.h"

#include <cstdio>

namespace vumo::text {

std::string JsonString(std::string_view value) {
    std::string out = "\"";
    for (Utf8Reader reader(value); !reader.done();) {
        const Decoded d = reader.next();
        const char32_t c = d.codePoint;
        if (!d.valid) {
            AppendUtf8(out, kReplacementCharacter);
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
            // DEL and the C1 controls need no escape in JSON, but JSON printed on a terminal
            // must not carry them either.
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
            out += buf;
        } else {
            out += reader.lastBytes();
        }
    }
    out += '"';
    return out;
}

}  // namespace vumo::text
