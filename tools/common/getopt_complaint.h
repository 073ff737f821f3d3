// getopt's complaint about a command line ('?' or ':'), as a sentence that
// names the option as the user wrote it; and the tools' one wording for a
// value an option cannot use.
//
// getopt_long steps past a long option before complaining, so its element
// is argv[optind - 1]. A short option may sit inside a cluster (-Zq) that
// optind has not left yet, where argv[optind - 1] is whatever came before
// (the program's path, even): a short one is named from optopt instead.
#pragma once

#include <getopt.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "result.h"

namespace tools {

// Whether c is one of the short options of short_options (':' never is).
inline bool is_short_option(int c, const char* short_options) {
    return c != ':' && std::strchr(short_options, c) != nullptr;
}

// Whether getopt's complaint is about a short option. A long option that
// takes no value but was given one sets optopt to its value, which may be a
// short option's letter (--help=x): then it is the long one that is wrong.
inline bool complaint_is_short(int complaint, const char* short_options) {
    if (optopt == 0 || optopt > 0xff) return false;
    const bool ours = is_short_option(optopt, short_options);
    return complaint == ':' ? ours : !ours;
}

// "-Z", or "-\xe9" for a byte that is no printable character.
inline std::string short_option_text(int letter) {
    const auto byte = static_cast<unsigned char>(letter);
    if (std::isprint(byte) != 0) return std::string("-") + static_cast<char>(byte);
    char text[8];
    std::snprintf(text, sizeof text, "-\\x%02x", byte);
    return text;
}

inline std::string getopt_complaint(int complaint, const char* short_options, char* const argv[]) {
    if (complaint_is_short(complaint, short_options)) {
        const std::string name = short_option_text(optopt);
        return complaint == ':' ? "option " + name + " needs a value" : "unknown option " + name;
    }
    const std::string_view written = argv[optind - 1];
    if (complaint == ':') return "option " + std::string(written) + " needs a value";
    if (optopt == 0) return "unknown option " + std::string(written);
    return "option " + std::string(written.substr(0, written.find('='))) + " takes no value";
}

// "--keep-days needs a whole number of days above 0, not 'x'": what the
// option wants, and the value as given.
inline Failure wrong_value(std::string_view wanted, std::string_view value) {
    return fail(std::string(wanted) + ", not '" + std::string(value) + "'");
}

}  // namespace tools
