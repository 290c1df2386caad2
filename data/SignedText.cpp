#include "data/SignedText.h"

#include <sodium.h>

#include "data/Text.h"

namespace Data {

const char* SignatureStatusName(SignatureStatus status) {
    switch (status) {
        case SignatureStatus::Valid:
            return "valid";
        case SignatureStatus::Invalid:
            return "invalid";
        case SignatureStatus::Missing:
            break;
    }
    return "missing";
}

SignedParts SplitSignedText(std::string_view text) {
    std::string_view rest = text;
    if (rest.ends_with("\r\n"))
        rest.remove_suffix(2);
    else if (rest.ends_with("\n"))
        rest.remove_suffix(1);
    const size_t newline = rest.rfind('\n');
    const size_t start = newline == std::string_view::npos ? 0 : newline + 1;
    std::string_view last = rest.substr(start);
    if (!last.starts_with(kSignaturePrefix)) return {text, std::nullopt};
    last.remove_prefix(kSignaturePrefix.size());
    return {text.substr(0, start), last};
}

SignatureStatus VerifySignedText(std::string_view text, const PublicKey& key) {
    const SignedParts parts = SplitSignedText(text);
    if (!parts.signature) return SignatureStatus::Missing;
    std::optional<std::string> signature = DecodeBase64(*parts.signature, kSignatureBytes);
    if (!signature || !CryptoReady()) return SignatureStatus::Invalid;
    const int verified = crypto_sign_verify_detached(
        reinterpret_cast<const unsigned char*>(signature->data()),
        reinterpret_cast<const unsigned char*>(parts.body.data()), parts.body.size(), key.data());
    return verified == 0 ? SignatureStatus::Valid : SignatureStatus::Invalid;
}

SignatureStatus VerifySignedFile(const std::string& path, const PublisherKey& key) {
    if (key.state != PublisherKey::State::Usable) return SignatureStatus::Invalid;
    std::optional<std::string> text = ReadBoundedFile(path, kMaxSignedTextBytes);
    if (!text) return SignatureStatus::Invalid;
    return VerifySignedText(*text, key.key);
}

bool TextSignatureAccepted(const std::string& path) {
    const PublisherKey key = LoadPublisherKey();
    if (!key.Required()) return true;
    return VerifySignedFile(path, key) == SignatureStatus::Valid;
}

}  // namespace Data
