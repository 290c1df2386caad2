#include "data/PublisherKey.h"

#include <sodium.h>
#include <sys/stat.h>

#include <cerrno>
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
    static const bool ready = sodium_init() >= 0;
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
    if (!CryptoReady() || text.empty()) return std::nullopt;
    size_t length = 0;
    const char* end = nullptr;
    // One byte of room more than wanted, so a longer value is told apart from an exact one.
    std::string room(size + 1, '\0');
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(room.data()), room.size(), text.data(),
                          text.size(), nullptr, &length, &end, sodium_base64_VARIANT_ORIGINAL) != 0)
        return std::nullopt;
    if (end != text.data() + text.size() || length != size) return std::nullopt;
    room.resize(size);
    return room;
}

std::string EncodeBase64(std::string_view bytes) {
    if (!CryptoReady()) return std::string();
    std::string out(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char*>(bytes.data()),
                      bytes.size(), sodium_base64_VARIANT_ORIGINAL);
    out.resize(out.size() - 1);  // the terminating zero
    return out;
}

}  // namespace Data
