// The page's files, embedded in the program at build time (see
// embed_assets.cmake), so that the page works with no network but the one
// to this program: the HTML, its style and script, and Chart.js from the
// Debian package.
#pragma once

#include <cstddef>

namespace web {

struct Asset {
    const char* path;  // as requested: "/", "/app.js"
    const char* content_type;
    const unsigned char* data;
    std::size_t size;
};

extern const Asset web_assets[];
extern const std::size_t web_asset_count;

}  // namespace web
