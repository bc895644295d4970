// The simulator's TLS server context, and OpenSSL's errors as trace text.
#pragma once

#include <openssl/ssl.h>

#include <string>

#include "ulk_sim_options.h"

namespace ulksim {

// OpenSSL's queued error if there is one, else what and code.
std::string tlsErrorText(const char* what, int code);

// Makes the context sites are served with: from --cert and --key, else
// self-signed. False, with the reason on stderr, when that fails.
bool setUpTls(const Options& o);

// Null for plain TCP.
SSL_CTX* tlsContext();

void freeTls();

}  // namespace ulksim
