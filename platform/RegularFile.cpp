#include "platform/RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Sys {

int OpenRegularFileAt(int folder, const std::string& name, int flags, mode_t mode, LinkRule links,
                      NameRule names) {
    flags |= O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    if (links == LinkRule::Refuse) flags |= O_NOFOLLOW;
    const int fd = ::openat(folder, name.c_str(), flags, mode);
    if (fd < 0) return -1;
    struct stat st {};
    const int status = ::fcntl(fd, F_GETFL);
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        (names == NameRule::Single && st.st_nlink > 1) || status < 0 ||
        ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int OpenRegularFile(const std::string& path, int flags, mode_t mode, LinkRule links,
                    NameRule names) {
    return OpenRegularFileAt(AT_FDCWD, path, flags, mode, links, names);
}

int OpenInputFile(const std::string& path, std::string& error) {
    errno = 0;
    const int fd = OpenRegularFile(path, O_RDONLY, 0, LinkRule::Follow);
    if (fd < 0)
        error = errno != 0 ? "cannot open " + path + ": " + std::strerror(errno)
                           : path + " is not a regular file";
    return fd;
}

Fd::~Fd() {
    if (fd_ >= 0) ::close(fd_);
}

bool WriteAll(int fd, std::string_view bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace Sys
