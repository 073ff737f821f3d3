#include "gzip_stream.h"

namespace web {

GzipStream::GzipStream() {
    // 15 + 16: a gzip header and trailer rather than zlib's.
    failed_ = deflateInit2(&z_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8,
                           Z_DEFAULT_STRATEGY) != Z_OK;
}

GzipStream::~GzipStream() {
    if (!failed_) deflateEnd(&z_);
}

std::string GzipStream::push(std::string_view in, bool last) {
    std::string out;
    if (failed_) return out;
    z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z_.avail_in = static_cast<uInt>(in.size());
    const int flush = last ? Z_FINISH : Z_SYNC_FLUSH;
    char buf[16384];
    int rc;
    do {
        z_.next_out = reinterpret_cast<Bytef*>(buf);
        z_.avail_out = sizeof buf;
        rc = deflate(&z_, flush);
        if (rc == Z_STREAM_ERROR) {
            failed_ = true;
            return "";
        }
        out.append(buf, sizeof buf - z_.avail_out);
    } while (z_.avail_out == 0 || (last && rc != Z_STREAM_END));
    return out;
}

std::string gzip(std::string_view data) {
    GzipStream stream;
    std::string out = stream.push(data, true);
    return stream.failed() ? "" : out;
}

bool accepts_gzip(std::string_view accept_encoding) {
    return accept_encoding.find("gzip") != std::string_view::npos;
}

}  // namespace web
