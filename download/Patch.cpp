#include "download/Patch.h"

// ZSTD_getFrameHeader and ZSTD_getCParams; the build links the system's
// libzstd, whose header and library come from the same package.
#define ZSTD_STATIC_LINKING_ONLY
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "platform/RegularFile.h"

namespace Transfer {

namespace {

constexpr int kLevel = 19;
constexpr size_t kOutBlock = 1 << 20;

// A read-only view of a whole regular file.
class Mapping {
  public:
    Mapping() = default;
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping() {
        if (data_) ::munmap(data_, size_);
    }
    bool Map(int fd) {
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
        size_ = static_cast<size_t>(st.st_size);
        if (size_ == 0) return true;
        void* at = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
        if (at == MAP_FAILED) return false;
        data_ = at;
        return true;
    }
    const char* Data() const { return static_cast<const char*>(data_); }
    size_t Size() const { return size_; }

  private:
    void* data_ = nullptr;
    size_t size_ = 0;
};

using Sys::Fd;

struct DCtxFree {
    void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};
struct CCtxFree {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};

ssize_t ReadSome(int fd, char* buffer, size_t size) {
    for (;;) {
        const ssize_t got = ::read(fd, buffer, size);
        if (got >= 0 || errno != EINTR) return got;
    }
}

// The decoder behind ApplyPatch; `sink` takes the output in order and says
// whether it could.
using Sink = std::function<bool(const char*, size_t)>;

PatchCause Decode(int baseFd, int patchFd, int64_t expectedSize, const Sink& sink) {
    Mapping base;
    if (baseFd >= 0 && !base.Map(baseFd)) return PatchCause::Unreadable;

    std::vector<char> input(ZSTD_DStreamInSize());
    size_t filled = 0;
    while (filled < ZSTD_FRAMEHEADERSIZE_MAX) {
        const ssize_t got = ReadSome(patchFd, input.data() + filled, input.size() - filled);
        if (got < 0) return PatchCause::Unreadable;
        if (got == 0) break;
        filled += static_cast<size_t>(got);
    }
    // The header alone decides, before a byte is decoded.
    ZSTD_frameHeader header{};
    if (ZSTD_getFrameHeader(&header, input.data(), filled) != 0 || header.frameType != ZSTD_frame)
        return PatchCause::NotAFrame;
    if (header.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN) return PatchCause::SizeUnknown;
    if (expectedSize < 0 || header.frameContentSize != static_cast<uint64_t>(expectedSize))
        return PatchCause::WrongSize;
    if (header.windowSize > (uint64_t{1} << kPatchWindowLogMax)) return PatchCause::WindowTooLarge;

    std::unique_ptr<ZSTD_DCtx, DCtxFree> dctx(ZSTD_createDCtx());
    if (!dctx ||
        ZSTD_isError(ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax, kPatchWindowLogMax)))
        return PatchCause::Corrupt;
    if (base.Size() > 0 && ZSTD_isError(ZSTD_DCtx_refPrefix(dctx.get(), base.Data(), base.Size())))
        return PatchCause::Corrupt;

    std::vector<char> output(kOutBlock);
    ZSTD_inBuffer in{input.data(), filled, 0};
    uint64_t produced = 0;
    for (;;) {
        ZSTD_outBuffer out{output.data(), output.size(), 0};
        const size_t left = ZSTD_decompressStream(dctx.get(), &out, &in);
        if (ZSTD_isError(left))
            return ZSTD_getErrorCode(left) == ZSTD_error_frameParameter_windowTooLarge
                       ? PatchCause::WindowTooLarge
                       : PatchCause::Corrupt;
        produced += out.pos;
        if (produced > static_cast<uint64_t>(expectedSize)) return PatchCause::WrongSize;
        if (out.pos > 0 && !sink(output.data(), out.pos)) return PatchCause::WriteFailed;
        if (left == 0) break;
        if (out.pos == out.size || in.pos < in.size) continue;
        const ssize_t got = ReadSome(patchFd, input.data(), input.size());
        if (got < 0) return PatchCause::Unreadable;
        if (got == 0) return PatchCause::Corrupt;  // the frame is cut short
        in = ZSTD_inBuffer{input.data(), static_cast<size_t>(got), 0};
    }
    if (produced != static_cast<uint64_t>(expectedSize)) return PatchCause::WrongSize;
    // One frame and nothing after it: a second frame would be decoded by
    // other tools and make them disagree with this one.
    if (in.pos < in.size) return PatchCause::Corrupt;
    char extra;
    const ssize_t got = ReadSome(patchFd, &extra, 1);
    if (got < 0) return PatchCause::Unreadable;
    return got == 0 ? PatchCause::Ok : PatchCause::Corrupt;
}

std::string Reason(const std::string& what) { return what + ": " + std::strerror(errno); }

// Empty when the frame in patchFd rebuilds `expected` from the base.
std::string CheckFds(int baseFd, int patchFd, const Mapping& expected, const std::string& newPath) {
    uint64_t at = 0;
    bool differs = false;
    const PatchCause cause = Decode(baseFd, patchFd, static_cast<int64_t>(expected.Size()),
                                    [&](const char* data, size_t n) {
                                        differs = std::memcmp(expected.Data() + at, data, n) != 0;
                                        at += n;
                                        return !differs;
                                    });
    if (cause == PatchCause::Ok) return std::string();
    if (differs) return "the frame does not rebuild " + newPath + ": other bytes";
    return "the frame does not rebuild " + newPath + ": " + PatchCauseName(cause);
}

bool SameFile(int fd, const std::string& path) {
    struct stat a {
    }, b{};
    return ::fstat(fd, &a) == 0 && ::stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

// Compresses newPath (with oldPath as prefix unless it is empty) into a new
// file beside outPath, checks it, then renames it to outPath.
std::string Compress(const std::string& oldPath, const std::string& newPath,
                     const std::string& outPath) {
    std::string error;
    Fd newFd(Sys::OpenInputFile(newPath, error));
    if (newFd.get() < 0) return error;
    Fd oldFd(oldPath.empty() ? -1 : Sys::OpenInputFile(oldPath, error));
    if (!oldPath.empty() && oldFd.get() < 0) return error;
    Mapping newBytes, oldBytes;
    if (!newBytes.Map(newFd.get())) return Reason("cannot map " + newPath);
    if (oldFd.get() >= 0 && !oldBytes.Map(oldFd.get())) return Reason("cannot map " + oldPath);
    if (SameFile(newFd.get(), outPath) || (oldFd.get() >= 0 && SameFile(oldFd.get(), outPath)))
        return outPath + " is an input; not replaced";

    std::unique_ptr<ZSTD_CCtx, CCtxFree> cctx(ZSTD_createCCtx());
    if (!cctx) return "cannot create a compressor";
    ZSTD_CCtx* c = cctx.get();
    size_t status = 0;
    auto set = [&](ZSTD_cParameter parameter, int value) {
        if (!ZSTD_isError(status)) status = ZSTD_CCtx_setParameter(c, parameter, value);
    };
    set(ZSTD_c_compressionLevel, kLevel);
    set(ZSTD_c_contentSizeFlag, 1);
    set(ZSTD_c_checksumFlag, 1);
    if (oldFd.get() >= 0) {
        // As the zstd command tunes --patch-from: a window reaching back over
        // a whole new file's length (so into the base at the same offset),
        // and long-distance matching once that window outgrows what the
        // level's match finder covers.
        const uint64_t newSize = std::max<uint64_t>(newBytes.Size(), 1);
        const int fileWindowLog = 64 - __builtin_clzll(newSize);
        const ZSTD_compressionParameters level =
            ZSTD_getCParams(kLevel, newBytes.Size(), oldBytes.Size());
        const int cycleLog =
            static_cast<int>(level.chainLog) - (level.strategy >= ZSTD_btlazy2 ? 1 : 0);
        set(ZSTD_c_windowLog, std::clamp(fileWindowLog, ZSTD_WINDOWLOG_MIN, kPatchWindowLogMax));
        set(ZSTD_c_enableLongDistanceMatching, fileWindowLog > cycleLog ? 1 : 0);
        if (!ZSTD_isError(status) && oldBytes.Size() > 0)
            status = ZSTD_CCtx_refPrefix(c, oldBytes.Data(), oldBytes.Size());
    }
    // The command compresses on one worker thread by default; that path
    // finds long matches into the base that the single-threaded one misses
    // (patches a quarter smaller on installers with scattered changes). A
    // library built without threads refuses it and stays single-threaded.
    if (!ZSTD_isError(status)) ZSTD_CCtx_setParameter(c, ZSTD_c_nbWorkers, 1);
    if (!ZSTD_isError(status)) status = ZSTD_CCtx_setPledgedSrcSize(c, newBytes.Size());
    if (ZSTD_isError(status))
        return std::string("cannot set up the compressor: ") + ZSTD_getErrorName(status);

    std::string temp = outPath + ".XXXXXX";
    Fd out(::mkstemp(temp.data()));
    if (out.get() < 0) return Reason("cannot create a file beside " + outPath);
    auto fail = [&](const std::string& reason) {
        ::unlink(temp.c_str());
        return reason;
    };
    if (::fchmod(out.get(), 0644) != 0) return fail(Reason("cannot write " + temp));
    std::vector<char> block(ZSTD_CStreamOutSize());
    ZSTD_inBuffer in{newBytes.Data(), newBytes.Size(), 0};
    for (;;) {
        ZSTD_outBuffer chunk{block.data(), block.size(), 0};
        const size_t left = ZSTD_compressStream2(c, &chunk, &in, ZSTD_e_end);
        if (ZSTD_isError(left))
            return fail(std::string("cannot compress: ") + ZSTD_getErrorName(left));
        if (!Sys::WriteAll(out.get(), std::string_view(block.data(), chunk.pos)))
            return fail(Reason("cannot write " + temp));
        if (left == 0) break;
    }
    if (::fsync(out.get()) != 0) return fail(Reason("cannot write " + temp));
    if (::lseek(out.get(), 0, SEEK_SET) != 0) return fail(Reason("cannot read " + temp));
    error = CheckFds(oldFd.get(), out.get(), newBytes, newPath);
    if (!error.empty()) return fail(error);
    if (::rename(temp.c_str(), outPath.c_str()) != 0)
        return fail(Reason("cannot rename " + temp + " to " + outPath));
    return std::string();
}

}  // namespace

const char* PatchCauseName(PatchCause cause) {
    switch (cause) {
        case PatchCause::Ok:
            return "ok";
        case PatchCause::Unreadable:
            return "unreadable";
        case PatchCause::NotAFrame:
            return "not-a-frame";
        case PatchCause::SizeUnknown:
            return "size-unknown";
        case PatchCause::WrongSize:
            return "wrong-size";
        case PatchCause::WindowTooLarge:
            return "window";
        case PatchCause::Corrupt:
            return "corrupt";
        case PatchCause::WriteFailed:
            return "write-failed";
    }
    return "unknown";
}

PatchCause ApplyPatch(int baseFd, int patchFd, int outFd, int64_t expectedSize) {
    return Decode(baseFd, patchFd, expectedSize, [outFd](const char* data, size_t n) {
        return Sys::WriteAll(outFd, std::string_view(data, n));
    });
}

std::string MakePatch(const std::string& oldPath, const std::string& newPath,
                      const std::string& patchPath) {
    if (oldPath.empty()) return "no base given";
    return Compress(oldPath, newPath, patchPath);
}

std::string MakePacked(const std::string& installerPath, const std::string& packedPath) {
    return Compress(std::string(), installerPath, packedPath);
}

std::string CheckPatch(const std::string& basePath, const std::string& patchPath,
                       const std::string& newPath) {
    std::string error;
    Fd newFd(Sys::OpenInputFile(newPath, error));
    if (newFd.get() < 0) return error;
    Fd patchFd(Sys::OpenInputFile(patchPath, error));
    if (patchFd.get() < 0) return error;
    Fd baseFd(basePath.empty() ? -1 : Sys::OpenInputFile(basePath, error));
    if (!basePath.empty() && baseFd.get() < 0) return error;
    Mapping newBytes;
    if (!newBytes.Map(newFd.get())) return Reason("cannot map " + newPath);
    error = CheckFds(baseFd.get(), patchFd.get(), newBytes, newPath);
    return error.empty() ? error : patchPath + ": " + error;
}

}  // namespace Transfer
