#include "platform/trust_store.h"

// OpenSSL's names first: wincrypt.h, which windows.h brings, defines some of them as macros.
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <windows.h>
#include <wincrypt.h>

namespace kolv {

bool useSystemTrustStore(SSL_CTX* context) {
    HCERTSTORE roots = ::CertOpenSystemStoreW(0, L"ROOT");
    if (roots == nullptr) return false;
    X509_STORE* store = SSL_CTX_get_cert_store(context);
    int added = 0;
    for (PCCERT_CONTEXT c = ::CertEnumCertificatesInStore(roots, nullptr); c != nullptr;
         c = ::CertEnumCertificatesInStore(roots, c)) {
        const unsigned char* der = c->pbCertEncoded;
        X509* certificate = d2i_X509(nullptr, &der, static_cast<long>(c->cbCertEncoded));
        if (certificate == nullptr) continue;
        if (X509_STORE_add_cert(store, certificate) == 1) ++added;
        X509_free(certificate);
    }
    ::CertCloseStore(roots, 0);
    return added > 0;
}

}  // namespace kolv
