#include "wire_codec.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstring>

#include "ivy_limits.h"
#include "text.h"

namespace ivy {
namespace {

void skip_spaces(std::string_view text, std::size_t& pos) {
    while (pos < text.size() && is_space(text[pos])) ++pos;
}

// scanf's "%d" from pos: white space, one optional sign, at least one digit.
// Clamps instead of overflowing. Advances pos past the digits on success.
std::optional<int> scan_int(std::string_view text, std::size_t& pos) {
    std::size_t i = pos;
    skip_spaces(text, i);
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i >= text.size() || !is_digit(text[i])) return std::nullopt;
    // Accumulated as a negative number: its range holds INT_MIN.
    long long value = 0;
    for (; i < text.size() && is_digit(text[i]); ++i) {
        if (value > LLONG_MIN / 100) value = value * 10 - (text[i] - '0');
    }
    pos = i;
    if (negative) return value < INT_MIN ? INT_MIN : static_cast<int>(value);
    return value < -static_cast<long long>(INT_MAX) ? INT_MAX : static_cast<int>(-value);
}

// Classic agents handle lines as C strings: the first NUL ends the line.
std::string_view up_to_nul(std::string_view line) {
    return line.substr(0, line.find('\0'));
}

void append_int(std::string& out, int value) {
    char digits[16];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

}  // namespace

std::optional<Frame> parse_line(std::string_view line) {
    line = up_to_nul(line);
    std::size_t pos = 0;
    const auto type = scan_int(line, pos);
    if (!type) return std::nullopt;
    const auto id = scan_int(line, pos);
    if (!id) return std::nullopt;
    const std::size_t stx_at = line.find(stx, pos);
    if (stx_at == std::string_view::npos) return std::nullopt;
    return Frame{*type, *id, line.substr(stx_at + 1)};
}

bool append_line(std::string& out, MsgType type, int id, std::string_view payload) {
    const auto one_line = OneLine::checked(payload);
    if (!one_line) return false;
    append_line(out, type, id, *one_line);
    return true;
}

void append_line(std::string& out, MsgType type, int id, OneLine payload) {
    append_int(out, static_cast<int>(type));
    out += ' ';
    append_int(out, id);
    out += stx;
    out += payload.text();
    out += '\n';
}

LineAssembler::LineAssembler(std::size_t max_line) : max_line_(max_line == 0 ? 1 : max_line) {}

char* LineAssembler::prepare(std::size_t min_space) {
    if (start_ == end_) {
        start_ = end_ = scanned_ = 0;
        if (buffer_.size() > 2 * min_space) release();
    } else if (start_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + start_, end_ - start_);
        end_ -= start_;
        scanned_ -= start_;
        start_ = 0;
    }
    if (buffer_.size() - end_ < min_space) buffer_.resize(end_ + min_space);
    return buffer_.data() + end_;
}

void LineAssembler::commit(std::size_t n) {
    end_ += std::min(n, buffer_.size() - end_);
}

std::optional<std::string_view> LineAssembler::next_line() {
    for (;;) {
        const char* base = buffer_.data();
        const void* found = std::memchr(base + scanned_, '\n', end_ - scanned_);
        if (found == nullptr) {
            // Without its LF a line already max_line long can only get
            // longer: stop holding it now rather than when the LF comes.
            if (!skipping_ && end_ - start_ >= max_line_) {
                ++overlong_;
                skipping_ = true;
            }
            start_ = skipping_ ? end_ : start_;
            scanned_ = end_;
            return std::nullopt;
        }
        const std::size_t lf = static_cast<std::size_t>(static_cast<const char*>(found) - base);
        const std::size_t line_start = start_;
        start_ = scanned_ = lf + 1;
        if (skipping_) {
            skipping_ = false;
        } else if (lf - line_start >= max_line_) {
            ++overlong_;
        } else {
            return std::string_view(base + line_start, lf - line_start);
        }
    }
}

// Only what is buffered goes: a long line being skipped is still skipped
// up to its line feed.
void LineAssembler::release() {
    std::string().swap(buffer_);
    start_ = end_ = scanned_ = 0;
}

std::size_t LineAssembler::take_overlong() {
    const std::size_t n = overlong_;
    overlong_ = 0;
    return n;
}

std::optional<Announcement> parse_announcement(std::string_view line) {
    line = up_to_nul(line);
    std::size_t pos = 0;
    const auto version = scan_int(line, pos);
    if (!version) return std::nullopt;
    const auto port = scan_int(line, pos);
    if (!port || *port < 1 || *port > 0xffff) return std::nullopt;
    skip_spaces(line, pos);
    const std::size_t id_start = pos;
    while (pos < line.size() && !is_space(line[pos])) ++pos;
    const std::string_view app_id = line.substr(id_start, pos - id_start);
    if (app_id.size() > max_app_id_length) return std::nullopt;
    skip_spaces(line, pos);
    const std::string_view app_name = line.substr(pos, max_app_name_length);
    return Announcement{*version, *port, app_id, app_name};
}

std::string format_announcement(std::uint16_t tcp_port, std::string_view app_id,
                                std::string_view app_name) {
    std::string out;
    append_int(out, protocol_version);
    out += ' ';
    append_int(out, tcp_port);
    out += ' ';
    out += app_id;
    out += ' ';
    const std::size_t name_at = out.size();
    out += app_name;
    std::replace(out.begin() + static_cast<std::ptrdiff_t>(name_at), out.end(), '\n', ' ');
    out += '\n';
    return out;
}

}  // namespace ivy
