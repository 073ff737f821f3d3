// The bus's line protocol, as bytes in and bytes out. Pure: no I/O.
//
// TCP stream: lines "<type> <id>\x02<payload>\n". Msg payloads are fields,
// each ended by ETX (0x03). UDP announcements: "3 <port> <app-id> <name>\n".
// Parsing is as lenient as classic agents are (leading spaces, a sign, text
// between the id and the STX, a NUL ending the line early, a CR kept in the
// payload), so that every peer that works with them works with us. Writing
// is strict: nothing we produce can split into two lines at the receiver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace ivy {

inline constexpr char stx = '\x02';
inline constexpr char etx = '\x03';
inline constexpr int protocol_version = 3;

enum class MsgType : int {
    bye = 0,
    add_regexp = 1,
    msg = 2,
    error = 3,
    del_regexp = 4,
    end_regexp = 5,
    start_regexp = 6,
    direct_msg = 7,
    die = 8,
    ping = 9,
    pong = 10,
};

// Sent to a peer whose line cannot be parsed, before Bye.
inline constexpr std::string_view bad_format_text = "bad format request expected 'type id ...'";
inline constexpr int bad_format_error_id = 3;

struct Frame {
    int type = 0;  // any integer; unknown types are the caller's concern
    int id = 0;
    std::string_view payload;  // after the first STX, up to (not including) LF or NUL
};

// One line without its LF. nullopt when it lacks two leading integers or an
// STX (an empty line included): the peer is then answered with Error + Bye.
// The integers are read like scanf's "%d %d" (white space before each, one
// optional sign); a number too large for an int is clamped to INT_MAX or
// INT_MIN rather than refused: no agent sends one, and as an unknown type or
// id it is ignored without dropping the connection. The payload views line.
std::optional<Frame> parse_line(std::string_view line);

// Appends "<type> <id>\x02<payload>\n" to out and returns true. A payload
// holding a line feed would reach the peer as two lines (the second one
// malformed, which makes classic agents hang up): then nothing is appended
// and false is returned.
bool append_line(std::string& out, MsgType type, int id, std::string_view payload);

// A payload known to hold no line feed: checked once, then written to any
// number of peers without being scanned again for each.
class OneLine {
public:
    // nullopt when text holds a line feed.
    static std::optional<OneLine> checked(std::string_view text) {
        if (text.find('\n') != std::string_view::npos) return std::nullopt;
        return OneLine(text);
    }
    // For text built only of pieces the caller has checked (a Msg payload of
    // captures Pattern refused to carry any line feed in).
    static OneLine trusted(std::string_view text) { return OneLine(text); }
    std::string_view text() const { return text_; }

private:
    explicit OneLine(std::string_view text) : text_(text) {}
    std::string_view text_;
};

// Appends "<type> <id>\x02<payload>\n" to out, as append_line with its check
// already made.
void append_line(std::string& out, MsgType type, int id, OneLine payload);

// Calls on_field(field) for each ETX-separated field of a Msg payload: the
// final ETX makes no extra empty field, a last piece without ETX is still a
// field. Returns the number of fields, or nullopt (calling nothing) when
// there are more than max_fields. Fields view payload.
template <typename F>
std::optional<std::size_t> for_each_field(std::string_view payload, std::size_t max_fields,
                                          F&& on_field);

// Cuts a byte stream into lines. Bytes are appended as they arrive; complete
// lines are handed out one at a time. A line longer than max_line bytes (its
// LF included) is skipped up to its LF, and reported once through
// take_overlong(); while it is skipped at most about max_line bytes are held.
// The buffer is reused: once it has grown to fit the traffic, no allocation
// happens per line; a buffer grown past twice the usual read by a long line
// is freed once that line has been handed out, so that one long line does
// not hold its memory for the life of the connection. Call next_line()
// until nullopt after every commit().
class LineAssembler {
public:
    explicit LineAssembler(std::size_t max_line);
    // Space to read into (at least min_space bytes); then commit(n).
    char* prepare(std::size_t min_space);
    // n is at most the min_space of the last prepare().
    void commit(std::size_t n);
    // The next complete line without its LF; nullopt when none is buffered.
    // The view stays valid until the next call to prepare() or next_line().
    std::optional<std::string_view> next_line();
    // The bytes of a line next_line() just handed out, its LF included, for
    // the caller to cut in place (fields ended by NULs where they stand).
    std::span<char> writable(std::string_view line) {
        const auto at = static_cast<std::size_t>(line.data() - buffer_.data());
        return {buffer_.data() + at, line.size() + 1};
    }
    // Number of over-long lines skipped since the last call (and resets it).
    std::size_t take_overlong();
    // Gives back the line next_line() just handed out, unread: the next call
    // hands it out again (a caller not ready for it yet).
    void unread(std::string_view line) {
        start_ = scanned_ = static_cast<std::size_t>(line.data() - buffer_.data());
    }
    // Bytes received and not yet handed out (a partial line).
    std::size_t buffered() const { return end_ - start_; }
    // Bytes the buffer holds, used or not.
    std::size_t memory() const { return buffer_.capacity(); }
    // Frees the buffer and forgets what it held (the connection is gone).
    void release();

private:
    std::string buffer_;
    std::size_t start_ = 0;  // first byte not yet handed out
    std::size_t end_ = 0;    // one past the last byte received
    std::size_t scanned_ = 0;
    std::size_t max_line_;
    bool skipping_ = false;
    std::size_t overlong_ = 0;
};

struct Announcement {
    int version = 0;
    int port = 0;               // 1..65535
    std::string_view app_id;    // may be empty; at most max_app_id_length bytes
    std::string_view app_name;  // rest of the line, may hold spaces, may be empty;
                                // cut to max_app_name_length bytes
};

// One line of a datagram (without LF; the caller splits datagrams at LF and
// never glues two datagrams together). Read like scanf's "%d %d %s %[^\n]".
// nullopt when version and port cannot both be read, when the port is not a
// TCP port (nobody could be reached there) or when the app-id is longer than
// any real agent sends. Any version is returned: checking it is the caller's.
std::optional<Announcement> parse_announcement(std::string_view line);

// "3 <port> <app_id> <name>\n". app_id must be a non-empty token without
// white space (it is ours). A line feed in the name would make a second,
// forged announcement: it is sent as a space.
std::string format_announcement(std::uint16_t tcp_port, std::string_view app_id,
                                std::string_view app_name);

template <typename F>
std::optional<std::size_t> for_each_field(std::string_view payload, std::size_t max_fields,
                                          F&& on_field) {
    std::size_t count = 0;
    for (const char c : payload) count += c == etx ? 1 : 0;
    if (!payload.empty() && payload.back() != etx) ++count;
    if (count > max_fields) return std::nullopt;
    while (!payload.empty()) {
        const std::size_t end = payload.find(etx);
        on_field(payload.substr(0, end));
        if (end == std::string_view::npos) break;
        payload.remove_prefix(end + 1);
    }
    return count;
}

}  // namespace ivy
