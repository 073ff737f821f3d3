#include "refusal_log.h"

#include "reading_text.h"

namespace readings {

std::string RefusalLog::refuse(std::int64_t now_ms, std::string_view sender, Refusal why, int argc,
                               const char* const* argv, std::string_view detail) {
    ++total_;
    if (reported_ && now_ms - last_line_ms_ < interval_ms_) {
        ++held_;
        held_sender_.assign(sender.substr(0, 64));
        held_why_ = why;
        return "";
    }
    // Each field quoted, as the peer sent it: "1" " nan 22.5 4.47 180".
    std::string line = "refused a message from " + quote_for_log(sender, 64) + ": " + describe(why);
    if (!detail.empty()) line += " (" + quote_for_log(detail) + ")";
    line += ":";
    for (int i = 0; argv != nullptr && i < argc && i < 8; ++i)
        line += " \"" + quote_for_log(argv[i] != nullptr ? argv[i] : "") + "\"";
    if (held_ > 0) line += " (and " + std::to_string(held_) + " more since the last report)";
    reported_ = true;
    last_line_ms_ = now_ms;
    held_ = 0;
    return line;
}

std::string RefusalLog::flush(std::int64_t now_ms) {
    if (held_ == 0 || now_ms - last_line_ms_ < interval_ms_) return "";
    std::string line = std::to_string(held_) + " more message(s) refused, the latest from " +
                       quote_for_log(held_sender_, 64) + ": " + describe(held_why_);
    last_line_ms_ = now_ms;
    held_ = 0;
    return line;
}

}  // namespace readings
