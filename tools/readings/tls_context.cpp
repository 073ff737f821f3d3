#include "tls_context.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace mqtt {
namespace {

// OpenSSL's reason for the last failure ("No such file or directory"),
// emptying its error queue.
std::string openssl_reason() {
    std::string reason;
    while (const unsigned long code = ERR_get_error()) {
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        if (reason.empty())
            reason = ERR_reason_error_string(code) ? ERR_reason_error_string(code) : text;
    }
    return reason.empty() ? "unknown error" : reason;
}

bool is_ip_address(const std::string& host) {
    unsigned char buf[16];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

tools::Status load_files(SSL_CTX* ctx, const TlsFiles& files) {
    if (files.cafile.empty()) {
        if (SSL_CTX_set_default_verify_paths(ctx) != 1)
            return tools::fail("cannot load the system's CA certificates: " + openssl_reason());
    } else if (SSL_CTX_load_verify_locations(ctx, files.cafile.c_str(), nullptr) != 1) {
        return tools::fail("cannot load --cafile " + files.cafile + ": " + openssl_reason());
    }
    if (files.certfile.empty()) return {};
    if (SSL_CTX_use_certificate_chain_file(ctx, files.certfile.c_str()) != 1)
        return tools::fail("cannot load --cert " + files.certfile + ": " + openssl_reason());
    if (SSL_CTX_use_PrivateKey_file(ctx, files.keyfile.c_str(), SSL_FILETYPE_PEM) != 1)
        return tools::fail("cannot load --key " + files.keyfile + ": " + openssl_reason());
    if (SSL_CTX_check_private_key(ctx) != 1)
        return tools::fail("--key " + files.keyfile + " is not the key of --cert " +
                           files.certfile);
    return {};
}

}  // namespace

tools::Result<std::unique_ptr<TlsContext>> TlsContext::create(const std::string& host,
                                                              const TlsFiles& files) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (ctx == nullptr) return tools::fail("cannot set up TLS: " + openssl_reason());
    std::unique_ptr<TlsContext> tls(new TlsContext(ctx));
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    if (const tools::Status loaded = load_files(ctx, files); !loaded) return loaded.failure();
    X509_VERIFY_PARAM* param = SSL_CTX_get0_param(ctx);
    const int named = is_ip_address(host) ? X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str())
                                          : X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0);
    if (named != 1)
        return tools::fail("cannot check certificates for the host " + host + ": " +
                           openssl_reason());
    SSL_CTX_set_app_data(ctx, tls.get());
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, &TlsContext::verify);
    return tls;
}

TlsContext::~TlsContext() {
    SSL_CTX_free(ctx_);
}

std::string TlsContext::take_rejection() {
    std::string taken;
    taken.swap(rejection_);
    return taken;
}

// Called by OpenSSL for each certificate of the chain; keeps the first
// failure's reason and the certificate it is about.
int TlsContext::verify(int ok, X509_STORE_CTX* store) {
    if (ok == 1) return ok;
    auto* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* self = static_cast<TlsContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    if (self == nullptr || !self->rejection_.empty()) return ok;
    self->rejection_ = X509_verify_cert_error_string(X509_STORE_CTX_get_error(store));
    if (X509* cert = X509_STORE_CTX_get_current_cert(store)) {
        char subject[256];
        X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof subject);
        self->rejection_ += std::string(", for the certificate of ") + subject;
    }
    return ok;
}

}  // namespace mqtt
