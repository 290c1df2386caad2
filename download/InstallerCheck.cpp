#include "download/InstallerCheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>
#include <vector>

#include "data/PublisherKey.h"
#include "data/Sha256.h"
#include "download/KnownDigest.h"
#include "platform/Platform.h"
#include "platform/RegularFile.h"
#include "platform/TrustedFolder.h"

namespace Transfer {

using Sys::Fd;

namespace {

// Reads the open file to its end in blocks, writing each block to `copy`
// too when it is open (the copy then holds exactly the bytes hashed); false
// on a read or write error, a crypto library that cannot hash, or when the
// count differs from `size` (the file changed; -1 takes any count). `total`
// receives the count, `hex` the SHA-256 in lower-case hex.
bool HashOpenFile(int fd, int64_t size, std::string& hex, int64_t& total, int copy = -1,
                  bool hashing = true) {
    if (hashing && !Data::CryptoReady()) return false;
    Data::Sha256 hash;
    std::vector<unsigned char> block(Data::kHashBlockBytes);
    total = 0;
    for (;;) {
        const ssize_t got = ::read(fd, block.data(), block.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
        if (hashing) hash.Update(block.data(), static_cast<size_t>(got));
        if (copy >= 0 &&
            !Sys::WriteAll(copy, std::string_view(reinterpret_cast<const char*>(block.data()),
                                                  static_cast<size_t>(got))))
            return false;
        total += got;
    }
    if (hashing) hex = hash.HexDigest();
    return (!hashing || !hex.empty()) && (size < 0 || total == size);
}

// 64 hex digits, either case, turned to lower case; empty when it is not.
std::string NormalHash(const std::string& text) {
    if (text.size() != 2 * Data::kSha256Bytes) return std::string();
    std::string out;
    for (char c : text) {
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::string();
        out += c;
    }
    return out;
}

bool StartsWithAngle(int fd) {
    char first = 0;
    return ::pread(fd, &first, 1, 0) == 1 && first == '<';
}

// Files that a resumed download can never mend.
bool NeedsSettingAside(const InstallerVerdict& verdict) {
    switch (verdict.cause) {
        case InstallerCause::HashMismatch:
        case InstallerCause::TooLarge:
            return true;
        case InstallerCause::Empty:
        case InstallerCause::TooSmall:
            return verdict.webPage;
        default:
            return false;
    }
}

}  // namespace

InstallerExpectation ExpectationOf(const Data::UpdateEntry* entry) {
    if (!entry) return {};
    return {entry->size, entry->sha256};
}

InstallerPhase InstallerVerdict::Phase() const {
    switch (cause) {
        case InstallerCause::Missing:
        case InstallerCause::NotRegular:
        case InstallerCause::Unreadable:
            return InstallerPhase::Open;
        case InstallerCause::NoHashButKeyRequired:
        case InstallerCause::BadHash:
        case InstallerCause::HashMismatch:
        case InstallerCause::Ok:
            return InstallerPhase::Hash;
        default:
            return InstallerPhase::Size;
    }
}

namespace {

// The checks on an open file; with `copy` open, its bytes are copied there as
// they are hashed.
InstallerVerdict VerifyOpenInstaller(const std::string& path, int fd,
                                     const InstallerExpectation& expected, bool keyRequired,
                                     int copy) {
    InstallerVerdict verdict;
    verdict.expectedSize = expected.size;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        verdict.cause = InstallerCause::Unreadable;
        return verdict;
    }
    if (!S_ISREG(st.st_mode)) {
        verdict.cause = InstallerCause::NotRegular;
        return verdict;
    }
    verdict.actualSize = static_cast<int64_t>(st.st_size);
    verdict.webPage = StartsWithAngle(fd);

    if (expected.size <= 0) {
        verdict.cause = InstallerCause::SizeUnknown;
        return verdict;
    }
    if (verdict.actualSize != expected.size) {
        verdict.cause = verdict.actualSize == 0              ? InstallerCause::Empty
                        : verdict.actualSize < expected.size ? InstallerCause::TooSmall
                                                             : InstallerCause::TooLarge;
        return verdict;
    }
    const std::string wanted = NormalHash(expected.sha256);
    if (expected.sha256.empty() && keyRequired) {
        verdict.cause = InstallerCause::NoHashButKeyRequired;
        return verdict;
    }
    if (!expected.sha256.empty() && wanted.empty()) {
        verdict.cause = InstallerCause::BadHash;
        return verdict;
    }
    // Without a hash to compare, only a copy needs the bytes read.
    if (wanted.empty() && copy < 0) {
        verdict.cause = InstallerCause::Ok;
        return verdict;
    }
    // A download of this run was hashed as it arrived: unchanged since, its
    // bytes need not be hashed again (a copy is still made of them).
    std::optional<std::string> known = wanted.empty() ? std::nullopt : KnownDigest(path, st);
    std::string digest = known.value_or(std::string());
    int64_t hashed = 0;
    std::string unused;
    if (known && copy < 0) {
        verdict.cause = digest == wanted ? InstallerCause::Ok : InstallerCause::HashMismatch;
        return verdict;
    }
    // Without a hash to compare, a copy is only copied.
    if (!HashOpenFile(fd, verdict.actualSize, known ? unused : digest, hashed, copy,
                      !wanted.empty() && !known)) {
        verdict.cause = InstallerCause::Unreadable;
        return verdict;
    }
    // Copied from a known file: nothing may have written it meanwhile.
    struct stat after {};
    if (known && (::fstat(fd, &after) != 0 || !(FileIdentity::Of(after) == FileIdentity::Of(st)))) {
        verdict.cause = InstallerCause::Unreadable;
        return verdict;
    }
    verdict.cause =
        wanted.empty() || digest == wanted ? InstallerCause::Ok : InstallerCause::HashMismatch;
    return verdict;
}

// Not through a link, and without hanging on a pipe someone put in its place.
int OpenInstaller(const std::string& path, InstallerVerdict& verdict) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        verdict.cause = errno == ENOENT  ? InstallerCause::Missing
                        : errno == ELOOP ? InstallerCause::NotRegular
                                         : InstallerCause::Unreadable;
    }
    return fd;
}

// A file that no resumed download can mend is set aside, so the next run
// fetches it afresh; the cause stays on record for whoever reads the output.
void SetAsideAndReport(const std::string& path, InstallerVerdict& verdict) {
    if (NeedsSettingAside(verdict))
        verdict.setAside = std::rename(path.c_str(), RejectedPath(path).c_str()) == 0;
    if (verdict.Ok()) return;
    std::fprintf(stderr, "tessra-swm: not running %s: %s (expected %lld bytes, found %lld)%s\n",
                 path.c_str(), CauseName(verdict.cause),
                 static_cast<long long>(verdict.expectedSize),
                 static_cast<long long>(verdict.actualSize), verdict.setAside ? ", set aside" : "");
}

}  // namespace

InstallerVerdict VerifyInstaller(const std::string& path, const InstallerExpectation& expected,
                                 bool keyRequired) {
    InstallerVerdict verdict;
    verdict.expectedSize = expected.size;
    Fd fd(OpenInstaller(path, verdict));
    if (fd.get() < 0) return verdict;
    return VerifyOpenInstaller(path, fd.get(), expected, keyRequired, -1);
}

std::string RejectedPath(const std::string& path) { return path + ".rejected"; }

InstallerVerdict CheckInstaller(const std::string& path, const InstallerExpectation& expected) {
    const Data::PublisherKey key = Data::LoadPublisherKey();
    InstallerVerdict verdict = VerifyInstaller(path, expected, key.Required());
    SetAsideAndReport(path, verdict);
    return verdict;
}

VerifiedCopy::VerifiedCopy(VerifiedCopy&& other) noexcept { *this = std::move(other); }

VerifiedCopy& VerifiedCopy::operator=(VerifiedCopy&& other) noexcept {
    if (this == &other) return *this;
    Remove();
    verdict_ = other.verdict_;
    source_ = std::move(other.source_);
    folder_ = std::exchange(other.folder_, std::string());
    path_ = std::exchange(other.path_, std::string());
    return *this;
}

VerifiedCopy::~VerifiedCopy() { Remove(); }

void VerifiedCopy::Remove() {
    if (!path_.empty()) ::unlink(path_.c_str());
    if (!folder_.empty()) ::rmdir(folder_.c_str());
    path_.clear();
    folder_.clear();
}

VerifiedCopy VerifiedCopy::Make(const std::string& path, const InstallerExpectation& expected) {
    VerifiedCopy out;
    out.source_ = path;
    out.verdict_.expectedSize = expected.size;
    Fd source(OpenInstaller(path, out.verdict_));
    if (source.get() < 0) {
        SetAsideAndReport(path, out.verdict_);
        return out;
    }
    // A new folder of this user's that no one else can enter, made afresh for
    // every run, in a folder whose whole chain is this user's own.
    const std::string home = Sys::Current().PrivateFolder();
    std::string folder = home + "/run-XXXXXX";
    const Sys::TrustedFolder trusted = Sys::OpenTrustedFolder(home, true, 0700);
    if (home.empty() || !trusted.Ok() || !::mkdtemp(folder.data())) {
        out.verdict_.cause = InstallerCause::Unreadable;
        SetAsideAndReport(path, out.verdict_);
        return out;
    }
    out.folder_ = folder;
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string copyPath = folder + "/" + (name.empty() ? "installer" : name);
    Fd copy(::open(copyPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700));
    if (copy.get() < 0) {
        out.verdict_.cause = InstallerCause::Unreadable;
        SetAsideAndReport(path, out.verdict_);
        return out;
    }
    out.path_ = copyPath;
    const Data::PublisherKey key = Data::LoadPublisherKey();
    out.verdict_ = VerifyOpenInstaller(path, source.get(), expected, key.Required(), copy.get());
    SetAsideAndReport(path, out.verdict_);
    if (!out.verdict_.Ok()) out.Remove();
    return out;
}

const char* CauseName(InstallerCause cause) {
    switch (cause) {
        case InstallerCause::Ok:
            return "ok";
        case InstallerCause::Missing:
            return "missing";
        case InstallerCause::NotRegular:
            return "not-regular";
        case InstallerCause::Unreadable:
            return "unreadable";
        case InstallerCause::SizeUnknown:
            return "size-unknown";
        case InstallerCause::Empty:
            return "empty";
        case InstallerCause::TooSmall:
            return "too-small";
        case InstallerCause::TooLarge:
            return "too-large";
        case InstallerCause::NoHashButKeyRequired:
            return "no-hash";
        case InstallerCause::BadHash:
            return "bad-hash";
        case InstallerCause::HashMismatch:
            return "hash-mismatch";
    }
    return "unknown";
}

std::string RejectionText(const InstallerVerdict& verdict, const std::string& fileName) {
    const std::string sizes = "it has " + std::to_string(verdict.actualSize) +
                              " bytes, but the update server stated " +
                              std::to_string(verdict.expectedSize) + " bytes.";
    std::string text;
    switch (verdict.cause) {
        case InstallerCause::Ok:
            return std::string();
        case InstallerCause::Missing:
            text = "The download " + fileName + " is missing.";
            break;
        case InstallerCause::NotRegular:
            text = "The download " + fileName + " is not a regular file.";
            break;
        case InstallerCause::Unreadable:
            text = "The download " + fileName + " could not be read.";
            break;
        case InstallerCause::SizeUnknown:
            text = "The download " + fileName +
                   " cannot be checked: the update server did not state its size.";
            break;
        case InstallerCause::Empty:
        case InstallerCause::TooSmall:
            text = "The download " + fileName + " is incomplete: " + sizes;
            break;
        case InstallerCause::TooLarge:
            text = "The download " + fileName + " is larger than expected: " + sizes;
            break;
        case InstallerCause::NoHashButKeyRequired:
            text = "The download " + fileName +
                   " cannot be verified: the update server did not state its checksum.";
            break;
        case InstallerCause::BadHash:
            text = "The download " + fileName +
                   " cannot be verified: the update server's checksum is not readable.";
            break;
        case InstallerCause::HashMismatch:
            text = "The download " + fileName +
                   " is damaged: its contents do not match the update server's checksum.";
            break;
    }
    if (verdict.webPage) text += "\nIt is a web page, not an installer.";
    text += "\n\nIt was not installed. ";
    if (verdict.setAside)
        text += "It has been set aside and will be downloaded again next time.";
    else if (verdict.cause == InstallerCause::Empty || verdict.cause == InstallerCause::TooSmall)
        text += "Please try again later; the download will go on where it stopped.";
    else
        text += "Please try again later.";
    return text;
}

std::optional<FileDigest> DigestFile(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    FileDigest out;
    if (!HashOpenFile(fd.get(), -1, out.sha256, out.size)) return std::nullopt;
    return out;
}

}  // namespace Transfer
