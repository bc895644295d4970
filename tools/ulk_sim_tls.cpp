#include "ulk_sim_tls.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <utility>

#include "link/tls_session.h"

namespace ulksim {
namespace {

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct CertificateFree {
    void operator()(X509* cert) const { X509_free(cert); }
};

kolv::TlsContext gContext;

// The first queued error's reason, e.g. "no start line", with the queue cleared.
std::string queuedReason() {
    const unsigned long error = ERR_get_error();
    ERR_clear_error();
    if (ERR_SYSTEM_ERROR(error)) return std::strerror(ERR_GET_REASON(error));
    const char* reason = ERR_reason_error_string(error);
    return reason != nullptr ? reason : "unknown error";
}

// A key that wants a password is refused rather than asked for on the terminal.
int noPassword(char*, int, int, void*) { return 0; }

EVP_PKEY* readKey(const std::string& path, std::string& why) {
    std::unique_ptr<BIO, BioFree> file(BIO_new_file(path.c_str(), "r"));
    EVP_PKEY* key = file ? PEM_read_bio_PrivateKey(file.get(), nullptr, noPassword, nullptr) : nullptr;
    why = !file ? queuedReason() : "no private key in PEM form without a password";
    ERR_clear_error();
    return key;
}

// Each file is read on its own so that a fault names its file.
bool useFiles(SSL_CTX* context, const Options& o) {
    if (SSL_CTX_use_certificate_chain_file(context, o.certFile.c_str()) != 1) {
        std::fprintf(stderr, "ulk-sim: cannot use the certificate in %s: %s\n", o.certFile.c_str(),
                     queuedReason().c_str());
        return false;
    }
    std::string why;
    std::unique_ptr<EVP_PKEY, KeyFree> key(readKey(o.keyFile, why));
    if (!key) {
        std::fprintf(stderr, "ulk-sim: cannot use the private key in %s: %s\n", o.keyFile.c_str(), why.c_str());
        return false;
    }
    if (X509_check_private_key(SSL_CTX_get0_certificate(context), key.get()) != 1 ||
        SSL_CTX_use_PrivateKey(context, key.get()) != 1) {
        ERR_clear_error();
        std::fprintf(stderr, "ulk-sim: the key in %s is not the key of the certificate in %s\n", o.keyFile.c_str(),
                     o.certFile.c_str());
        return false;
    }
    return true;
}

bool signCertificate(X509* cert, EVP_PKEY* key) {
    X509_NAME* name = X509_get_subject_name(cert);
    return X509_set_version(cert, X509_VERSION_3) == 1 &&
           ASN1_INTEGER_set(X509_get_serialNumber(cert), static_cast<long>(std::time(nullptr))) == 1 &&
           X509_gmtime_adj(X509_getm_notBefore(cert), -3600) != nullptr &&
           X509_gmtime_adj(X509_getm_notAfter(cert), 30L * 24 * 3600) != nullptr && X509_set_pubkey(cert, key) == 1 &&
           X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("ulk-sim"), -1,
                                      -1, 0) == 1 &&
           X509_set_issuer_name(cert, name) == 1 && X509_sign(cert, key, EVP_sha256()) > 0;
}

// Made fresh at each start, so its pin changes each time; --cert and --key
// give one that stays.
bool useSelfSigned(SSL_CTX* context) {
    std::unique_ptr<EVP_PKEY, KeyFree> key(EVP_EC_gen("P-256"));
    std::unique_ptr<X509, CertificateFree> cert(X509_new());
    const bool ok = key && cert && signCertificate(cert.get(), key.get()) &&
                    SSL_CTX_use_certificate(context, cert.get()) == 1 &&
                    SSL_CTX_use_PrivateKey(context, key.get()) == 1;
    if (!ok) std::fprintf(stderr, "ulk-sim: %s\n", tlsErrorText("self-signed certificate", 0).c_str());
    return ok;
}

}  // namespace

std::string tlsErrorText(const char* what, int code) {
    unsigned long queued = ERR_get_error();
    ERR_clear_error();
    if (queued == 0) return std::string(what) + " error " + std::to_string(code);
    char text[256];
    ERR_error_string_n(queued, text, sizeof text);
    return std::string(what) + ": " + text;
}

bool setUpTls(const Options& o) {
    kolv::TlsContext context(SSL_CTX_new(TLS_server_method()));
    if (!context) {
        std::fprintf(stderr, "ulk-sim: %s\n", tlsErrorText("SSL_CTX_new", 0).c_str());
        return false;
    }
    // Sites may close without a TLS close; that is an end of stream, not an error.
    SSL_CTX_set_options(context.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    const bool ok = o.certFile.empty() ? useSelfSigned(context.get()) : useFiles(context.get(), o);
    if (ok) gContext = std::move(context);
    return ok;
}

SSL_CTX* tlsContext() { return gContext.get(); }

void freeTls() { gContext.reset(); }

}  // namespace ulksim
