// gzip compression, whole or as a stream of slices each flushed to the
// client at once: anemobus-web compresses its scripts once at start (Chart.js
// is 200 kB) and its CSV as it streams, with zlib at its default level. JSON
// goes out as it is: it is small, and asked for every second.
#pragma once

#include <zlib.h>

#include <string>
#include <string_view>

namespace web {

class GzipStream {
public:
    GzipStream();
    ~GzipStream();
    GzipStream(const GzipStream&) = delete;
    GzipStream& operator=(const GzipStream&) = delete;

    // The compressed bytes for `in`: flushed so the client can use them now,
    // or the stream's end when last. Empty with failed() on a zlib error.
    std::string push(std::string_view in, bool last);
    bool failed() const { return failed_; }

private:
    z_stream z_{};
    bool failed_ = false;
};

// The whole of data, compressed (empty on a zlib error).
std::string gzip(std::string_view data);

// Whether the request's Accept-Encoding takes gzip.
bool accepts_gzip(std::string_view accept_encoding);

}  // namespace web
