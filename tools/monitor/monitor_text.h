// The monitor's texts: the line printed for a received message, and the
// splitting of standard input into the lines it sends. Pure, no I/O.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace monitor {

// Appends text to out with backslash, tab, LF and CR written as \\ \t \n \r
// and other control bytes (below 0x20, and 0x7f) as \xHH. Other bytes,
// UTF-8 included, pass unchanged.
void append_escaped(std::string& out, std::string_view text);

// "<name>\t<field1>\t...\t<fieldN>\n", each part escaped. A NULL name or
// field prints as empty.
std::string received_line(const char* name, int argc, const char* const* argv);

// Cuts a byte stream into lines. A line ends at LF; a CR before that LF is
// dropped. A line longer than max_line is dropped whole (its bytes up to the
// next LF) and counted, instead of growing without end.
class LineSplitter {
public:
    explicit LineSplitter(std::size_t max_line) : max_line_(max_line) {}

    // Feeds bytes; calls on_line(std::string_view) for each complete line.
    template <typename OnLine>
    void feed(std::string_view bytes, OnLine&& on_line) {
        for (char c : bytes) {
            if (c == '\n') {
                finish(on_line);
            } else if (!overflow_) {
                if (pending_.size() == max_line_) {
                    overflow_ = true;
                    pending_.clear();
                } else {
                    pending_.push_back(c);
                }
            }
        }
    }

    // End of input: a last line without LF still counts as a line.
    template <typename OnLine>
    void end(OnLine&& on_line) {
        if (!pending_.empty() || overflow_) finish(on_line);
    }

    std::size_t dropped() const { return dropped_; }

private:
    template <typename OnLine>
    void finish(OnLine& on_line) {
        if (overflow_) {
            ++dropped_;
        } else {
            std::string_view line = pending_;
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            on_line(line);
        }
        pending_.clear();
        overflow_ = false;
    }

    std::size_t max_line_;
    std::string pending_;
    bool overflow_ = false;
    std::size_t dropped_ = 0;
};

}  // namespace monitor
