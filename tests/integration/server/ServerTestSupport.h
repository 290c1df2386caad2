#pragma once
// Helpers for the server tests: a scratch folder, file contents, and the curl command line.

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "tests/support/TestFiles.h"

namespace ServerTest {

using TestSupport::RandomBytes;
using TestSupport::ReadFile;
using TestSupport::TempDir;
using TestSupport::WriteFile;

// A child process with its standard output read into a string.
class Child {
  public:
    // stdout of the child goes to a pipe read by Wait(); stderr is dropped. Proxy variables are
    // removed so that curl talks to 127.0.0.1 directly unless told otherwise.
    explicit Child(std::vector<std::string> args) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY",
                                     "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
                unsetenv(name);
            }
            int null = open("/dev/null", O_WRONLY);
            dup2(out[1], STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        out_ = out[0];
    }
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            Wait();
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Exit code, or 128 + n when signal n ended it; a child still running after the timeout is
    // killed, so a misbehaving server cannot hang the suite.
    int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (out_ >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{out_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) == 0) {
                if (pid_ > 0) kill(pid_, SIGKILL);
                deadline = std::chrono::steady_clock::now() + timeout;
                continue;
            }
            char buf[4096];
            ssize_t n = read(out_, buf, sizeof buf);
            if (n > 0) {
                output_.append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(out_);
                out_ = -1;
            }
        }
        if (pid_ <= 0) return status_;
        int raw = 0;
        waitpid(pid_, &raw, 0);
        pid_ = -1;
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        return status_;
    }
    const std::string& Output() const { return output_; }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    int status_ = -1;
    std::string output_;
};

struct Result {
    int exitCode;
    std::string output;
};

// Compares byte strings without printing megabytes of them on failure.
inline ::testing::AssertionResult SameBytes(const std::string& got, const std::string& want) {
    if (got == want) return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
    return ::testing::AssertionFailure() << "got " << got.size() << " bytes, want " << want.size()
                                         << ", first difference at " << at;
}

inline std::vector<std::string> CurlArgs(const std::vector<std::string>& args) {
    // -q first: no ~/.curlrc. --max-time keeps a wrong server from hanging the suite.
    std::vector<std::string> all{"curl", "-q", "-s", "--max-time", "20"};
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

inline Result Curl(const std::vector<std::string>& args) {
    Child child(CurlArgs(args));
    int code = child.Wait();
    return {code, child.Output()};
}

inline Result RunCommand(const std::vector<std::string>& args) {
    Child child(args);
    int code = child.Wait();
    return {code, child.Output()};
}

// The value of a header in curl's -D output (last answer), or "" when missing.
inline std::string HeaderValue(const std::string& headers, const std::string& name) {
    std::string value;
    size_t pos = 0;
    while (pos < headers.size()) {
        size_t end = headers.find('\n', pos);
        if (end == std::string::npos) end = headers.size();
        std::string line = headers.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() > name.size() && line[name.size()] == ':' &&
            strncasecmp(line.c_str(), name.c_str(), name.size()) == 0) {
            value = line.substr(name.size() + 1);
            value.erase(0, value.find_first_not_of(' '));
        }
        pos = end + 1;
    }
    return value;
}

// A plain TCP connection to 127.0.0.1:port, or -1.
inline int Connect(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads until the peer closes, or gives up after the timeout. True when it closed.
inline bool ReadsToEnd(int fd, std::string& got, int timeoutMs = 5000) {
    char buf[4096];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, timeoutMs) > 0) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return true;
        got.append(buf, static_cast<size_t>(n));
    }
    return false;
}

}  // namespace ServerTest
