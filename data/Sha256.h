#pragma once
// SHA-256 fed in pieces of any size, so a file can be hashed block by block as
// it is read or as it arrives. The library's context stays out of this header.

#include <array>
#include <cstddef>
#include <string>

struct evp_md_ctx_st;

namespace Data {

inline constexpr size_t kSha256Bytes = 32;
// Files are read for hashing in blocks this large: big enough that the reads
// cost little beside the hash, small enough to stay in the CPU's cache.
inline constexpr size_t kHashBlockBytes = 256 * 1024;

class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(Sha256&& other) noexcept;
    Sha256& operator=(Sha256&& other) noexcept;
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Update(const void* data, size_t size);
    // The digest of everything given since the start, which then begins afresh;
    // false when the library failed at any step (the digest is then not set).
    bool Finish(std::array<unsigned char, kSha256Bytes>& digest);
    // The same as 64 lower-case hex digits; empty on a failure.
    std::string HexDigest();

  private:
    void Start();
    evp_md_ctx_st* ctx_ = nullptr;
    bool ok_ = false;
};

// Lower-case hex of any bytes.
std::string HexOf(const unsigned char* bytes, size_t size);

}  // namespace Data
