#include "text.h"

#include <cstdio>

#include "ivy_limits.h"

namespace ivy {

std::string quote(std::string_view text) {
    std::string out;
    const bool cut = text.size() > max_quoted_text;
    if (cut) text = text.substr(0, max_quoted_text);
    out.reserve(text.size() + 8);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte >= 0x20 && byte <= 0x7e) {
            out += c;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            out += hex;
        }
    }
    if (cut) out += "...";
    return out;
}

}  // namespace ivy
