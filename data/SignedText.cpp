#include "data/SignedText.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace Data {

namespace {

// The whole file, when it is a regular file (not reached through a link) of
// at most `limit` bytes.
std::optional<std::string> ReadBounded(const std::string& path, size_t limit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::string text;
    bool ok =
        ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) <= limit;
    char buffer[16384];
    while (ok) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) ok = false;
        if (got <= 0) break;
        text.append(buffer, static_cast<size_t>(got));
        // The file may grow while it is read.
        if (text.size() > limit) ok = false;
    }
    ::close(fd);
    if (!ok) return std::nullopt;
    return text;
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
    if (!signature || !CryptoReady()) return SignatureStatus::Invalid;
    const int verified = crypto_sign_verify_detached(
        reinterpret_cast<const unsigned char*>(signature->data()),
        reinterpret_cast<const unsigned char*>(parts.body.data()), parts.body.size(), key.data());
    return verified == 0 ? SignatureStatus::Valid : SignatureStatus::Invalid;
}

SignatureStatus VerifySignedFile(const std::string& path, const PublisherKey& key) {
    if (key.state != PublisherKey::State::Usable) return SignatureStatus::Invalid;
    std::optional<std::string> text = ReadBounded(path, kMaxSignedTextBytes);
    if (!text) return SignatureStatus::Invalid;
    return VerifySignedText(*text, key.key);
}

bool TextSignatureAccepted(const std::string& path) {
    const PublisherKey key = LoadPublisherKey();
    if (!key.Required()) return true;
    return VerifySignedFile(path, key) == SignatureStatus::Valid;
}

}  // namespace Data
