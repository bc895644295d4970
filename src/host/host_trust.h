#pragma once
// Whether the host's certificate is one this site trusts (ulk.pin), and the
// facts a user needs to decide what to pin.
#include <string>
#include <vector>

#include "config/pin_file.h"

struct ssl_st;
struct ssl_ctx_st;
struct x509_st;

namespace kolv {

struct CertificateFacts {
    std::string subject;  // RFC 2253, e.g. "CN=chat.example.net"
    std::string issuer;
    std::string notBefore;  // ISO 8601
    std::string notAfter;
    PinDigest pin{};
};

// Reads the facts of certificate. False when it has no usable public key.
bool readCertificateFacts(x509_st* certificate, CertificateFacts& facts);

// "Host certificate subject: ...", issuer, validity and pin, one text a line.
std::vector<std::string> certificateLines(const CertificateFacts& facts);

// The outcome of the trust check during one handshake.
struct TrustCheck {
    bool checked = false;  // the host showed a certificate and it was checked
    bool trusted = false;
    CertificateFacts facts;
    std::string host;  // the configured host, for "verify"
};

// Main thread, before the handshake: makes context and connection accept the
// host only when policy trusts its certificate, recording the outcome in
// check (which must outlive the handshake), over TLS 1.2 or later with
// forward secrecy only. For "verify" also readies the system's roots, and the
// host must be named in the certificate's subjectAltName (its name is sent
// as SNI unless it is an address). False when the set-up itself failed.
bool requireTrustedHost(ssl_ctx_st* context, ssl_st* connection, const TrustPolicy& policy, const char* host,
                        TrustCheck& check);

}  // namespace kolv
