// A tool's files of its own state: where they go when the user names none,
// and the folders made for them.
#pragma once

#include <string>
#include <string_view>

#include "result.h"

namespace tools {

// systemd's StateDirectory (the first, where the unit names several), else
// the XDG state directory, else ~/.local/state; empty when none is known.

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

// Makes the missing folders above path, as `mkdir -p` would, each with
// mode (less what the umask takes): readings are the site's, not every
// user's of the machine.
Status make_parent_directories(const std::string& path, unsigned mode);

}  // namespace tools
