#include "state_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace tools {

// mkdir one level at a time rather than std::filesystem::create_directories,
// which takes its mode from the umask alone: the process's umask is not ours
// to change (another thread may be creating a file meanwhile).
Status make_parent_directories(const std::string& path, unsigned mode) {
    for (auto slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string dir = path.substr(0, slash);
        if (::mkdir(dir.c_str(), static_cast<mode_t>(mode)) == 0) continue;
        if (errno != EEXIST)
            return fail("cannot create the directory " + dir + ": " + std::strerror(errno));
        struct stat st {};
        if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return fail("cannot keep files in " + dir + ": it is not a directory");
    }
    return {};
}

}  // namespace tools
