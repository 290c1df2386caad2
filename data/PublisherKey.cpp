#include "data/PublisherKey.h"

#include <openssl/evp.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "data/Text.h"

namespace Data {

namespace {

// A key file is a few short lines; anything much longer is not a key file.
constexpr size_t kMaxKeyFileBytes = 16 * 1024;

PublisherKey Broken(PublisherKey key) {
    key.state = PublisherKey::State::Broken;
    return key;
}

}  // namespace

bool CryptoReady() {
    // A library configured without SHA-256 or Ed25519 (a restricted provider)
    // must make every check fail rather than pass.
    static const bool ready = [] {
        if (OPENSSL_init_crypto(0, nullptr) != 1) return false;
        EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
        EVP_SIGNATURE* ed = EVP_SIGNATURE_fetch(nullptr, "ED25519", nullptr);
        const bool found = md && ed;
        EVP_MD_free(md);
        EVP_SIGNATURE_free(ed);
        return found;
    }();
    return ready;
}

std::string PublisherKeyPath() {
    const char* value = std::getenv(kUpdateKeyVariable);
    return value && *value ? std::string(value) : std::string(kDefaultUpdateKeyPath);
}

PublisherKey LoadPublisherKey() { return LoadPublisherKey(PublisherKeyPath()); }

PublisherKey LoadPublisherKey(const std::string& path) {
    PublisherKey result;
    result.path = path;
    struct stat st {};
    // Only a path with nothing at all behind it means "no key": a dangling
    // link or an unreadable folder is a key that cannot be read.
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return result;
        return Broken(result);
    }
    // The key file is the administrator's: a link to it is fine.
    const std::optional<std::string> text =
        ReadBoundedFile(path, kMaxKeyFileBytes, LinkRule::Follow);
    if (!text) return Broken(result);
    std::optional<std::vector<PublicKey>> keys = ParsePublicKeys(*text);
    if (!keys || !CryptoReady()) return Broken(result);
    result.keys = std::move(*keys);
    result.state = PublisherKey::State::Usable;
    return result;
}

std::optional<PublicKey> ParsePublicKey(std::string_view text) {
    if (text.ends_with("\r\n"))
        text.remove_suffix(2);
    else if (text.ends_with("\n"))
        text.remove_suffix(1);
    std::optional<std::string> bytes = DecodeBase64(text, kPublicKeyBytes);
    if (!bytes) return std::nullopt;
    PublicKey key{};
    std::copy(bytes->begin(), bytes->end(), key.begin());
    return key;
}

std::optional<std::vector<PublicKey>> ParsePublicKeys(std::string_view text) {
    std::vector<PublicKey> keys;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string line = StripBoth(text.substr(0, end), " \t\r");
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line.front() == '#') continue;
        std::optional<PublicKey> key = ParsePublicKey(line);
        if (!key) return std::nullopt;
        keys.push_back(*key);
    }
    if (keys.empty()) return std::nullopt;
    return keys;
}

std::optional<std::string> DecodeBase64(std::string_view text, size_t size) {
    // The decoder skips blanks and takes any padding; so only text of the one
    // length that `size` bytes encode to is decoded, and only text that is
    // exactly the encoding of what it decoded to (no stray characters or
    // padding, unused bits zero) is taken.
    if (size == 0 || size > INT_MAX / 2 || text.size() != 4 * ((size + 2) / 3)) return std::nullopt;
    std::string out(text.size() / 4 * 3, '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                       reinterpret_cast<const unsigned char*>(text.data()),
                                       static_cast<int>(text.size()));
    if (length != static_cast<int>(out.size())) return std::nullopt;
    out.resize(size);
    if (EncodeBase64(out) != text) return std::nullopt;
    return out;
}

std::string EncodeBase64(std::string_view bytes) {
    if (bytes.size() > INT_MAX / 2) return std::string();
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<int>(bytes.size()));
    out.resize(length < 0 ? 0 : static_cast<size_t>(length));
    return out;
}

}  // namespace Data
