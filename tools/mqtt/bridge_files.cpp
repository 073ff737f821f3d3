#include "bridge_files.h"

#include <sys/stat.h>

#include <filesystem>

namespace mqtt {

bool make_parent_directories(const std::string& path, std::string* error) {
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (parent.empty()) return true;
    std::error_code why;
    const mode_t old_mask = ::umask(0077);
    std::filesystem::create_directories(parent, why);
    ::umask(old_mask);
    if (why)
        *error = "cannot make the folder " + parent.string() + " for the outbox: " + why.message();
    return !why;
}

}  // namespace mqtt
