#include "platform/TrustedFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <utility>
#include <vector>

#include "platform/Platform.h"
#include "platform/Transcript.h"

namespace Sys {

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

constexpr int kMaxLinks = 40;  // as the kernel allows

// The names of a path in order ("" and "." dropped; ".." kept for the walk).
std::deque<std::string> Names(const std::string& path) {
    std::deque<std::string> names;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string name = path.substr(start, end - start);
        if (!name.empty() && name != ".") names.push_back(std::move(name));
        start = end + 1;
    }
    return names;
}

std::string Absolute(const std::string& path) {
    if (!path.empty() && path.front() == '/') return path;
    std::string here = Current().CurrentFolder();
    return path.empty() ? here : here + "/" + path;
}

// Whether a folder opened by descriptor may be trusted by this user.
FolderFault Judge(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return FolderFault::Unusable;
    if (!S_ISDIR(st.st_mode)) return FolderFault::NotFolder;
    if (st.st_uid != ::geteuid() && st.st_uid != 0) return FolderFault::OtherOwner;
    if (st.st_mode & S_ISVTX) return FolderFault::None;
    // The user's own group may write (user private groups); no one else.
    if ((st.st_mode & S_IWOTH) || ((st.st_mode & S_IWGRP) && st.st_gid != ::getegid()))
        return FolderFault::OthersMayWrite;
    return FolderFault::None;
}

// A link is followed only when this user or root made it (a merged /usr's
// /bin, a home moved elsewhere): those are the user's own layout. A link
// another user made is never followed, wherever it is in the path.
bool OwnLink(const struct stat& st) { return st.st_uid == ::geteuid() || st.st_uid == 0; }

std::string Readlink(int parent, const std::string& name) {
    std::string target(4096, '\0');
    const ssize_t n = ::readlinkat(parent, name.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<size_t>(n) >= target.size()) return std::string();
    target.resize(static_cast<size_t>(n));
    return target;
}

// The walk: a stack of open folders from the root down, each one judged.
class Walk {
  public:
    ~Walk() {
        for (int fd : fds_) ::close(fd);
    }
    bool Start() {
        const int root = ::open("/", kFolderFlags);
        if (root < 0) return Fail(FolderFault::Unusable);
        fds_.push_back(root);
        return Judged(Judge(root));
    }
    bool Step(std::deque<std::string>& todo, bool create, mode_t mode) {
        std::string name = std::move(todo.front());
        todo.pop_front();
        if (name == "..") {
            if (fds_.size() > 1) {
                ::close(fds_.back());
                fds_.pop_back();
                names_.pop_back();
            }
            return true;
        }
        names_.push_back(name);
        int next = ::openat(fds_.back(), name.c_str(), kFolderFlags);
        if (next < 0 && errno == ENOENT && create) {
            // Made by us, so only its mode needs checking afterwards.
            if (::mkdirat(fds_.back(), name.c_str(), mode) == 0 || errno == EEXIST)
                next = ::openat(fds_.back(), name.c_str(), kFolderFlags);
        }
        if (next >= 0) {
            fds_.push_back(next);
            return Judged(Judge(next));
        }
        const int error = errno;
        struct stat st {};
        if (::fstatat(fds_.back(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return Fail(error == ENOENT ? FolderFault::Missing : FolderFault::Unusable);
        if (!S_ISLNK(st.st_mode)) return Fail(FolderFault::NotFolder);
        const std::string target = Readlink(fds_.back(), name);
        if (!OwnLink(st) || ++links_ > kMaxLinks || target.empty()) return Fail(FolderFault::Link);
        // The link's own names take its place in the walk.
        names_.pop_back();
        if (target.front() == '/') {
            while (fds_.size() > 1) {
                ::close(fds_.back());
                fds_.pop_back();
                names_.pop_back();
            }
        }
        std::deque<std::string> more = Names(target);
        todo.insert(todo.begin(), more.begin(), more.end());
        return true;
    }
    int Release() {
        const int fd = fds_.back();
        fds_.pop_back();
        return fd;
    }
    FolderFault Fault() const { return fault_; }
    std::string Where() const {
        std::string where;
        for (const std::string& name : names_) where += "/" + name;
        return where.empty() ? "/" : where;
    }

  private:
    bool Judged(FolderFault fault) { return fault == FolderFault::None || Fail(fault); }
    bool Fail(FolderFault fault) {
        fault_ = fault;
        return false;
    }
    std::vector<int> fds_;
    std::vector<std::string> names_;
    FolderFault fault_ = FolderFault::None;
    int links_ = 0;
};

}  // namespace

TrustedFolder::TrustedFolder(TrustedFolder&& other) noexcept { *this = std::move(other); }

TrustedFolder& TrustedFolder::operator=(TrustedFolder&& other) noexcept {
    if (this == &other) return *this;
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    fault_ = other.fault_;
    refused_ = std::move(other.refused_);
    return *this;
}

TrustedFolder::~TrustedFolder() {
    if (fd_ >= 0) ::close(fd_);
}

TrustedFolder OpenTrustedFolder(const std::string& path, bool create, mode_t mode) {
    TrustedFolder out;
    Walk walk;
    std::deque<std::string> todo = Names(Absolute(path));
    bool ok = walk.Start();
    while (ok && !todo.empty()) ok = walk.Step(todo, create, mode);
    out.fault_ = walk.Fault();
    if (!ok) {
        out.refused_ = walk.Where();
        return out;
    }
    out.fd_ = walk.Release();
    return out;
}

bool Unsafe(FolderFault fault) {
    return fault == FolderFault::Link || fault == FolderFault::OtherOwner ||
           fault == FolderFault::OthersMayWrite;
}

std::string FolderOf(const std::string& filePath) {
    const size_t slash = filePath.rfind('/');
    if (slash == std::string::npos) return "";
    return slash == 0 ? "/" : filePath.substr(0, slash);
}

const char* FolderFaultName(FolderFault fault) {
    switch (fault) {
        case FolderFault::None:
            return "ok";
        case FolderFault::Link:
            return "link";
        case FolderFault::NotFolder:
            return "not-a-folder";
        case FolderFault::OtherOwner:
            return "other-owner";
        case FolderFault::OthersMayWrite:
            return "others-may-write";
        case FolderFault::Missing:
            return "missing";
        case FolderFault::Unusable:
            break;
    }
    return "unusable";
}

std::string UnsafeFolderText(const TrustedFolder& folder) {
    std::string why;
    switch (folder.Fault()) {
        case FolderFault::Link:
            why = "it is a link to another place";
            break;
        case FolderFault::NotFolder:
            why = "it is not a folder";
            break;
        case FolderFault::OtherOwner:
            why = "it belongs to another user";
            break;
        case FolderFault::OthersMayWrite:
            why = "other users may change its contents";
            break;
        case FolderFault::Missing:
            why = "it does not exist";
            break;
        default:
            why = "it cannot be opened or created";
            break;
    }
    return "The Software Manager cannot safely use the folder\n" + folder.Refused() + "\n" + why +
           ".\n\nNothing was downloaded or installed there.";
}

void ReportUnsafeFolder(const TrustedFolder& folder) {
    ReportFileProblem(folder.Refused(),
                      std::string("unsafe folder: ") + FolderFaultName(folder.Fault()));
    Current().ShowMessage(UnsafeFolderText(folder), "Problem Detected", MessageIcon::Exclamation);
}

}  // namespace Sys
