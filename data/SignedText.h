#pragma once
// Signed text downloads (manifests, the alert). A signed text ends with the
// line "SIGNATURE=" followed by the standard base64 of the Ed25519 signature
// of every byte before that line, exactly as received (CR LF included). The
// signature line itself may end with CR LF, with LF or with nothing; nothing
// may follow it.

#include <optional>
#include <string>
#include <string_view>

#include "data/PublisherKey.h"

namespace Data {

inline constexpr std::string_view kSignaturePrefix = "SIGNATURE=";
// Text downloads are small; a longer file is refused rather than read.
inline constexpr size_t kMaxSignedTextBytes = 64 * 1024;

enum class SignatureStatus { Valid, Invalid, Missing };

// "valid", "invalid", "missing".
const char* SignatureStatusName(SignatureStatus status);

// The text split at its last line: the signed bytes and the signature's base64,
// or no signature when the last line is not a signature line.
struct SignedParts {
    std::string_view body;
    std::optional<std::string_view> signature;
};
SignedParts SplitSignedText(std::string_view text);

SignatureStatus VerifySignedText(std::string_view text, const PublicKey& key);

// The verdict on a downloaded file under a key (a broken key verifies nothing).
// The file is read without following a link and up to kMaxSignedTextBytes.
SignatureStatus VerifySignedFile(const std::string& path, const PublisherKey& key);

// What a text download must pass besides its first line: true without a key,
// false with a broken key, otherwise true only for a valid signature.
bool TextSignatureAccepted(const std::string& path);

}  // namespace Data
