#pragma once
// Opening files in folders others may write to (the all-users data folder,
// Downloads, the state folder): never through a link planted at the path,
// never blocking on a FIFO put there, never a file with a second name
// elsewhere when that matters. One place for the rule, so every opener keeps it.

#include <sys/types.h>

#include <string>
#include <string_view>

namespace Sys {

enum class LinkRule { Refuse, Follow };
enum class NameRule { Any, Single };  // Single: refuse a file with another hard link

// open(2) with `flags` (plus O_CLOEXEC, O_NOCTTY, O_NONBLOCK and, unless links
// are followed, O_NOFOLLOW); the descriptor is kept only when it is a regular
// file (and of one name under NameRule::Single), and is then blocking again.
// -1 otherwise, with errno from open(2) when that failed.
int OpenRegularFile(const std::string& path, int flags, mode_t mode = 0,
                    LinkRule links = LinkRule::Refuse, NameRule names = NameRule::Any);
int OpenRegularFileAt(int folder, const std::string& name, int flags, mode_t mode = 0,
                      LinkRule links = LinkRule::Refuse, NameRule names = NameRule::Any);

// Owns a descriptor and closes it when it goes; -1 owns nothing.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd();
    int get() const { return fd_; }

  private:
    int fd_;
};

// A regular file of the user's own opened for reading, links followed (the
// publisher's inputs); -1 and one line of reason for anything else.
int OpenInputFile(const std::string& path, std::string& error);

// Writes all of `bytes` (retrying short writes and interruptions); false on an error.
bool WriteAll(int fd, std::string_view bytes);

}  // namespace Sys
