#pragma once
// Signed text downloads (manifests, the alert). A signed text ends with the
// line "SIGNATURE=" followed by the standard base64 of the Ed25519 signature
// of every byte before that line, exactly as received (CR LF included). The
// signature line itself may end with CR LF, with LF or with nothing; nothing
// may follow it.
//
// A valid signature proves only who wrote a text, not which request it answers
// or when: under a key the signed lines must also name the product and year
// asked for, and may set a time after which the text is no longer accepted.

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "data/DownloadList.h"
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
// Whether `signature` (the 64 raw bytes) is the key's Ed25519 signature of `message`.
bool SignatureMatches(std::string_view message, std::string_view signature, const PublicKey& key);
// Valid when any of the key file's keys verifies the text; a broken key verifies nothing.
SignatureStatus VerifySignedText(std::string_view text, const PublisherKey& key);

// The verdict on a downloaded file under a key (a broken key verifies nothing).
// The file is read without following a link and up to kMaxSignedTextBytes.
SignatureStatus VerifySignedFile(const std::string& path, const PublisherKey& key);

// "EXPIRES=" takes a UTC time written exactly as "2008-04-15T23:59:59Z".
inline constexpr std::string_view kExpiresKey = "EXPIRES";
std::optional<std::time_t> ParseUtcTime(std::string_view text);
std::string FormatUtcTime(std::time_t time);

enum class Expiry {
    None,       // no EXPIRES line
    Current,    // not yet passed
    Expired,    // passed
    Malformed,  // not a time in the form above
};
// "none", "current", "expired", "malformed".
const char* ExpiryName(Expiry expiry);
// The last EXPIRES line of the text, read like a manifest's, at `now`.
Expiry ExpiryOf(std::string_view text, std::time_t now);

enum class ClaimStatus { Accepted, WrongProduct, WrongYear, Expired, BadExpiry };
// What the signed lines claim against the request: PRODUCT (ignoring case)
// and YEAR must be those asked for; an EXPIRES must be well formed and not passed.
ClaimStatus CheckSignedClaims(std::string_view body, std::string_view product, int32_t year,
                              std::time_t now);

// What a text download must pass besides its first line: true without a key,
// false with a broken key, otherwise true only for a valid signature over
// lines that answer the item's request and have not expired.
bool TextSignatureAccepted(const std::string& path, const DownloadItem& item);

}  // namespace Data
