// The files the bridge makes at start: the outbox's folders. (The password
// file is read with the broker's options, broker_options.h.)
#pragma once

#include <string>

namespace mqtt {

// Makes the folders above path, as `mkdir -p` would (mode 0700: they hold
// readings). False with the reason.
bool make_parent_directories(const std::string& path, std::string* error);

}  // namespace mqtt
