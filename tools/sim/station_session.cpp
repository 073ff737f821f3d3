#include "station_session.h"

#include <charconv>
#include <cstdio>

namespace sim {

namespace {

constexpr char ack = 0x06;
constexpr std::string_view wakeup_answer = "\n\r";
// Longer than any command the station knows; a longer line is noise.
constexpr std::size_t max_line = 64;

std::string_view trim_trailing_space(std::string_view s) {
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

bool is_loop_request(std::string_view line) {
    if (line.substr(0, 5) != "LOOP ") return false;
    const std::string_view count = trim_trailing_space(line.substr(5));
    int n = 0;
    const auto [end, ec] = std::from_chars(count.data(), count.data() + count.size(), n);
    return ec == std::errc{} && end == count.data() + count.size() && n > 0;
}

// The line as it can be logged: control bytes as \r, \xNN.
std::string printable(std::string_view line) {
    std::string text;
    char escaped[8];
    for (const char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\r') {
            text += "\\r";
        } else if (byte < 0x20 || byte >= 0x7F) {
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            text += escaped;
        } else {
            text += c;
        }
    }
    return text;
}

}  // namespace

StationSession::StationSession(FaultSchedule schedule, PacketSource next_packet, std::uint64_t seed,
                               Logger log)
    : schedule_(std::move(schedule)),
      next_packet_(std::move(next_packet)),
      log_(std::move(log)),
      rng_(seed ^ 0x5EED5EED5EED5EEDull) {
    last_packet_ = build_packet({});
}

SessionOutput StationSession::on_bytes(std::string_view bytes) {
    SessionOutput out;
    for (char c : bytes) {
        if (out.unplug) break;
        if (c == '\n') {
            if (!line_overflow_) on_line(line_, &out);
            line_.clear();
            line_overflow_ = false;
        } else {
            if (line_.size() < max_line)
                line_ += c;
            else
                line_overflow_ = true;
        }
    }
    return out;
}

void StationSession::on_port_closed() {
    // A poll that saw one line feed and nothing else was the relay saying
    // goodbye before closing; the next real poll takes its number.
    if (in_poll_ && line_feeds_ == 1) {
        log_("poll " + std::to_string(poll_) + " was the link reset's line feed: taken back");
        if (record_) record_("taken-back " + std::to_string(poll_));
        --poll_;
    }
    if (record_) record_("closed " + std::to_string(poll_));
    in_poll_ = false;
    line_.clear();
    line_overflow_ = false;
}

void StationSession::begin_poll_if_idle() {
    if (in_poll_) return;
    in_poll_ = true;
    ++poll_;
    line_feeds_ = 0;
    fault_ = schedule_.fault_for_poll(poll_);
    std::string note = "poll " + std::to_string(poll_);
    if (fault_.kind != FaultKind::none) note += ": fault " + std::string(fault_name(fault_.kind));
    log_(note);
    if (record_)
        record_("poll " + std::to_string(poll_) + " " + std::string(fault_name(fault_.kind)));
}

void StationSession::on_line(std::string_view line, SessionOutput* out) {
    if (line.empty()) {
        on_wakeup(out);
    } else if (is_loop_request(line)) {
        on_request(out);
    } else {
        log_("ignored command '" + printable(line) + "'");
    }
}

void StationSession::on_wakeup(SessionOutput* out) {
    begin_poll_if_idle();
    ++line_feeds_;
    const std::string answer(wakeup_answer);
    switch (fault_.kind) {
        case FaultKind::unplug:
            out->unplug = true;
            return;
        case FaultKind::silent:
            return;
        case FaultKind::wrong_wakeup:
            out->answers.push_back({0, "\n\n"});
            return;
        case FaultKind::late:
            out->answers.push_back({fault_.param, answer});
            return;
        case FaultKind::garbage:
            out->answers.push_back({0, random_bytes(fault_.param)});
            return;
        case FaultKind::drowsy:
            if (line_feeds_ > fault_.param) out->answers.push_back({0, answer});
            return;
        case FaultKind::stale:
            // Left-over bytes are waiting in the line only once, ahead of everything.
            out->answers.push_back({0, (line_feeds_ == 1 ? stale_bytes() : "") + answer});
            return;
        default:
            break;
    }
    out->answers.push_back({0, answer});
}

void StationSession::on_request(SessionOutput* out) {
    begin_poll_if_idle();
    if (record_) {
        record_("request " + std::to_string(poll_) + " after " + std::to_string(line_feeds_) +
                " line feeds");
    }
    in_poll_ = false;  // whatever follows starts the next poll
    switch (fault_.kind) {
        case FaultKind::unplug:
            out->unplug = true;
            return;
        case FaultKind::silent:
        case FaultKind::no_ack:
            return;
        case FaultKind::garbage:
            out->answers.push_back({0, random_bytes(fault_.param)});
            return;
        case FaultKind::wrong_ack:
            answer_with_packet(static_cast<char>(fault_.param), packet_bytes(packet_size), out);
            return;
        case FaultKind::short_packet:
            answer_with_packet(ack, packet_bytes(static_cast<std::size_t>(fault_.param)), out);
            return;
        case FaultKind::no_mark: {
            std::string packet = packet_bytes(packet_size);
            packet.replace(0, 3, 3, '\0');
            answer_with_packet(ack, std::move(packet), out);
            return;
        }
        default:
            answer_with_packet(ack, packet_bytes(packet_size), out);
    }
}

void StationSession::answer_with_packet(char first, std::string packet, SessionOutput* out) {
    if (record_) {
        std::string hex;
        char digits[3];
        for (const char c : packet) {
            std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(c));
            hex += digits;
        }
        record_("served " + std::to_string(poll_) + " " + std::to_string(packet.size()) + " " +
                hex);
    }
    out->answers.push_back({0, first + packet});
}

std::string StationSession::packet_bytes(std::size_t size) {
    last_packet_ = next_packet_();
    return std::string(last_packet_.begin(),
                       last_packet_.begin() + static_cast<std::ptrdiff_t>(size));
}

std::string StationSession::stale_bytes() const {
    const auto n = static_cast<std::ptrdiff_t>(fault_.param);
    return std::string(last_packet_.end() - n, last_packet_.end());
}

std::string StationSession::random_bytes(int count) {
    std::string bytes;
    for (int i = 0; i < count; ++i) bytes += static_cast<char>(rng_() & 0xFF);
    return bytes;
}

}  // namespace sim
