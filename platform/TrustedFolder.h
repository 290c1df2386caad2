#pragma once
// Folders another user could plant or swap. A path is trusted folder by
// folder, not only at its last name: it is walked by descriptor from the root,
// and every folder on the way must belong to this user or to root and be
// writable by nobody else unless it is sticky (as /tmp is, where others cannot
// rename or delete what is ours). A link on the way is followed only when this
// user or root made it, its target walked by the same rules; a link another
// user made is refused. Once a chain passes, no other user can change what
// its names lead to.

#include <sys/types.h>

#include <string>

namespace Sys {

enum class FolderFault {
    None,
    Link,            // a link another user made (or too many links)
    NotFolder,       // a file or something else
    OtherOwner,      // belongs to another user
    OthersMayWrite,  // writable by other users without the sticky bit
    Missing,         // absent, and not to be created
    Unusable,        // cannot be opened or created
};

class TrustedFolder {
  public:
    TrustedFolder() = default;
    TrustedFolder(TrustedFolder&& other) noexcept;
    TrustedFolder& operator=(TrustedFolder&& other) noexcept;
    TrustedFolder(const TrustedFolder&) = delete;
    TrustedFolder& operator=(const TrustedFolder&) = delete;
    ~TrustedFolder();

    bool Ok() const { return fd_ >= 0; }
    int Fd() const { return fd_; }  // the last folder, open for openat(2)
    FolderFault Fault() const { return fault_; }
    const std::string& Refused() const { return refused_; }  // the folder that failed

  private:
    friend TrustedFolder OpenTrustedFolder(const std::string&, bool, mode_t);
    int fd_ = -1;
    FolderFault fault_ = FolderFault::Unusable;
    std::string refused_;
};

// Walks `path` from "/" (a relative path from the working folder), creating
// missing folders with `mode` when `create` is set; ".." goes back up the
// chain already walked.
TrustedFolder OpenTrustedFolder(const std::string& path, bool create, mode_t mode = 0755);

// A fault another user could have caused (a link, another owner, others may
// write), as opposed to a folder that is simply missing or cannot be made.
bool Unsafe(FolderFault fault);

// The folder part of a file path ("" for a bare name: the working folder).
std::string FolderOf(const std::string& filePath);

// "link", "other-owner", ... for logs and the transcript.
const char* FolderFaultName(FolderFault fault);
// The user's message: which folder, and why it is not used.
std::string UnsafeFolderText(const TrustedFolder& folder);
// Shows UnsafeFolderText under "Problem Detected" and puts the cause in the support log.
void ReportUnsafeFolder(const TrustedFolder& folder);

}  // namespace Sys
