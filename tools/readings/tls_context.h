// The TLS side of a connection to the broker, set up by us with OpenSSL and
// handed to libmosquitto, rather than through libmosquitto's file options:
// that way a CA file, certificate or key that cannot be loaded is an error at
// start, with OpenSSL's reason, and a certificate the broker shows that does
// not verify is reported with why (unknown issuer, expired, issued for
// another host) instead of a bare "certificate verify failed".
//
// Principles: verification is always on: the chain against --cafile, or the
// system's CAs without it, and the certificate's name against the host of
// the URL (an IP address against its IP entries). TLS 1.2 at least.
#pragma once

#include <memory>
#include <string>

using SSL_CTX = struct ssl_ctx_st;
using X509_STORE_CTX = struct x509_store_ctx_st;

#include "result.h"

namespace mqtt {

struct TlsFiles {
    std::string cafile;    // empty: the system's CAs
    std::string certfile;  // a client certificate (PEM, with its chain), or empty
    std::string keyfile;   // its private key (PEM), given with certfile
};

class TlsContext {
public:
    // Fails when a file cannot be used.
    static tools::Result<std::unique_ptr<TlsContext>> create(const std::string& host,
                                                             const TlsFiles& files);
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    SSL_CTX* get() const { return ctx_; }
    // Why the last handshake rejected the broker's certificate ("unable to
    // get local issuer certificate, for CN=..."), then forgets it; empty when
    // no certificate was rejected.
    std::string take_rejection();

private:
    explicit TlsContext(SSL_CTX* ctx) : ctx_(ctx) {}
    static int verify(int ok, X509_STORE_CTX* store);

    SSL_CTX* ctx_;
    std::string rejection_;
};

}  // namespace mqtt
