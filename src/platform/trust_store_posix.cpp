#include "platform/trust_store.h"

#include <openssl/ssl.h>

namespace kolv {

bool useSystemTrustStore(SSL_CTX* context) { return SSL_CTX_set_default_verify_paths(context) == 1; }

}  // namespace kolv
