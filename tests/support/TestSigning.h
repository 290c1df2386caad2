#pragma once
// A publisher key for tests, made from a fixed seed, and texts signed with it.

#include <sodium.h>
#include <stdlib.h>

#include <array>
#include <cstdlib>
#include <string>
#include <string_view>

namespace TestSupport {

inline std::string Base64(std::string_view bytes) {
    std::string out(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char*>(bytes.data()),
                      bytes.size(), sodium_base64_VARIANT_ORIGINAL);
    out.pop_back();
    return out;
}

inline std::string Sha256Hex(std::string_view bytes) {
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    char hex[2 * sizeof digest + 1];
    sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
    return hex;
}

class TestKey {
  public:
    explicit TestKey(unsigned char seedByte = 7) {
        if (sodium_init() < 0) std::abort();
        std::array<unsigned char, crypto_sign_SEEDBYTES> seed;
        seed.fill(seedByte);
        crypto_sign_seed_keypair(public_.data(), secret_.data(), seed.data());
    }
    // The public key file's line.
    std::string PublicLine() const {
        return Base64(
            std::string_view(reinterpret_cast<const char*>(public_.data()), public_.size()));
    }
    std::string SignatureOf(std::string_view body) const {
        unsigned char signature[crypto_sign_BYTES];
        crypto_sign_detached(signature, nullptr,
                             reinterpret_cast<const unsigned char*>(body.data()), body.size(),
                             secret_.data());
        return Base64(std::string_view(reinterpret_cast<const char*>(signature), sizeof signature));
    }
    // The body followed by its signature line.
    std::string Sign(std::string_view body, std::string_view lineEnd = "\r\n") const {
        return std::string(body) + "SIGNATURE=" + SignatureOf(body) + std::string(lineEnd);
    }

  private:
    std::array<unsigned char, crypto_sign_PUBLICKEYBYTES> public_{};
    std::array<unsigned char, crypto_sign_SECRETKEYBYTES> secret_{};
};

// Sets $TESSRA_SWM_UPDATE_KEY for the life of the object and restores it.
class KeyVariable {
  public:
    explicit KeyVariable(const std::string& path) {
        if (const char* old = std::getenv("TESSRA_SWM_UPDATE_KEY")) old_ = old, had_ = true;
        ::setenv("TESSRA_SWM_UPDATE_KEY", path.c_str(), 1);
    }
    ~KeyVariable() {
        if (had_)
            ::setenv("TESSRA_SWM_UPDATE_KEY", old_.c_str(), 1);
        else
            ::unsetenv("TESSRA_SWM_UPDATE_KEY");
    }
    KeyVariable(const KeyVariable&) = delete;
    KeyVariable& operator=(const KeyVariable&) = delete;

  private:
    std::string old_;
    bool had_ = false;
};

}  // namespace TestSupport
