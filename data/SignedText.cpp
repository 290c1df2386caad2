#include "data/SignedText.h"

#include <openssl/evp.h>

#include <memory>

#include "data/KeyValueLine.h"
#include "data/Text.h"

namespace Data {

namespace {

// The last value of each key, read the way the manifest reader reads them.
struct Claims {
    std::optional<std::string> product, year, expires;
};

Claims ReadClaims(std::string_view body) {
    Claims claims;
    for (const std::string& piece : SplitLinePieces(body, kManifestPieceChars)) {
        std::optional<KeyValue> kv = ReadKeyValueLine(piece, LineForm::Manifest);
        if (!kv) continue;
        if (kv->key == "PRODUCT")
            claims.product = kv->value;
        else if (kv->key == "YEAR")
            claims.year = kv->value;
        else if (kv->key == kExpiresKey)
            claims.expires = kv->value;
    }
    return claims;
}

Expiry ExpiryAt(const std::optional<std::string>& expires, std::time_t now) {
    if (!expires) return Expiry::None;
    std::optional<std::time_t> until = ParseUtcTime(*expires);
    if (!until) return Expiry::Malformed;
    return now > *until ? Expiry::Expired : Expiry::Current;
}

}  // namespace

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
    if (!signature) return SignatureStatus::Invalid;
    return SignatureMatches(parts.body, *signature, key) ? SignatureStatus::Valid
                                                         : SignatureStatus::Invalid;
}

bool SignatureMatches(std::string_view message, std::string_view signature, const PublicKey& key) {
    if (signature.size() != kSignatureBytes || !CryptoReady()) return false;
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pkey(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()),
        EVP_PKEY_free);
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(),
                                                                      EVP_MD_CTX_free);
    // Ed25519 hashes the message itself: no digest is named, and it goes in one piece.
    return pkey && ctx &&
           EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) == 1 &&
           EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                            signature.size(),
                            reinterpret_cast<const unsigned char*>(message.data()),
                            message.size()) == 1;
}

SignatureStatus VerifySignedText(std::string_view text, const PublisherKey& key) {
    if (key.state != PublisherKey::State::Usable || key.keys.empty())
        return SignatureStatus::Invalid;
    SignatureStatus status = SignatureStatus::Invalid;
    for (const PublicKey& one : key.keys) {
        status = VerifySignedText(text, one);
        if (status != SignatureStatus::Invalid) break;
    }
    return status;
}

SignatureStatus VerifySignedFile(const std::string& path, const PublisherKey& key) {
    if (key.state != PublisherKey::State::Usable) return SignatureStatus::Invalid;
    std::optional<std::string> text = ReadBoundedFile(path, kMaxSignedTextBytes);
    if (!text) return SignatureStatus::Invalid;
    return VerifySignedText(*text, key);
}

std::optional<std::time_t> ParseUtcTime(std::string_view text) {
    static constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != kShape.size()) return std::nullopt;
    for (size_t i = 0; i < kShape.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return std::nullopt;
    }
    auto number = [text](size_t at, size_t count) {
        int value = 0;
        for (size_t i = at; i < at + count; ++i) value = value * 10 + (text[i] - '0');
        return value;
    };
    std::tm tm{};
    tm.tm_year = number(0, 4) - 1900;
    tm.tm_mon = number(5, 2) - 1;
    tm.tm_mday = number(8, 2);
    tm.tm_hour = number(11, 2);
    tm.tm_min = number(14, 2);
    tm.tm_sec = number(17, 2);
    const std::tm written = tm;
    const std::time_t time = ::timegm(&tm);
    // timegm carries out-of-range fields over ("02-30" becomes March 2): such a date is refused.
    if (tm.tm_year != written.tm_year || tm.tm_mon != written.tm_mon ||
        tm.tm_mday != written.tm_mday || tm.tm_hour != written.tm_hour ||
        tm.tm_min != written.tm_min || tm.tm_sec != written.tm_sec)
        return std::nullopt;
    return time;
}

std::string FormatUtcTime(std::time_t time) {
    std::tm tm{};
    char text[32] = {};
    if (!::gmtime_r(&time, &tm) || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm) == 0)
        return std::string();
    return text;
}

const char* ExpiryName(Expiry expiry) {
    switch (expiry) {
        case Expiry::Current:
            return "current";
        case Expiry::Expired:
            return "expired";
        case Expiry::Malformed:
            return "malformed";
        case Expiry::None:
            break;
    }
    return "none";
}

Expiry ExpiryOf(std::string_view text, std::time_t now) {
    return ExpiryAt(ReadClaims(text).expires, now);
}

ClaimStatus CheckSignedClaims(std::string_view body, std::string_view product, int32_t year,
                              std::time_t now) {
    const Claims claims = ReadClaims(body);
    if (!claims.product || ToLower(*claims.product) != ToLower(product))
        return ClaimStatus::WrongProduct;
    if (!claims.year || Atoi32(*claims.year) != year) return ClaimStatus::WrongYear;
    switch (ExpiryAt(claims.expires, now)) {
        case Expiry::Expired:
            return ClaimStatus::Expired;
        case Expiry::Malformed:
            return ClaimStatus::BadExpiry;
        case Expiry::None:
        case Expiry::Current:
            break;
    }
    return ClaimStatus::Accepted;
}

bool TextSignatureAccepted(const std::string& path, const DownloadItem& item) {
    const PublisherKey key = LoadPublisherKey();
    if (!key.Required()) return true;
    if (key.state != PublisherKey::State::Usable) return false;
    std::optional<std::string> text = ReadBoundedFile(path, kMaxSignedTextBytes);
    if (!text || VerifySignedText(*text, key) != SignatureStatus::Valid) return false;
    return CheckSignedClaims(SplitSignedText(*text).body, item.productCode, item.year,
                             std::time(nullptr)) == ClaimStatus::Accepted;
}

}  // namespace Data
