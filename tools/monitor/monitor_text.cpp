#include "monitor_text.h"

namespace monitor {

void append_escaped(std::string& out, std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (byte < 0x20 || byte == 0x7f) {
                    out += "\\x";
                    out += hex[byte >> 4];
                    out += hex[byte & 0xf];
                } else {
                    out += c;
                }
        }
    }
}

std::string received_line(const char* name, int argc, const char* const* argv) {
    std::string line;
    append_escaped(line, name != nullptr ? name : "");
    for (int i = 0; i < argc; ++i) {
        line += '\t';
        append_escaped(line, argv[i] != nullptr ? argv[i] : "");
    }
    line += '\n';
    return line;
}

}  // namespace monitor
