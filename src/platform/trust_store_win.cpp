#include "platform/trust_store.h"

// OpenSSL's names first: wincrypt.h, which windows.h brings, defines some of them as macros.
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <windows.h>
#include <wincrypt.h>

#include <string>

namespace kolv {
namespace {

std::string derOf(X509* certificate) {
    const int length = i2d_X509(certificate, nullptr);
    if (length <= 0) return {};
    std::string der(static_cast<std::size_t>(length), '\0');
    auto* at = reinterpret_cast<unsigned char*>(der.data());
    i2d_X509(certificate, &at);
    return der;
}

const BYTE* bytesOf(const std::string& der) { return reinterpret_cast<const BYTE*>(der.data()); }

// The intermediates the host sent, where the chain engine can find them.
HCERTSTORE sentCertificates(X509_STORE_CTX* store) {
    HCERTSTORE memory = ::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    STACK_OF(X509)* sent = X509_STORE_CTX_get0_untrusted(store);
    for (int i = 0; memory != nullptr && i < sk_X509_num(sent); ++i) {
        const std::string der = derOf(sk_X509_value(sent, i));
        ::CertAddEncodedCertificateToStore(memory, X509_ASN_ENCODING, bytesOf(der), static_cast<DWORD>(der.size()),
                                           CERT_STORE_ADD_ALWAYS, nullptr);
    }
    return memory;
}

PCCERT_CHAIN_CONTEXT buildChain(PCCERT_CONTEXT leaf, HCERTSTORE sent) {
    LPSTR serverAuth[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = serverAuth;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!::CertGetCertificateChain(nullptr, leaf, nullptr, sent, &para, 0, nullptr, &chain)) return nullptr;
    return chain;
}

bool sslPolicyAccepts(PCCERT_CHAIN_CONTEXT chain, const char* dnsName) {
    std::wstring name;  // host names are ASCII
    for (const char* c = dnsName; c != nullptr && *c != '\0'; ++c) {
        name += static_cast<wchar_t>(static_cast<unsigned char>(*c));
    }
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA extra{};
    extra.cbSize = sizeof extra;
    extra.dwAuthType = AUTHTYPE_SERVER;
    extra.pwszServerName = dnsName != nullptr ? name.data() : nullptr;
    CERT_CHAIN_POLICY_PARA para{};
    para.cbSize = sizeof para;
    para.pvExtraPolicyPara = &extra;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    return ::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &para, &status) && status.dwError == 0;
}

}  // namespace

bool useSystemTrustStore(SSL_CTX*) { return true; }

bool systemTrustsChain(X509_STORE_CTX* store, const char* dnsName) {
    const std::string der = derOf(X509_STORE_CTX_get0_cert(store));
    PCCERT_CONTEXT leaf =
        ::CertCreateCertificateContext(X509_ASN_ENCODING, bytesOf(der), static_cast<DWORD>(der.size()));
    HCERTSTORE sent = sentCertificates(store);
    PCCERT_CHAIN_CONTEXT chain = leaf != nullptr && sent != nullptr ? buildChain(leaf, sent) : nullptr;
    // Both must agree: a chain that ends short of a trusted root is a fault of
    // its own, which not every SSL policy check reports (Wine's does not).
    const bool trusted = chain != nullptr && chain->TrustStatus.dwErrorStatus == CERT_TRUST_NO_ERROR &&
                         sslPolicyAccepts(chain, dnsName);
    if (chain != nullptr) ::CertFreeCertificateChain(chain);
    if (sent != nullptr) ::CertCloseStore(sent, 0);
    if (leaf != nullptr) ::CertFreeCertificateContext(leaf);
    return trusted;
}

}  // namespace kolv
