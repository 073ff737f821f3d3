#include "bridge_files.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

namespace mqtt {

bool read_password_file(const std::string& path, std::string* password, std::string* warning,
                        std::string* error) {
    std::ifstream in(path);
    if (!in) {
        std::error_code why(errno, std::generic_category());
        *error = "cannot read --password-file " + path + ": " + why.message();
        return false;
    }
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) {
        *error = "--password-file " + path + " is empty: the password is its first line";
        return false;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && (st.st_mode & S_IROTH) != 0)
        *warning = "--password-file " + path + " can be read by every user of this machine";
    *password = std::move(line);
    return true;
}

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
