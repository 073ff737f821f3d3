// The files the bridge reads or makes at start: the password, and the
// outbox's folders.
#pragma once

#include <string>

namespace mqtt {

// The password: the file's first line, without its line end. False with the
// reason in *error when the file cannot be read or the line is empty. A file
// every user of the machine can read gives a warning in *warning.
bool read_password_file(const std::string& path, std::string* password, std::string* warning,
                        std::string* error);

// Makes the folders above path, as `mkdir -p` would (mode 0700: they hold
// readings). False with the reason.
bool make_parent_directories(const std::string& path, std::string* error);

}  // namespace mqtt
