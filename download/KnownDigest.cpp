#include "download/KnownDigest.h"

#include <map>
#include <mutex>

namespace Transfer {

namespace {

struct Known {
    FileIdentity identity;
    std::string sha256;
};

std::mutex& Lock() {
    static std::mutex mutex;
    return mutex;
}

std::map<std::string, Known>& Digests() {
    static std::map<std::string, Known> digests;
    return digests;
}

bool Same(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

FileIdentity FileIdentity::Of(const struct stat& st) {
    return {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

bool FileIdentity::operator==(const FileIdentity& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           Same(modified, other.modified) && Same(changed, other.changed);
}

void RememberDigest(const std::string& path, int fd, const std::string& sha256) {
    struct stat st {};
    std::lock_guard<std::mutex> lock(Lock());
    if (sha256.empty() || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        Digests().erase(path);
        return;
    }
    Digests()[path] = {FileIdentity::Of(st), sha256};
}

std::optional<std::string> KnownDigest(const std::string& path, const struct stat& st) {
    std::lock_guard<std::mutex> lock(Lock());
    auto it = Digests().find(path);
    if (it == Digests().end()) return std::nullopt;
    if (!(it->second.identity == FileIdentity::Of(st))) {
        Digests().erase(it);
        return std::nullopt;
    }
    return it->second.sha256;
}

}  // namespace Transfer
