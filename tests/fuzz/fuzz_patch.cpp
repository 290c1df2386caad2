// libFuzzer target: rebuilding an installer from a downloaded patch. Any bytes
// must be refused or rebuilt without a crash, never past the expected size,
// and a frame refused for its header must leave nothing written.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "download/Patch.h"

namespace {

int MemoryFile(const char* name, const void* data, size_t size) {
    const int fd = ::memfd_create(name, MFD_CLOEXEC);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(size == 0 || ::write(fd, data, size) == static_cast<ssize_t>(size));
    FUZZ_CHECK(::lseek(fd, 0, SEEK_SET) == 0);
    return fd;
}

// The base the seed patches were made against: 4 KiB from a fixed generator.
std::string Base() {
    std::string bytes(4096, '\0');
    uint32_t x = 1;
    for (char& c : bytes) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>((x >> 16) & 0xff);
    }
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using Transfer::PatchCause;
    static const std::string base = Base();
    // Expect what the header states, when that is small, so frames get decoded.
    const unsigned long long stated = ZSTD_getFrameContentSize(data, size);
    const int64_t expected = stated <= (1u << 20) ? static_cast<int64_t>(stated) : 4096;
    const int baseFd = MemoryFile("base", base.data(), base.size());
    const int patchFd = MemoryFile("patch", data, size);
    const int outFd = MemoryFile("out", nullptr, 0);
    const PatchCause cause = Transfer::ApplyPatch(baseFd, patchFd, outFd, expected);
    struct stat st {};
    FUZZ_CHECK(::fstat(outFd, &st) == 0);
    FUZZ_CHECK(st.st_size <= expected);
    if (cause == PatchCause::Ok) FUZZ_CHECK(st.st_size == expected);
    if (cause == PatchCause::NotAFrame || cause == PatchCause::SizeUnknown ||
        cause == PatchCause::WindowTooLarge)
        FUZZ_CHECK(st.st_size == 0);
    for (int fd : {baseFd, patchFd, outFd}) ::close(fd);
    return 0;
}
