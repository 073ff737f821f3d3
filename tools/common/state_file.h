// Where a tool keeps a file of its own state when not told: systemd's
// StateDirectory (the first, where the unit names several), else the XDG
// state directory, else ~/.local/state; empty when none is known.
#pragma once

#include <string>
#include <string_view>

namespace tools {

inline std::string default_state_file(const char* state_directory, const char* xdg_state_home,
                                      const char* home, std::string_view file) {
    const auto set = [](const char* v) { return v != nullptr && *v != '\0'; };
    std::string dir;
    if (set(state_directory)) {
        dir = state_directory;
        dir.resize(dir.find(':') == std::string::npos ? dir.size() : dir.find(':'));
    } else if (set(xdg_state_home)) {
        dir = std::string(xdg_state_home) + "/anemobus";
    } else if (set(home)) {
        dir = std::string(home) + "/.local/state/anemobus";
    } else {
        return "";
    }
    return dir + "/" + std::string(file);
}

}  // namespace tools
