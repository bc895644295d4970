// kolv-setup --pin-host: the host's certificate, met as the bridge meets it
// but with no trust check, so that it can be shown and pinned.
#pragma once

#include "config/bridge_config.h"
#include "host/host_trust.h"

namespace kolvsetup {

// Connects to config's host and port (each address in turn) and runs a TLS
// handshake, each step within the attempt limit. False, with the reason on
// stderr, when the host cannot be reached or shows no usable certificate.
bool fetchHostCertificate(const kolv::BridgeConfig& config, kolv::CertificateFacts& facts);

}  // namespace kolvsetup
