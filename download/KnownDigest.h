#pragma once
// SHA-256 taken at the speed of the wire: a download with a SHA256 to check is
// hashed as its bytes arrive (the resumed part first), and the digest is kept
// with the file's identity. The check before it runs then need not read and
// hash it again, as long as nothing has written the file since: its inode,
// size, modification and change times are the same. Only this process's own
// downloads are known; anything else is hashed from the file as always.

#include <sys/stat.h>

#include <optional>
#include <string>

namespace Transfer {

// What identifies a file's contents without reading them (ctime cannot be set
// back by anyone but root).
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec modified {};
    struct timespec changed {};

    static FileIdentity Of(const struct stat& st);
    bool operator==(const FileIdentity& other) const;
};

// Remembers the digest of the file at `path` as it stands now (an open descriptor
// of it, after its last byte was written and flushed).
void RememberDigest(const std::string& path, int fd, const std::string& sha256);
// The digest remembered for `path` when the open file is still the one it was
// taken of; nothing otherwise (and the entry is dropped).
std::optional<std::string> KnownDigest(const std::string& path, const struct stat& st);

}  // namespace Transfer
