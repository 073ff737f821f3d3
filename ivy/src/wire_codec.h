// The bus's line protocol, as bytes in and bytes out. Pure: no I/O.
//
// TCP stream: lines "<type> <id>\x02<payload>\n". Msg payloads are fields,
// each ended by ETX (0x03). UDP announcements: "3 <port> <app-id> <name>\n".
// Parsing is as lenient as classic agents are (leading spaces, a sign, text
// between the id and the STX, a NUL ending the line early, a CR kept in the
// payload), so that every peer that works with them works with us.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ivy {

inline constexpr char kStx = '\x02';
inline constexpr char kEtx = '\x03';
inline constexpr int kProtocolVersion = 3;

enum class MsgType : int {
    Bye = 0,
    AddRegexp = 1,
    Msg = 2,
    Error = 3,
    DelRegexp = 4,
    EndRegexp = 5,
    StartRegexp = 6,
    DirectMsg = 7,
    Die = 8,
    Ping = 9,
    Pong = 10,
};

// Sent to a peer whose line cannot be parsed, before Bye.
inline constexpr std::string_view kBadFormatText = "bad format request expected 'type id ...'";
inline constexpr int kBadFormatErrorId = 3;

struct Frame {
    int type = 0;              // any integer; unknown types are the caller's concern
    int id = 0;
    std::string_view payload;  // after the first STX, up to (not including) LF or NUL
};

// One line without its LF. nullopt when it lacks two leading integers or an
// STX (an empty line included): the peer is then answered with Error + Bye.
std::optional<Frame> parse_line(std::string_view line);

// Appends "<type> <id>\x02<payload>\n" to out.
void append_line(std::string& out, MsgType type, int id, std::string_view payload);

// Calls on_field(field) for each ETX-separated field of a Msg payload: the
// final ETX makes no extra empty field, a last piece without ETX is still a
// field. Returns the number of fields, or nullopt (calling nothing) when
// there are more than max_fields.
template <typename F>
std::optional<std::size_t> for_each_field(std::string_view payload, std::size_t max_fields,
                                          F&& on_field);

// Cuts a byte stream into lines. Bytes are appended as they arrive; complete
// lines are handed out one at a time. A line longer than max_line bytes is
// skipped up to its LF, and reported once through overlong().
class LineAssembler {
public:
    explicit LineAssembler(std::size_t max_line);
    // Space to read into (at least min_space bytes); then commit(n).
    char* prepare(std::size_t min_space);
    void commit(std::size_t n);
    // The next complete line without its LF; nullopt when none is buffered.
    // The view stays valid until the next call to prepare() or next_line().
    std::optional<std::string_view> next_line();
    // Number of over-long lines skipped since the last call (and resets it).
    std::size_t take_overlong();

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
    int port = 0;
    std::string_view app_id;  // may be empty
    std::string_view app_name;  // rest of the line, may hold spaces, may be empty
};

// One line of a datagram (without LF). nullopt when version and port cannot
// both be read.
std::optional<Announcement> parse_announcement(std::string_view line);

// "3 <port> <app_id> <name>\n"
std::string format_announcement(std::uint16_t tcp_port, std::string_view app_id,
                                std::string_view app_name);

}  // namespace ivy

