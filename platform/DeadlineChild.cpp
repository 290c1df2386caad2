#include "platform/DeadlineChild.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace Sys {

namespace {

constexpr int kNoAnswer = 1;

// The sanitizers reserve terabytes of address space up front and map more as
// they go: an address-space bound would break them, not the script.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SWM_CHILD_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define SWM_CHILD_SANITIZED 1
#endif
#endif

// What the work may add to the address space it inherits: the inherited part
// (libraries, thread stacks, the parent's malloc arenas) varies with the
// parent, so a fixed total could starve a lookup. A proxy script needs a few
// MiB; a hostile one meets this bound long before the machine's memory.
constexpr std::uint64_t kAddressRoom = 512ULL << 20;
// CPU seconds beyond the deadline: the parent's kill normally comes first;
// this ends a spinning child whose parent died before it could kill it.
constexpr rlim_t kCpuSecondsPastDeadline = 3;

// The inherited address space, from /proc (read before the fork: the child
// of a threaded process should call little). 0 when unknown.
std::uint64_t AddressSpaceInUse() {
    const int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[64];
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    std::uint64_t pages = 0;
    for (ssize_t i = 0; i < n && text[i] >= '0' && text[i] <= '9'; ++i)
        pages = pages * 10 + static_cast<std::uint64_t>(text[i] - '0');
    return pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

struct ChildLimits {
    std::uint64_t addressSpace = 0;  // bytes; 0: not bounded
    rlim_t cpuSeconds = 0;
};

ChildLimits LimitsFor(std::chrono::milliseconds deadline) {
    ChildLimits limits;
#ifndef SWM_CHILD_SANITIZED
    if (const std::uint64_t inUse = AddressSpaceInUse()) limits.addressSpace = inUse + kAddressRoom;
#endif
    const auto seconds = std::chrono::ceil<std::chrono::seconds>(deadline).count();
    limits.cpuSeconds = static_cast<rlim_t>(seconds > 0 ? seconds : 0) + kCpuSecondsPastDeadline;
    return limits;
}

// Going over is a failed lookup like a late answer: an allocation fails (an
// exception or the engine's own error) or SIGXCPU ends the child. No core
// file: a child killed at a multi-GiB bound must not fill the disk either.
void ApplyLimits(const ChildLimits& limits) {
    if (limits.addressSpace) {
        const rlimit as{limits.addressSpace, limits.addressSpace};
        ::setrlimit(RLIMIT_AS, &as);
    }
    const rlimit cpu{limits.cpuSeconds, limits.cpuSeconds + 1};
    ::setrlimit(RLIMIT_CPU, &cpu);
    const rlimit core{0, 0};
    ::setrlimit(RLIMIT_CORE, &core);
}

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

[[noreturn]] void RunChild(int fd, const std::function<std::optional<std::string>()>& work,
                           const ChildLimits& limits) {
    ApplyLimits(limits);
    KeepOnly(fd);
    std::optional<std::string> answer;
    try {
        answer = work();
    } catch (...) {
        // Above all std::bad_alloc at the address-space bound: no answer, quietly.
        answer.reset();
    }
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
    const ChildLimits limits = LimitsFor(deadline);
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return std::nullopt;
    }
    if (pid == 0) RunChild(fds[1], work, limits);
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
