#include "host/host_trust.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <memory>

#include "platform/trust_store.h"

namespace kolv {
namespace {

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

std::string bioText(BIO* bio) {
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

std::string nameText(const X509_NAME* name) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253);
    return bioText(bio.get());
}

std::string timeText(const ASN1_TIME* time) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    ASN1_TIME_print_ex(bio.get(), time, ASN1_DTFLGS_ISO8601);
    return bioText(bio.get());
}

bool isAddress(const char* host) {
    ASN1_OCTET_STRING* address = a2i_IPADDRESS(host);
    ASN1_OCTET_STRING_free(address);
    return address != nullptr;
}

// Whether leaf names host in its subjectAltName: an address among its IP
// entries, a name among its DNS entries. The common name is never read: its
// use for host names is long deprecated, and a name only there is no claim.
bool namesHost(X509* leaf, const std::string& host) {
    if (isAddress(host.c_str())) return X509_check_ip_asc(leaf, host.c_str(), 0) == 1;
    return X509_check_host(leaf, host.data(), host.size(), X509_CHECK_FLAG_NEVER_CHECK_SUBJECT, nullptr) == 1;
}

bool chainTrusted(X509_STORE_CTX* store, X509* leaf, const std::string& host) {
    const char* dnsName = isAddress(host.c_str()) ? nullptr : host.c_str();
    return systemTrustsChain(store, dnsName) && namesHost(leaf, host);
}

// The cert-verify callback: the whole chain check for a pinned site. Once a
// handshake is over the connection carries no check, and any later check fails.
int checkHostCertificate(X509_STORE_CTX* store, void* policyArgument) {
    const auto& policy = *static_cast<const TrustPolicy*>(policyArgument);
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* check = static_cast<TrustCheck*>(SSL_get_app_data(ssl));
    X509* leaf = X509_STORE_CTX_get0_cert(store);
    if (check == nullptr || leaf == nullptr || !readCertificateFacts(leaf, check->facts)) return 0;
    check->checked = true;
    check->trusted = (policy.verifyChain && chainTrusted(store, leaf, check->host)) ||
                     std::find(policy.pins.begin(), policy.pins.end(), check->facts.pin) != policy.pins.end();
    if (!check->trusted) X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_REJECTED);
    return check->trusted ? 1 : 0;
}

// SNI, for "verify": a name is sent, an address is not.
bool sendHostName(SSL* connection, const char* host) {
    return isAddress(host) || SSL_set_tlsext_host_name(connection, host) == 1;
}

// A pinned link: TLS 1.2 or later, and on TLS 1.2 only suites with forward
// secrecy, so a key stolen later does not open recorded chat. TLS 1.3 suites
// all have it.
bool requireModernTls(SSL_CTX* context) {
    return SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) == 1 &&
           SSL_CTX_set_cipher_list(context, "ECDHE:DHE:!aNULL:!eNULL:!PSK:!SRP") == 1;
}

}  // namespace

bool readCertificateFacts(X509* certificate, CertificateFacts& facts) {
    unsigned char* der = nullptr;
    int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate), &der);
    if (length <= 0) return false;
    unsigned int size = 0;
    bool hashed =
        EVP_Digest(der, static_cast<std::size_t>(length), facts.pin.data(), &size, EVP_sha256(), nullptr) == 1;
    OPENSSL_free(der);
    facts.subject = nameText(X509_get_subject_name(certificate));
    facts.issuer = nameText(X509_get_issuer_name(certificate));
    facts.notBefore = timeText(X509_get0_notBefore(certificate));
    facts.notAfter = timeText(X509_get0_notAfter(certificate));
    return hashed && size == facts.pin.size();
}

std::vector<std::string> certificateLines(const CertificateFacts& facts) {
    return {"Host certificate subject: " + facts.subject, "Host certificate issuer: " + facts.issuer,
            "Host certificate valid from " + facts.notBefore + " to " + facts.notAfter,
            "Host certificate pin: " + formatPin(facts.pin)};
}

bool requireTrustedHost(SSL_CTX* context, SSL* connection, const TrustPolicy& policy, const char* host,
                        TrustCheck& check) {
    if (!requireModernTls(context)) return false;
    if (policy.verifyChain && (!useSystemTrustStore(context) || !sendHostName(connection, host))) return false;
    check.host = host;
    SSL_set_verify(connection, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_cert_verify_callback(context, checkHostCertificate, const_cast<TrustPolicy*>(&policy));
    SSL_set_options(connection, SSL_OP_NO_RENEGOTIATION);
    SSL_set_app_data(connection, &check);
    return true;
}

}  // namespace kolv
