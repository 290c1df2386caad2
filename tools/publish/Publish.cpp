#include "tools/publish/Publish.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <vector>

#include "data/PublisherKey.h"
#include "data/Rollout.h"
#include "data/Sha256.h"
#include "data/SignedText.h"
#include "download/InstallerCheck.h"
#include "download/Patch.h"
#include "platform/RegularFile.h"

namespace Publish {

namespace {

constexpr size_t kMaxKeyFileBytes = 1024;
// The reader cuts manifest lines at 1022 characters; "MESSAGE=" takes 8.
constexpr size_t kMaxMessageChars = 1014;
constexpr long long kMaxExpiresDays = 36500;
// An Ed25519 private key is kept as its 32-byte seed.
constexpr size_t kSeedBytes = 32;

std::string Reason(const std::string& what) { return what + ": " + std::strerror(errno); }

// The whole file when it is a regular file of at most `limit` bytes.
std::optional<std::string> ReadFile(const std::string& path, size_t limit, std::string& error) {
    const int fd = Sys::OpenInputFile(path, error);
    if (fd < 0) return std::nullopt;
    std::string text;
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) error = Reason("cannot read " + path);
        if (got <= 0) break;
        text.append(buffer, static_cast<size_t>(got));
        if (text.size() > limit) {
            error = path + " is larger than " + std::to_string(limit) + " bytes";
            break;
        }
    }
    ::close(fd);
    if (!error.empty()) return std::nullopt;
    return text;
}

// The installer's size and SHA-256 (lower-case hex), read in blocks.
std::optional<Transfer::FileDigest> DigestInstaller(const std::string& path, std::string& error) {
    const int fd = Sys::OpenInputFile(path, error);
    if (fd < 0) return std::nullopt;
    Data::Sha256 hash;
    Transfer::FileDigest digest;
    std::vector<unsigned char> block(Data::kHashBlockBytes);
    for (;;) {
        const ssize_t got = ::read(fd, block.data(), block.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) error = Reason("cannot read " + path);
        if (got <= 0) break;
        hash.Update(block.data(), static_cast<size_t>(got));
        digest.size += got;
    }
    ::close(fd);
    if (!error.empty()) return std::nullopt;
    digest.sha256 = hash.HexDigest();
    if (digest.sha256.empty()) {
        error = "cannot hash " + path;
        return std::nullopt;
    }
    return digest;
}

// Writes a new file with `mode`; refuses to replace an existing one.
std::string WriteNewFile(const std::string& path, const std::string& text, mode_t mode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) return Reason("cannot create " + path);
    bool ok = ::fchmod(fd, mode) == 0 &&
              ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        std::string reason = Reason("cannot write " + path);
        ::unlink(path.c_str());
        return reason;
    }
    return std::string();
}

using SecretKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

// The Ed25519 key of a 32-byte seed, the form key files have always held.
SecretKey KeyFromSeed(const unsigned char* seed) {
    return SecretKey(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed, kSeedBytes),
                     EVP_PKEY_free);
}

// The secret key from a key file (the base64 of the 32-byte seed).
std::string LoadSecretKey(const std::string& keyPath, SecretKey& secret) {
    std::string error;
    std::optional<std::string> text = ReadFile(keyPath, kMaxKeyFileBytes, error);
    if (!text) return error;
    std::optional<Data::PublicKey> seed = Data::ParsePublicKey(*text);
    OPENSSL_cleanse(text->data(), text->size());
    if (!seed) return keyPath + " does not hold a key (one line, the base64 of 32 bytes)";
    secret = KeyFromSeed(seed->data());
    OPENSSL_cleanse(seed->data(), seed->size());
    if (!secret) return keyPath + ": the crypto library cannot make a key of it";
    return std::string();
}

bool IsDecimal(const std::string& text) {
    if (text.empty() || text.size() > 10) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return std::stoll(text) <= INT32_MAX;
}

bool IsProductCode(const std::string& text) {
    if (text.empty() || text.size() > 16) return false;
    for (char c : text)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
            return false;
    return true;
}

// A delta must save at least this much to be worth a second file on the server.
constexpr int64_t kMinDeltaSaving = 256 * 1024;

// The program joins the name to the installer's folder address as it is.
bool IsBareName(const std::string& name) {
    if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
    for (char c : name)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '-' || c == '_'))
            return false;
    return true;
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The size of a regular file; -1 and the reason for anything else.
int64_t FileSize(const std::string& path, std::string& error) {
    const int fd = Sys::OpenInputFile(path, error);
    if (fd < 0) return -1;
    struct stat st {};
    const bool ok = ::fstat(fd, &st) == 0;
    if (!ok) error = Reason("cannot read " + path);
    ::close(fd);
    return ok ? static_cast<int64_t>(st.st_size) : -1;
}

std::string Percent(int64_t part, int64_t whole) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f %%", whole > 0 ? 100.0 * part / whole : 0.0);
    return text;
}

// The DELTA and PACKED lines, each file checked to rebuild the installer; a
// file not worth its download is left out with the reason.
std::string DeltaLines(const ManifestFields& fields, const Transfer::FileDigest& installer,
                       std::string& lines, std::vector<std::string>* leftOut) {
    struct Item {
        std::string base, file;  // no base: the packed installer
    };
    std::vector<Item> items;
    for (const std::string& value : fields.deltas) {
        const size_t colon = value.rfind(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == value.size())
            return "--delta wants OLD:PATCH: " + value;
        items.push_back({value.substr(0, colon), value.substr(colon + 1)});
    }
    if (!fields.packed.empty()) items.push_back({std::string(), fields.packed});
    for (const Item& item : items)
        if (!IsBareName(BaseName(item.file)))
            return "the name of " + item.file + " must be letters, digits, '.', '-' or '_'";
    for (const Item& item : items) {
        std::string error;
        std::optional<Transfer::FileDigest> base;
        if (!item.base.empty() && !(base = DigestInstaller(item.base, error)))
            return "the base: " + error;
        const int64_t size = FileSize(item.file, error);
        if (size < 0) return error;
        std::string why;
        if (item.base.empty() && size >= installer.size)
            why = "not smaller than the installer";
        else if (!item.base.empty() && size * 2 > installer.size)
            why = "over half the installer's size";
        else if (!item.base.empty() && installer.size - size < kMinDeltaSaving)
            why = "saves less than 256 KiB";
        if (!why.empty()) {
            if (leftOut)
                leftOut->push_back("left out " + item.file + ": " + why + " (" +
                                   std::to_string(size) + " of " + std::to_string(installer.size) +
                                   " bytes)");
            continue;
        }
        error = Transfer::CheckPatch(item.base, item.file, fields.installer);
        if (!error.empty()) return error;
        if (item.base.empty()) {
            lines += "PACKED=" + std::to_string(size) + " " + BaseName(item.file) + "\r\n";
            continue;
        }
        lines += "DELTA=" + std::to_string(base->size) + " " + base->sha256 + " " +
                 std::to_string(size) + " " + BaseName(item.file) + "\r\n";
    }
    return std::string();
}

}  // namespace

std::string Keygen(const std::string& prefix) {
    if (!Data::CryptoReady()) return "the crypto library cannot be initialised";
    const std::string keyPath = prefix + ".key";
    const std::string publicPath = prefix + ".pub";
    struct stat st {};
    for (const std::string& path : {keyPath, publicPath})
        if (::lstat(path.c_str(), &st) == 0) return path + " exists; not replaced";

    unsigned char seed[kSeedBytes];
    unsigned char publicKey[Data::kPublicKeyBytes];
    size_t publicSize = sizeof publicKey;
    if (RAND_priv_bytes(seed, sizeof seed) != 1) return "no random bytes for a new key";
    const SecretKey secret = KeyFromSeed(seed);
    if (!secret || EVP_PKEY_get_raw_public_key(secret.get(), publicKey, &publicSize) != 1 ||
        publicSize != sizeof publicKey) {
        OPENSSL_cleanse(seed, sizeof seed);
        return "the crypto library cannot make a key";
    }
    std::string seedText =
        Data::EncodeBase64(std::string_view(reinterpret_cast<char*>(seed), sizeof seed)) + "\n";
    OPENSSL_cleanse(seed, sizeof seed);
    std::string error = WriteNewFile(keyPath, seedText, 0600);
    OPENSSL_cleanse(seedText.data(), seedText.size());
    if (!error.empty()) return error;
    return WriteNewFile(
        publicPath,
        Data::EncodeBase64(std::string_view(reinterpret_cast<char*>(publicKey), sizeof publicKey)) +
            "\n",
        0644);
}

std::string MakeManifest(const ManifestFields& fields, std::string& text,
                         std::vector<std::string>* leftOut) {
    if (!IsProductCode(fields.product))
        return "--product wants a product code of letters and digits: " + fields.product;
    if (!IsDecimal(fields.year)) return "--year wants a whole number: " + fields.year;
    if (!IsDecimal(fields.version)) return "--version wants a whole number: " + fields.version;
    if (fields.message.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        return "--message must be one line";
    if (fields.message.size() > kMaxMessageChars)
        return "--message is longer than " + std::to_string(kMaxMessageChars) + " characters";
    std::string expires;
    if (!fields.expiresDays.empty()) {
        if (!IsDecimal(fields.expiresDays) || std::stoll(fields.expiresDays) < 1 ||
            std::stoll(fields.expiresDays) > kMaxExpiresDays)
            return "--expires-days wants a whole number from 1 to " +
                   std::to_string(kMaxExpiresDays) + ": " + fields.expiresDays;
        expires =
            Data::FormatUtcTime(std::time(nullptr) + std::stoll(fields.expiresDays) * 24 * 60 * 60);
    }
    if (!fields.rollout.empty() && !Data::ParseRollout(fields.rollout))
        return "not a rollout (START HOURS [PAUSED]): " + fields.rollout;
    if (!Data::CryptoReady()) return "the crypto library cannot be initialised";
    std::string error;
    std::optional<Transfer::FileDigest> digest = DigestInstaller(fields.installer, error);
    if (!digest) return "the installer: " + error;
    if (digest->size <= 0 || digest->size > INT32_MAX)
        return "the installer must have from 1 to " + std::to_string(INT32_MAX) + " bytes";

    // The first line holds "roduct", which the program looks for.
    std::string body;
    for (const std::string& line :
         {"Product=" + fields.product, "YEAR=" + fields.year, "VERSION=" + fields.version,
          "SIZE=" + std::to_string(digest->size), "SHA256=" + digest->sha256,
          "MESSAGE=" + fields.message})
        body += line + "\r\n";
    if (!expires.empty()) body += std::string(Data::kExpiresKey) + "=" + expires + "\r\n";
    if (!fields.rollout.empty())
        body += std::string(Data::kRolloutKey) + "=" + fields.rollout + "\r\n";
    std::string deltaLines;
    error = DeltaLines(fields, *digest, deltaLines, leftOut);
    if (!error.empty()) return error;
    body += deltaLines;
    if (fields.keyPath.empty()) {
        text = body;
        return std::string();
    }
    return SignText(fields.keyPath, body, text);
}

std::string SignText(const std::string& keyPath, const std::string& text, std::string& signedText) {
    if (!Data::CryptoReady()) return "the crypto library cannot be initialised";
    SecretKey secret(nullptr, EVP_PKEY_free);
    std::string error = LoadSecretKey(keyPath, secret);
    if (!error.empty()) return error;

    std::string body(Data::SplitSignedText(text).body);
    // The signature line ends like the lines before it; a last line without
    // its end gets one, which then belongs to the signed bytes.
    std::string lineEnd = body.find("\r\n") != std::string::npos || body.empty() ? "\r\n" : "\n";
    if (body.ends_with("\n"))
        lineEnd = body.ends_with("\r\n") ? "\r\n" : "\n";
    else if (!body.empty())
        body += lineEnd;

    unsigned char signature[Data::kSignatureBytes];
    size_t signatureSize = sizeof signature;
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(),
                                                                      EVP_MD_CTX_free);
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, secret.get()) != 1 ||
        EVP_DigestSign(ctx.get(), signature, &signatureSize,
                       reinterpret_cast<const unsigned char*>(body.data()), body.size()) != 1 ||
        signatureSize != sizeof signature)
        return "the crypto library cannot sign";
    signedText =
        body + std::string(Data::kSignaturePrefix) +
        Data::EncodeBase64(std::string_view(reinterpret_cast<char*>(signature), sizeof signature)) +
        lineEnd;
    if (signedText.size() > Data::kMaxSignedTextBytes)
        return "the signed text would exceed " + std::to_string(Data::kMaxSignedTextBytes) +
               " bytes, more than the Software Manager reads";
    return std::string();
}

std::string SignFile(const std::string& keyPath, const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return Reason("cannot open " + path);
    if (!S_ISREG(st.st_mode)) return path + " is not a regular file";
    std::string error;
    std::optional<std::string> text = ReadFile(path, Data::kMaxSignedTextBytes, error);
    if (!text) return error;
    std::string signedText;
    error = SignText(keyPath, *text, signedText);
    if (!error.empty()) return error;

    // A new file beside the old one, then one rename: readers see either.
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) return Reason("cannot create a file beside " + path);
    bool ok = ::fchmod(fd, st.st_mode & 07777) == 0 &&
              ::write(fd, signedText.data(), signedText.size()) ==
                  static_cast<ssize_t>(signedText.size());
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        error = Reason("cannot replace " + path);
        ::unlink(temp.c_str());
        return error;
    }
    return std::string();
}

std::string VerifyFile(const std::string& publicKeyPath, const std::string& path) {
    const Data::PublisherKey key = Data::LoadPublisherKey(publicKeyPath);
    if (key.state != Data::PublisherKey::State::Usable)
        return "cannot read the public key " + publicKeyPath;
    std::string error;
    std::optional<std::string> text = ReadFile(path, Data::kMaxSignedTextBytes, error);
    if (!text) return error;
    const Data::SignatureStatus status = Data::VerifySignedText(*text, key);
    if (status == Data::SignatureStatus::Valid) return std::string();
    return path + ": signature " + Data::SignatureStatusName(status);
}

std::string MakeDelta(const std::string& oldPath, const std::string& newPath,
                      const std::string& patchPath, std::string& summary) {
    std::string error = Transfer::MakePatch(oldPath, newPath, patchPath);
    if (!error.empty()) return error;
    const int64_t oldSize = FileSize(oldPath, error), newSize = FileSize(newPath, error),
                  patchSize = FileSize(patchPath, error);
    if (!error.empty()) return error;
    summary = "old " + std::to_string(oldSize) + " bytes, new " + std::to_string(newSize) +
              " bytes, patch " + std::to_string(patchSize) + " bytes (" +
              Percent(patchSize, newSize) + " of new)\n";
    return std::string();
}

std::string Pack(const std::string& installerPath, const std::string& packedPath,
                 std::string& summary) {
    std::string error = Transfer::MakePacked(installerPath, packedPath);
    if (!error.empty()) return error;
    const int64_t size = FileSize(installerPath, error), packed = FileSize(packedPath, error);
    if (!error.empty()) return error;
    summary = "installer " + std::to_string(size) + " bytes, packed " + std::to_string(packed) +
              " bytes (" + Percent(packed, size) + " of the installer)\n";
    return std::string();
}

}  // namespace Publish
