#include "capture_file.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace capture {
namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// "datagram from A to B (N bytes)" gives N.
std::optional<std::size_t> datagram_size(std::string_view meta) {
    if (meta.rfind("datagram from ", 0) != 0) return std::nullopt;
    const std::size_t open = meta.rfind('(');
    if (open == std::string_view::npos) return std::nullopt;
    std::size_t size = 0;
    const char* first = meta.data() + open + 1;
    const auto result = std::from_chars(first, meta.data() + meta.size(), size);
    if (result.ec != std::errc() || std::string_view(result.ptr).rfind(" bytes)", 0) != 0) {
        return std::nullopt;
    }
    return size;
}

std::nullopt_t fail(std::string* error, const std::string& where, const std::string& why) {
    if (error != nullptr) *error = where + ": " + why;
    return std::nullopt;
}

}  // namespace

std::optional<std::string> unescape_row(std::string_view row) {
    std::string bytes;
    for (std::size_t i = 0; i < row.size(); ++i) {
        if (row[i] != '\\') {
            bytes += row[i];
        } else if (i + 1 < row.size() && row[i + 1] == '\\') {
            bytes += '\\';
            ++i;
        } else if (i + 1 < row.size() && row[i + 1] == 'n') {
            bytes += '\n';
            ++i;
        } else if (i + 3 < row.size() && row[i + 1] == 'x' && hex_value(row[i + 2]) >= 0 &&
                   hex_value(row[i + 3]) >= 0) {
            bytes += static_cast<char>(hex_value(row[i + 2]) * 16 + hex_value(row[i + 3]));
            i += 3;
        } else {
            return std::nullopt;
        }
    }
    return bytes;
}

std::string escape_bytes(std::string_view bytes) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string row;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\\') {
            row += "\\\\";
        } else if (c == '\n') {
            row += "\\n";
        } else if (c >= 0x20 && c < 0x7f) {
            row += static_cast<char>(c);
        } else {
            row += "\\x";
            row += hex[c >> 4];
            row += hex[c & 0xf];
        }
    }
    return row;
}

std::optional<CaptureFile> parse_capture(std::string_view text, const std::string& path,
                                         std::string* error) {
    CaptureFile file;
    file.path = path;
    // Zero means no datagram header is pending: a datagram is never empty.
    // (A std::optional here trips a false maybe-uninitialized warning at -O2.)
    std::size_t expected_size = 0;
    std::size_t row_number = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view row = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        const std::string where = path + ":" + std::to_string(++row_number);
        if (row.rfind("#", 0) == 0) {
            std::string_view meta = row.substr(1);
            if (meta.rfind(" ", 0) == 0) meta.remove_prefix(1);
            file.metadata.emplace_back(meta);
            expected_size = datagram_size(meta).value_or(0);
            continue;
        }
        auto bytes = unescape_row(row);
        if (row.empty() || !bytes) return fail(error, where, "bad row");
        if (expected_size != 0 && expected_size != bytes->size()) {
            return fail(error, where, "datagram size differs from its header");
        }
        expected_size = 0;
        file.frames.push_back(std::move(*bytes));
    }
    return file;
}

std::optional<CaptureFile> read_capture(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return fail(error, path, "cannot open");
    std::ostringstream text;
    text << in.rdbuf();
    return parse_capture(text.str(), path, error);
}

std::string stream_of(const CaptureFile& file) {
    std::string stream;
    for (const auto& frame : file.frames) stream += frame;
    return stream;
}

std::optional<std::string> metadata_value(const CaptureFile& file, std::string_view key) {
    for (const auto& meta : file.metadata) {
        const std::string_view row = meta;
        if (row.size() > key.size() && row.substr(0, key.size()) == key &&
            row.substr(key.size(), 2) == ": ") {
            return std::string(row.substr(key.size() + 2));
        }
    }
    return std::nullopt;
}

std::vector<int> direction_ports(const CaptureFile& file) {
    std::vector<int> ports;
    const auto direction = metadata_value(file, "direction");
    if (!direction) return ports;
    const std::string_view text = *direction;
    for (std::size_t at = text.find("port "); at != std::string_view::npos;
         at = text.find("port ", at + 1)) {
        int port = 0;
        const char* first = text.data() + at + 5;
        if (std::from_chars(first, text.data() + text.size(), port).ec == std::errc()) {
            ports.push_back(port);
        }
    }
    return ports;
}

std::vector<std::string> tcp_capture_paths(const std::string& scenario_dir) {
    std::vector<std::string> paths;
    for (const auto& entry : std::filesystem::directory_iterator(scenario_dir)) {
        const std::string name = entry.path().filename().string();
        if (name.find("-to-") != std::string::npos && entry.path().extension() == ".txt") {
            paths.push_back(entry.path().string());
        }
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::vector<std::string> scenario_dirs(const std::string& root) {
    std::vector<std::string> dirs;
    for (const auto& entry : std::filesystem::directory_iterator(root)) {
        if (entry.is_directory()) dirs.push_back(entry.path().string());
    }
    std::sort(dirs.begin(), dirs.end());
    return dirs;
}

}  // namespace capture
