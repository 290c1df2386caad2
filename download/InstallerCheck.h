#pragma once
// The one gate before a downloaded installer runs: a regular file, opened
// without following a link, of exactly the manifest's size, with the
// manifest's SHA-256 when it states one (and it must state one when a
// publisher key is configured). Every check that cannot be made fails.

#include <cstdint>
#include <optional>
#include <string>

#include "data/Manifest.h"

namespace Transfer {

enum class InstallerPhase { Open, Size, Hash };

enum class InstallerCause {
    Ok,
    Missing,               // no file
    NotRegular,            // a link, folder, device or pipe
    Unreadable,            // open or read failed
    SizeUnknown,           // no manifest, or a size of 0 or less
    Empty,                 // 0 bytes
    TooSmall,              // fewer bytes than the manifest's size
    TooLarge,              // more bytes than the manifest's size
    NoHashButKeyRequired,  // a publisher key is configured, the manifest has no SHA256
    BadHash,               // the manifest's SHA256 is not 64 hex digits
    HashMismatch,          // the bytes' SHA-256 differs from the manifest's
};

// What the manifest promises about the installer.
struct InstallerExpectation {
    int64_t size = -1;   // bytes; 0 or less is unknown
    std::string sha256;  // hex, either case; empty when the manifest has none
};
// From a read manifest; no entry promises nothing.
InstallerExpectation ExpectationOf(const Data::UpdateEntry* entry);

struct InstallerVerdict {
    InstallerCause cause = InstallerCause::Unreadable;
    int64_t expectedSize = -1;
    int64_t actualSize = -1;  // -1 when the file could not be examined
    bool webPage = false;     // the file starts with "<": an error or portal page, not a program
    bool setAside = false;    // renamed to NAME.rejected

    bool Ok() const { return cause == InstallerCause::Ok; }
    InstallerPhase Phase() const;
};

// Examines the file, nothing else. The bytes are hashed in blocks.
InstallerVerdict VerifyInstaller(const std::string& path, const InstallerExpectation& expected,
                                 bool keyRequired);

// The gate the flows call before running a file: VerifyInstaller under the
// configured publisher key; a file that no resumed download can mend (wrong
// contents, too long, a web page) is renamed to NAME.rejected, replacing an
// older one, so the next run fetches it afresh.
InstallerVerdict CheckInstaller(const std::string& path, const InstallerExpectation& expected);

std::string RejectedPath(const std::string& path);

// What runs is exactly what was verified: the installer is copied, while it is
// hashed, into a new private folder of this user's (under the platform's
// PrivateFolder), and the copy passes the same gate as CheckInstaller (which
// sets the original aside the same way). The copy is what runs, whatever
// happens to the original afterwards; it is deleted, with its folder, when
// this object goes.
class VerifiedCopy {
  public:
    static VerifiedCopy Make(const std::string& path, const InstallerExpectation& expected);

    VerifiedCopy() = default;
    VerifiedCopy(VerifiedCopy&& other) noexcept;
    VerifiedCopy& operator=(VerifiedCopy&& other) noexcept;
    VerifiedCopy(const VerifiedCopy&) = delete;
    VerifiedCopy& operator=(const VerifiedCopy&) = delete;
    ~VerifiedCopy();

    bool Ok() const { return verdict_.Ok() && !path_.empty(); }
    const InstallerVerdict& Verdict() const { return verdict_; }
    const std::string& Source() const { return source_; }  // the download, as the user knows it
    const std::string& Path() const { return path_; }      // the copy; empty unless Ok()

  private:
    void Remove();
    InstallerVerdict verdict_;
    std::string source_;
    std::string folder_;
    std::string path_;
};

// For messages, logs and the transcript: "hash-mismatch", "too-small", ...
const char* CauseName(InstallerCause cause);

// The user's message for a refused file, naming it (`fileName`) and, for a
// wrong size, the expected and the actual size.
std::string RejectionText(const InstallerVerdict& verdict, const std::string& fileName);

// A file's size and the SHA-256 of its bytes (lower-case hex), read once in
// blocks; nothing when it cannot be read. For the publisher's tool.
struct FileDigest {
    int64_t size = 0;
    std::string sha256;
};
std::optional<FileDigest> DigestFile(const std::string& path);

}  // namespace Transfer
