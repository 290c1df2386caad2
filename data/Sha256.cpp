#include "data/Sha256.h"

#include <openssl/evp.h>

#include <utility>

namespace Data {

Sha256::Sha256() {
    ctx_ = EVP_MD_CTX_new();
    Start();
}

Sha256::~Sha256() { EVP_MD_CTX_free(ctx_); }

Sha256::Sha256(Sha256&& other) noexcept
    : ctx_(std::exchange(other.ctx_, nullptr)), ok_(std::exchange(other.ok_, false)) {}

Sha256& Sha256::operator=(Sha256&& other) noexcept {
    if (this != &other) {
        EVP_MD_CTX_free(ctx_);
        ctx_ = std::exchange(other.ctx_, nullptr);
        ok_ = std::exchange(other.ok_, false);
    }
    return *this;
}

void Sha256::Start() { ok_ = ctx_ && EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) == 1; }

void Sha256::Update(const void* data, size_t size) {
    if (ok_ && size > 0) ok_ = EVP_DigestUpdate(ctx_, data, size) == 1;
}

bool Sha256::Finish(std::array<unsigned char, kSha256Bytes>& digest) {
    unsigned int length = 0;
    const bool ok =
        ok_ && EVP_DigestFinal_ex(ctx_, digest.data(), &length) == 1 && length == digest.size();
    Start();
    return ok;
}

std::string Sha256::HexDigest() {
    std::array<unsigned char, kSha256Bytes> digest{};
    if (!Finish(digest)) return std::string();
    return HexOf(digest.data(), digest.size());
}

std::string HexOf(const unsigned char* bytes, size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out(2 * size, '\0');
    for (size_t i = 0; i < size; ++i) {
        out[2 * i] = kDigits[bytes[i] >> 4];
        out[2 * i + 1] = kDigits[bytes[i] & 0x0f];
    }
    return out;
}

}  // namespace Data
