#include "platform/DeadlineChild.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace Sys {

namespace {

constexpr int kNoAnswer = 1;

// In the child: only the answer's pipe stays open, so no copy of another
// pipe, socket or lock of the parent lives on in it.
void KeepOnly(int fd) {
    if (fd > 3) ::close_range(3, static_cast<unsigned>(fd) - 1, 0);
    ::close_range(static_cast<unsigned>(fd) + 1, ~0U, 0);
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

[[noreturn]] void RunChild(int fd, const std::function<std::optional<std::string>()>& work) {
    KeepOnly(fd);
    std::optional<std::string> answer = work();
    // _exit: the parent's exit handlers and buffered streams are not the child's to run.
    ::_exit(answer && WriteAll(fd, *answer) ? 0 : kNoAnswer);
}

int Reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

}  // namespace

std::optional<std::string> AnswerFromChild(const std::function<std::optional<std::string>()>& work,
                                           std::chrono::milliseconds deadline, size_t maxBytes) {
    using Clock = std::chrono::steady_clock;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return std::nullopt;
    }
    if (pid == 0) RunChild(fds[1], work);
    ::close(fds[1]);

    const Clock::time_point end = Clock::now() + deadline;
    std::string answer;
    bool complete = false;
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0) break;
        pollfd ready{fds[0], POLLIN, 0};
        const int polled = ::poll(&ready, 1, static_cast<int>(left.count()));
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) break;
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        if (n == 0) {
            complete = true;
            break;
        }
        if (answer.size() + static_cast<size_t>(n) > maxBytes) break;
        answer.append(buffer, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    // A child that has not finished its answer gets no second chance.
    if (!complete) ::kill(pid, SIGKILL);
    const int status = Reap(pid);
    if (!complete || status < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    return answer;
}

}  // namespace Sys
