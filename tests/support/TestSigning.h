#pragma once
// A publisher key for tests, made from a fixed seed, and texts signed with it.

#include <openssl/evp.h>
#include <stdlib.h>

#include <array>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

namespace TestSupport {

inline std::string Base64(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(length));
    return out;
}

// In one call, unlike the program's block-by-block hashing.
inline std::string Sha256Hex(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr) != 1)
        std::abort();
    std::string hex;
    for (unsigned int i = 0; i < size; ++i) {
        static constexpr char kDigits[] = "0123456789abcdef";
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 0x0f];
    }
    return hex;
}

class TestKey {
  public:
    explicit TestKey(unsigned char seedByte = 7) : TestKey(Filled(seedByte)) {}
    explicit TestKey(const std::array<unsigned char, 32>& seed)
        : key_(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()),
               EVP_PKEY_free) {
        size_t size = public_.size();
        if (!key_ || EVP_PKEY_get_raw_public_key(key_.get(), public_.data(), &size) != 1)
            std::abort();
    }
    // The public key file's line.
    std::string PublicLine() const {
        return Base64(
            std::string_view(reinterpret_cast<const char*>(public_.data()), public_.size()));
    }
    std::string RawSignatureOf(std::string_view body) const {
        std::string signature(64, '\0');
        size_t size = signature.size();
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(),
                                                                    EVP_MD_CTX_free);
        if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_.get()) != 1 ||
            EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                           reinterpret_cast<const unsigned char*>(body.data()), body.size()) != 1)
            std::abort();
        return signature;
    }
    std::string SignatureOf(std::string_view body) const { return Base64(RawSignatureOf(body)); }
    // The body followed by its signature line.
    std::string Sign(std::string_view body, std::string_view lineEnd = "\r\n") const {
        return std::string(body) + "SIGNATURE=" + SignatureOf(body) + std::string(lineEnd);
    }

  private:
    static std::array<unsigned char, 32> Filled(unsigned char byte) {
        std::array<unsigned char, 32> seed;
        seed.fill(byte);
        return seed;
    }
    std::shared_ptr<EVP_PKEY> key_;
    std::array<unsigned char, 32> public_{};
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
