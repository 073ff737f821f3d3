// Reader for the recorded bus traffic in tests/data/ivy-wire: each file is
// a list of rows, '#' rows are metadata, every other row is one frame (a TCP
// line with its LF, or one UDP datagram) written with the escapes \\, \n
// and \xNN. Tests replay the frames as bytes; nothing here knows the protocol.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace capture {

struct CaptureFile {
    std::string path;
    std::vector<std::string> metadata;  // '#' rows without the "# "
    std::vector<std::string> frames;    // bytes, in file order
};

// Reads one capture file (a TCP "A-to-B.txt" or "udp-announce.txt"). A
// datagram whose "(N bytes)" row does not match its frame, a bad escape or
// an unreadable file gives nullopt and a reason in *error ("path:row: ...").
std::optional<CaptureFile> read_capture(const std::string& path, std::string* error);

// The same from text already read; path only labels errors.
std::optional<CaptureFile> parse_capture(std::string_view text, const std::string& path,
                                         std::string* error);

// One row's notation to bytes; nullopt on an unknown or cut escape.
std::optional<std::string> unescape_row(std::string_view row);

// Bytes back to the row notation, for readable failure messages.
std::string escape_bytes(std::string_view bytes);

// All frames joined: the exact TCP byte stream of a TCP file.
std::string stream_of(const CaptureFile& file);

// The value of a "key: value" metadata row ("direction", "end of stream").
std::optional<std::string> metadata_value(const CaptureFile& file, std::string_view key);

// Every number written as "port N" in the direction row, in order: the TCP
// ports of that run, to be substituted when replaying against a live agent.
std::vector<int> direction_ports(const CaptureFile& file);

// The TCP capture files ("*-to-*.txt") of a scenario directory, sorted.
std::vector<std::string> tcp_capture_paths(const std::string& scenario_dir);

// The scenario directories (r01-..., s01-...) under the captures root, sorted.
std::vector<std::string> scenario_dirs(const std::string& root);

}  // namespace capture
