#pragma once
// ServerProcess: runs tessra-update-server as a child process for tests. Header-only, no test
// framework needed.
//
//   #include "tests/integration/server/ServerProcess.h"
//
//   ServerTest::ServerProcess server({"--root", root, "--log", logFile, "--stall-after", "0"});
//   if (!server.Start()) FAIL() << server.Error();   // waits for "listening on PORT"
//   server.Port();                        // the ephemeral port it printed
//   server.Url("/updates/ver.txt");       // "http://127.0.0.1:PORT/updates/ver.txt"
//   server.ProxyAddress();                // "127.0.0.1:PORT", for use as an HTTP proxy
//   int status = server.Stop();           // SIGTERM, then waits; 0 after a clean stop
//
// Start(): "--port 0" is added unless the arguments name a port; "--bind" is left to the
//   server's default (127.0.0.1). False (with Error()) when the binary cannot be run or does not
//   announce its port within the timeout.
// Stop(signal = SIGTERM, timeout = 10 s): returns the exit code, 128 + n when signal n ended it,
//   -1 when it had to be killed after the timeout or was never started. The destructor stops a
//   running server the same way. The child also gets SIGTERM if the test process dies (the
//   thread that called Start() must live as long as the server).
// Pid(), Running().
//
// The binary: the constructor's second argument, else the environment variable
// TESSRA_UPDATE_SERVER, else the macro TESSRA_UPDATE_SERVER_PATH, which a test target defines:
//   target_compile_definitions(my_tests PRIVATE
//       TESSRA_UPDATE_SERVER_PATH="$<TARGET_FILE:tessra-update-server>")
//   add_dependencies(my_tests tessra-update-server)
//
// Request log (--log FILE, one JSON object a line):
//   ServerProcess::ReadLines(file)                  all complete lines
//   ServerProcess::WaitForLines(file, n, timeout)   the lines once there are at least n (or what
//                                                   there is after the timeout)
// The server writes a line after the answer has gone out, so a client can finish before its
// line exists: wait for it rather than reading once.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace ServerTest {

class ServerProcess {
  public:
    explicit ServerProcess(std::vector<std::string> args, std::string binary = DefaultBinary())
        : args_(std::move(args)), binary_(std::move(binary)) {}
    ~ServerProcess() { Stop(); }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    static std::string DefaultBinary() {
        if (const char* env = std::getenv("TESSRA_UPDATE_SERVER"); env && *env) return env;
#ifdef TESSRA_UPDATE_SERVER_PATH
        return TESSRA_UPDATE_SERVER_PATH;
#else
        return "tessra-update-server";
#endif
    }

    bool Start(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        if (pid_ > 0) return true;
        std::vector<std::string> args{FindProgram(binary_)};
        bool hasPort = false;
        for (const auto& a : args_)
            hasPort = hasPort || a == "--port" || a.rfind("--port=", 0) == 0;
        args.insert(args.end(), args_.begin(), args_.end());
        if (!hasPort) args.insert(args.end(), {"--port", "0"});
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);

        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return Fail("pipe failed");
        pid_t parent = getpid();
        pid_t pid = fork();
        if (pid < 0) {
            close(out[0]);
            close(out[1]);
            return Fail("fork failed");
        }
        if (pid == 0) {
            // Only async-signal-safe calls between fork and exec.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent) _exit(127);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            dup2(out[1], STDOUT_FILENO);  // dup2 clears close-on-exec on the copy
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        pid_ = pid;
        out_ = out[0];

        std::string line;
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (line.find('\n') == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return FailAndKill("no port announced in time: " + line);
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char buf[256];
            ssize_t n = read(out_, buf, sizeof buf);
            if (n <= 0) return FailAndKill("server ended before announcing its port: " + line);
            line.append(buf, static_cast<size_t>(n));
        }
        line.erase(line.find('\n'));
        const std::string prefix = "listening on ";
        if (line.rfind(prefix, 0) != 0) return FailAndKill("unexpected first line: " + line);
        port_ = std::atoi(line.c_str() + prefix.size());
        if (port_ <= 0) return FailAndKill("bad port in: " + line);
        return true;
    }

    int Stop(int sig = SIGTERM, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        if (pid_ <= 0) return status_;
        kill(pid_, sig);
        int raw = 0;
        auto deadline = std::chrono::steady_clock::now() + timeout;
        pid_t done = 0;
        while ((done = waitpid(pid_, &raw, WNOHANG)) == 0 &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (done == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &raw, 0);
            status_ = -1;
        } else if (done < 0) {
            status_ = -1;
        } else if (WIFEXITED(raw)) {
            status_ = WEXITSTATUS(raw);
        } else if (WIFSIGNALED(raw)) {
            status_ = 128 + WTERMSIG(raw);
        }
        pid_ = -1;
        CloseOutput();
        return status_;
    }

    bool Running() const {
        if (pid_ <= 0) return false;
        siginfo_t info{};
        return waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == 0;
    }
    pid_t Pid() const { return pid_; }
    int Port() const { return port_; }
    const std::string& Error() const { return error_; }
    std::string ProxyAddress() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string Url(const std::string& path) const { return "http://" + ProxyAddress() + path; }

    static std::vector<std::string> ReadLines(const std::string& file) {
        std::vector<std::string> lines;
        std::ifstream in(file, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        size_t pos = 0;
        for (size_t end; (end = text.find('\n', pos)) != std::string::npos; pos = end + 1) {
            lines.push_back(text.substr(pos, end - pos));  // a line still being written is left out
        }
        return lines;
    }

    static std::vector<std::string> WaitForLines(
        const std::string& file, size_t count,
        std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        auto lines = ReadLines(file);
        while (lines.size() < count && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            lines = ReadLines(file);
        }
        return lines;
    }

  private:
    // A name without a slash is looked up in PATH here, before fork.
    static std::string FindProgram(const std::string& name) {
        if (name.find('/') != std::string::npos) return name;
        const char* path = std::getenv("PATH");
        std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
        size_t pos = 0;
        while (pos <= dirs.size()) {
            size_t end = dirs.find(':', pos);
            if (end == std::string::npos) end = dirs.size();
            std::string candidate = dirs.substr(pos, end - pos);
            candidate = (candidate.empty() ? "." : candidate) + "/" + name;
            if (access(candidate.c_str(), X_OK) == 0) return candidate;
            pos = end + 1;
        }
        return name;
    }

    bool Fail(const std::string& error) {
        error_ = error;
        return false;
    }
    bool FailAndKill(const std::string& error) {
        Stop(SIGKILL);
        return Fail(error);
    }
    void CloseOutput() {
        if (out_ >= 0) close(out_);
        out_ = -1;
    }

    std::vector<std::string> args_;
    std::string binary_;
    pid_t pid_ = -1;
    int out_ = -1;
    int port_ = -1;
    int status_ = -1;
    std::string error_;
};

}  // namespace ServerTest
