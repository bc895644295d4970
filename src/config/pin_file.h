#pragma once
// ulk.pin: the host certificates this site trusts. Absent, the host link is
// as before (TLS as ulk.cfg says, plain text when TLS fails). Present, TLS is
// required and the host must match a pin or pass "verify".
#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace kolv {

inline constexpr const char* kPinFileName = "ulk.pin";

// SHA-256 of a certificate's public key (its DER SubjectPublicKeyInfo).
using PinDigest = std::array<unsigned char, 32>;

struct TrustPolicy {
    bool pinned = false;       // ulk.pin was found
    bool verifyChain = false;  // "verify": the system's trusted roots and the host name
    std::vector<PinDigest> pins;
};

// Reads the text of ulk.pin into policy: one entry a line, "sha256:" and 64
// hex digits (colons and letter case ignored) or "verify"; blank lines and
// lines starting with "#" are skipped. False with error ("line 3: ...")
// when a line is neither, or when nothing is listed.
bool parsePinFile(std::string_view text, TrustPolicy& policy, std::string& error);

// Reads ulk.pin at path. Only a path that does not exist leaves policy
// unpinned and succeeds; a folder, a link to nothing, a link loop, a file
// that cannot be read or a malformed one fails with error set ("a folder",
// "cannot be read: Permission denied", "line 3: ...").
bool loadPinFile(TrustPolicy& policy, std::string& error, const char* path = kPinFileName);

// "sha256:" and the digest in lower-case hex.
std::string formatPin(const PinDigest& digest);

}  // namespace kolv
