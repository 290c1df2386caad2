// Processes, program starts, web pages, the single-instance lock.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "platform/CommandLine.h"
#include "platform/LinuxPlatform.h"
#include "platform/RegularFile.h"
#include "platform/Transcript.h"
#include "platform/TrustedFolder.h"

// Last: Xlib defines macros such as Status, Bool and None.
#include <X11/Xlib.h>

extern char** environ;

namespace Sys {

namespace {

// ---------------------------------------------------------------------------
// Children this process started. A child nobody waits for any more is reaped
// later, so that it never stays a zombie for the life of the program.

std::mutex& ChildMutex() {
    static std::mutex m;
    return m;
}
std::set<pid_t>& Children() {
    static std::set<pid_t> children;
    return children;
}

void AddChild(pid_t pid) {
    std::lock_guard<std::mutex> lock(ChildMutex());
    Children().insert(pid);
}

// Reaps `pid` when it is one of ours and has ended; true when it has ended.
bool ReapChild(pid_t pid) {
    std::lock_guard<std::mutex> lock(ChildMutex());
    if (!Children().count(pid)) return false;
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno == ECHILD)) {
        Children().erase(pid);
        return true;
    }
    return false;
}

bool IsChild(pid_t pid) {
    std::lock_guard<std::mutex> lock(ChildMutex());
    return Children().count(pid) != 0;
}

void ReapFinishedChildren() {
    std::lock_guard<std::mutex> lock(ChildMutex());
    for (auto it = Children().begin(); it != Children().end();) {
        int status = 0;
        pid_t r = waitpid(*it, &status, WNOHANG);
        if (r == *it || (r < 0 && errno == ECHILD))
            it = Children().erase(it);
        else
            ++it;
    }
}

// ---------------------------------------------------------------------------
// /proc

std::string ReadSmallFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    if (in) text << in.rdbuf();
    return text.str();
}

// State letter of /proc/PID/stat ('R', 'S', 'Z', ...), 0 when unreadable.
// comm is the text between the first '(' and the last ')': it may hold both.
char ProcessState(pid_t pid, std::string* comm = nullptr) {
    std::string stat = ReadSmallFile("/proc/" + std::to_string(pid) + "/stat");
    size_t open = stat.find('(');
    size_t close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open ||
        close + 2 >= stat.size())
        return 0;
    if (comm) *comm = stat.substr(open + 1, close - open - 1);
    return stat[close + 2];
}

bool Ended(char state) { return state == 0 || state == 'Z' || state == 'X' || state == 'x'; }

int PidfdOpen(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

// A process handle: a pidfd when the kernel has them, else polling.
class ProcessHandle : public WaitHandle {
  public:
    ProcessHandle(pid_t pid, int pidfd) : pid_(pid), pidfd_(pidfd) {}
    ~ProcessHandle() override {
        if (pidfd_ >= 0) close(pidfd_);
        // An unfinished child stays on the list and is reaped later.
        if (ended_) ReapChild(pid_);
    }

    bool Wait(int timeoutMs) override {
        if (ended_) return true;
        using Clock = std::chrono::steady_clock;
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
        for (;;) {
            int remaining = -1;
            if (timeoutMs >= 0) {
                auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                remaining = left.count() > 0 ? static_cast<int>(left.count()) : 0;
            }
            if (pidfd_ >= 0) {
                pollfd p{pidfd_, POLLIN, 0};
                int r = poll(&p, 1, remaining);
                if (r > 0) return Finish();
                if (r == 0) return false;
                if (errno == EINTR) continue;
                // The pidfd went bad: fall back to polling.
                close(pidfd_);
                pidfd_ = -1;
                continue;
            }
            if (GoneNow()) return Finish();
            if (remaining == 0) return false;
            int step = remaining < 0 || remaining > 50 ? 50 : remaining;
            std::this_thread::sleep_for(std::chrono::milliseconds(step));
        }
    }

    uint32_t Pid() const override { return static_cast<uint32_t>(pid_); }

  private:
    bool Finish() {
        ended_ = true;
        ReapChild(pid_);
        return true;
    }
    bool GoneNow() {
        if (IsChild(pid_)) return ReapChild(pid_);
        if (kill(pid_, 0) != 0 && errno == ESRCH) return true;
        return Ended(ProcessState(pid_));
    }

    pid_t pid_;
    int pidfd_;
    bool ended_ = false;
};

std::unique_ptr<WaitHandle> HandleFor(pid_t pid) {
    int fd = PidfdOpen(pid);
    if (fd >= 0) {
        // pidfd_open sets close-on-exec itself; be explicit for older kernels.
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        return std::make_unique<ProcessHandle>(pid, fd);
    }
    if (errno == ESRCH) return nullptr;
    return std::make_unique<ProcessHandle>(pid, -1);
}

// ---------------------------------------------------------------------------
// Program lookup and start

bool IsExecutableFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// A bare name is looked up on PATH, like the shell does.
std::string FindOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        if (dir.empty()) dir = ".";
        std::string candidate = dir + "/" + name;
        if (IsExecutableFile(candidate)) return candidate;
        start = end + 1;
    }
    return {};
}

// A program named by its path is run only when that path is a regular file
// itself, not a link planted in a download's place (nor a FIFO, which
// O_NONBLOCK keeps from blocking the open). Downloaded installers arrive
// without the execute bit: it is set on the file that was checked.
bool PrepareProgramFile(const std::string& path) {
    const int fd = OpenRegularFile(path, O_RDONLY);
    if (fd < 0) return false;
    struct stat st {};
    if (fstat(fd, &st) == 0 && !(st.st_mode & S_IXUSR)) fchmod(fd, (st.st_mode & 07777) | S_IXUSR);
    close(fd);
    return true;
}

std::string Absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char buffer[4096];
    if (!getcwd(buffer, sizeof buffer)) return path;
    return std::string(buffer) + "/" + path;
}

pid_t SpawnProgram(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // The child starts with default signal handling, whatever this process changed.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int s : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD, SIGQUIT}) sigaddset(&defaults, s);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, program.c_str(), nullptr, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    return rc == 0 ? pid : -1;
}

// ---------------------------------------------------------------------------
// X11 through EWMH, loaded at run time: the program needs neither a display
// nor libX11 to run, and most runs (installers, tests) have no display.

class X11 {
  public:
    static X11& Instance() {
        static X11 x;
        return x;
    }

    // Calls `fn(display, root, windows)` for the top-level windows of `pid`
    // when a display answers; false when none does.
    template <typename Fn>
    bool WithWindowsOf(uint32_t pid, Fn fn) {
        const char* name = std::getenv("DISPLAY");
        if (!loaded_ || !name || !*name) return false;
        Display* display = openDisplay_(nullptr);
        if (!display) return false;
        auto oldHandler = setErrorHandler_(&IgnoreErrors);  // windows may vanish meanwhile
        Window root = defaultRootWindow_(display);
        bool wm = false;
        std::vector<Window> windows = WindowsOf(display, root, pid, wm);
        fn(display, root, windows, wm);
        sync_(display, False);
        setErrorHandler_(oldHandler);
        closeDisplay_(display);
        return true;
    }

    void SendClientMessage(Display* d, Window target, Window about, const char* type, long l0,
                           long l1, long mask) {
        XEvent ev;
        std::memset(&ev, 0, sizeof ev);
        ev.xclient.type = ClientMessage;
        ev.xclient.window = about;
        ev.xclient.message_type = internAtom_(d, type, False);
        ev.xclient.format = 32;
        ev.xclient.data.l[0] = l0;
        ev.xclient.data.l[1] = l1;
        sendEvent_(d, target, False, mask, &ev);
    }
    Atom Intern(Display* d, const char* name) { return internAtom_(d, name, False); }
    void Raise(Display* d, Window w) { raiseWindow_(d, w); }

  private:
    X11() {
        lib_ = dlopen("libX11.so.6", RTLD_LAZY | RTLD_LOCAL);
        if (!lib_) return;
        loaded_ = Load(openDisplay_, "XOpenDisplay") && Load(closeDisplay_, "XCloseDisplay") &&
                  Load(defaultRootWindow_, "XDefaultRootWindow") &&
                  Load(internAtom_, "XInternAtom") && Load(getProperty_, "XGetWindowProperty") &&
                  Load(free_, "XFree") && Load(queryTree_, "XQueryTree") &&
                  Load(sendEvent_, "XSendEvent") && Load(sync_, "XSync") &&
                  Load(raiseWindow_, "XRaiseWindow") && Load(setErrorHandler_, "XSetErrorHandler");
    }
    template <typename F>
    bool Load(F& fn, const char* name) {
        fn = reinterpret_cast<F>(dlsym(lib_, name));
        return fn != nullptr;
    }
    static int IgnoreErrors(Display*, XErrorEvent*) { return 0; }

    // Values of a 32-bit list property (windows, cardinals).
    std::vector<unsigned long> ListProperty(Display* d, Window w, const char* name, Atom type) {
        Atom actualType = 0;
        int actualFormat = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        std::vector<unsigned long> out;
        if (getProperty_(d, w, internAtom_(d, name, False), 0, 65536, False, type, &actualType,
                         &actualFormat, &count, &after, &data) == Success &&
            data) {
            if (actualFormat == 32) {
                auto* values = reinterpret_cast<unsigned long*>(data);  // longs in Xlib
                out.assign(values, values + count);
            }
            free_(data);
        }
        return out;
    }

    std::vector<Window> WindowsOf(Display* d, Window root, uint32_t pid, bool& wm) {
        // A window manager lists its client windows; without one, the root's children.
        std::vector<unsigned long> candidates = ListProperty(d, root, "_NET_CLIENT_LIST", 33);
        wm = !candidates.empty();
        if (!wm) {
            Window rootReturn = 0, parent = 0;
            Window* children = nullptr;
            unsigned int count = 0;
            if (queryTree_(d, root, &rootReturn, &parent, &children, &count) && children) {
                candidates.assign(children, children + count);
                free_(children);
            }
        }
        std::vector<Window> out;
        for (unsigned long w : candidates) {
            auto pids = ListProperty(d, w, "_NET_WM_PID", 6 /* XA_CARDINAL */);
            if (!pids.empty() && pids[0] == pid) out.push_back(w);
        }
        return out;
    }

    void* lib_ = nullptr;
    bool loaded_ = false;
    Display* (*openDisplay_)(const char*) = nullptr;
    int (*closeDisplay_)(Display*) = nullptr;
    Window (*defaultRootWindow_)(Display*) = nullptr;
    Atom (*internAtom_)(Display*, const char*, Bool) = nullptr;
    int (*getProperty_)(Display*, Window, Atom, long, long, Bool, Atom, Atom*, int*, unsigned long*,
                        unsigned long*, unsigned char**) = nullptr;
    int (*free_)(void*) = nullptr;
    Status (*queryTree_)(Display*, Window, Window*, Window*, Window**, unsigned int*) = nullptr;
    Status (*sendEvent_)(Display*, Window, Bool, long, XEvent*) = nullptr;
    int (*sync_)(Display*, Bool) = nullptr;
    int (*raiseWindow_)(Display*, Window) = nullptr;
    XErrorHandler (*setErrorHandler_)(XErrorHandler) = nullptr;
};

constexpr long kRootMask = SubstructureNotifyMask | SubstructureRedirectMask;

}  // namespace

// ---------------------------------------------------------------------------

std::vector<ProcessEntry> LinuxPlatform::ListProcesses() {
    ReapFinishedChildren();
    std::vector<ProcessEntry> out;
    DIR* proc = opendir("/proc");
    if (!proc) return out;
    while (dirent* e = readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (pid <= 0 || !end || *end) continue;
        ProcessEntry entry;
        entry.pid = static_cast<uint32_t>(pid);
        // Zombies have ended: only their parent has not collected them yet.
        if (Ended(ProcessState(static_cast<pid_t>(pid), &entry.comm))) continue;
        std::string cmdline = ReadSmallFile("/proc/" + std::to_string(pid) + "/cmdline");
        entry.argv0 = cmdline.substr(0, cmdline.find('\0'));
        out.push_back(std::move(entry));
    }
    closedir(proc);
    return out;
}

std::unique_ptr<WaitHandle> LinuxPlatform::OpenProcess(uint32_t pid) {
    if (pid == 0) return nullptr;
    auto handle = HandleFor(static_cast<pid_t>(pid));
    if (!handle) return nullptr;
    if (Ended(ProcessState(static_cast<pid_t>(pid))) && !IsChild(static_cast<pid_t>(pid)))
        return nullptr;
    return handle;
}

void LinuxPlatform::BringToFront(uint32_t pid) {
    Transcript::Write("foreground", {{"pid", pid}});
    X11& x = X11::Instance();
    x.WithWindowsOf(pid, [&](Display* d, Window root, const std::vector<Window>& windows, bool wm) {
        for (Window w : windows) {
            if (wm)  // source 2: a pager-like request, which window managers honour
                x.SendClientMessage(d, root, w, "_NET_ACTIVE_WINDOW", 2, CurrentTime, kRootMask);
            else
                x.Raise(d, w);
        }
    });
}

void LinuxPlatform::RequestClose(uint32_t pid) {
    Transcript::Write("close-request", {{"pid", pid}});
    X11& x = X11::Instance();
    bool asked = false;
    x.WithWindowsOf(pid, [&](Display* d, Window root, const std::vector<Window>& windows, bool wm) {
        for (Window w : windows) {
            if (wm) {
                x.SendClientMessage(d, root, w, "_NET_CLOSE_WINDOW", CurrentTime, 2, kRootMask);
            } else {
                // No window manager: what it would send on a click of the close box.
                x.SendClientMessage(d, w, w, "WM_PROTOCOLS",
                                    static_cast<long>(x.Intern(d, "WM_DELETE_WINDOW")), CurrentTime,
                                    NoEventMask);
            }
            asked = true;
        }
    });
    // A program without a window on an answering display is asked by signal.
    if (!asked) kill(static_cast<pid_t>(pid), SIGTERM);
}

std::unique_ptr<WaitHandle> LinuxPlatform::Start(const StartRequest& request) {
    // `file` stays the path the user knows; `started` is what really runs.
    nlohmann::json launch = {{"file", request.file},
                             {"parameters", request.parameters},
                             {"verb", request.verb},
                             {"show", request.show},
                             {"wait", request.wait}};
    if (!request.runPath.empty()) launch["started"] = request.runPath;
    Transcript::Write("launch", std::move(launch));
    ReapFinishedChildren();
    const std::string& named = request.runPath.empty() ? request.file : request.runPath;
    if (named.empty()) return nullptr;

    std::string program;
    if (named.find('/') != std::string::npos) {
        program = named;
        // Not from a folder another user could have planted or can change.
        TrustedFolder folder = OpenTrustedFolder(FolderOf(program), false);
        if (!folder.Ok()) {
            ReportFileProblem(folder.Refused(), std::string("not started from an unsafe folder: ") +
                                                    FolderFaultName(folder.Fault()));
            return nullptr;
        }
        if (!PrepareProgramFile(program)) return nullptr;
    } else {
        program = FindOnPath(named);
        if (program.empty()) return nullptr;
    }

    std::vector<std::string> args;
    if (request.verb == "runas" && geteuid() != 0) {
        // pkexec wants an absolute path and runs it with raised rights.
        std::string pkexec = FindOnPath("pkexec");
        if (!pkexec.empty()) {
            args.push_back(pkexec);
            program = Absolute(program);
            args.push_back(program);
            program = pkexec;
        }
    }
    if (args.empty()) args.push_back(program);
    for (auto& p : SplitParameters(request.parameters)) args.push_back(p);

    pid_t pid = SpawnProgram(program, args);
    if (pid <= 0) return nullptr;
    AddChild(pid);
    auto handle = HandleFor(pid);
    return handle;
}

bool LinuxPlatform::OpenUrl(const std::string& target) {
    Transcript::Write("open", {{"target", target}});
    // Detached (double fork) so the browser is never our child; a pipe that
    // close-on-exec shuts tells whether xdg-open could be started.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    pid_t child = fork();
    if (child < 0) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (child == 0) {
        setsid();
        pid_t grandchild = fork();
        if (grandchild == 0) {
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            execlp("xdg-open", "xdg-open", target.c_str(), static_cast<char*>(nullptr));
            int err = errno;
            (void)!write(fds[1], &err, sizeof err);
            _exit(127);
        }
        _exit(grandchild < 0 ? 1 : 0);
    }
    close(fds[1]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int err = 0;
    ssize_t n;
    while ((n = read(fds[0], &err, sizeof err)) < 0 && errno == EINTR) {
    }
    close(fds[0]);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && n == 0;
}

void LinuxPlatform::Beep() { (void)!write(STDERR_FILENO, "\a", 1); }

bool LinuxPlatform::AcquireSingleInstance(const std::string& name) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (lockFd_ >= 0) return true;
    }
    // In this user's own folder, never through a link: a lock file that another
    // user could create first would keep every run out.
    const std::string dir = PrivateFolder();
    TrustedFolder folder = OpenTrustedFolder(dir, false);
    if (dir.empty() || !folder.Ok()) return true;  // no lock to be had: go on as if alone
    // Close-on-exec: an installer or the restarted tax program must not keep it.
    const int fd = OpenRegularFileAt(folder.Fd(), name + ".lock", O_RDWR | O_CREAT, 0600);
    if (fd < 0) return true;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        lockFd_ = fd;  // held until the process ends
        return true;
    }
    int err = errno;
    close(fd);
    return err != EWOULDBLOCK;
}

}  // namespace Sys
