// What the check before an installer runs costs, against reading the same
// file once in the same blocks (the least any check of its bytes must do) and
// against the stock `openssl dgst -sha256` of the same file.
//
//   verify_bench MIB RUNS
//
// Writes a file of MIB MiB, then times RUNS rounds (the file in the page
// cache, as right after its download) of: a plain read, the size-only check,
// the check with SHA-256, the checked private copy that is what runs (made in
// the user's private folder, as the program makes it) and `openssl dgst
// -sha256` (a whole process, its start included). Prints the medians and the
// check's ratios to the others.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "data/Sha256.h"
#include "download/InstallerCheck.h"

extern char** environ;

namespace {

double Seconds(const std::chrono::steady_clock::time_point& start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

bool ReadAll(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    std::vector<char> block(Data::kHashBlockBytes);
    ssize_t got;
    while ((got = ::read(fd, block.data(), block.size())) > 0) {
    }
    ::close(fd);
    return got == 0;
}

// `openssl dgst -sha256 -r PATH`, its output thrown away; false when it fails.
bool OpensslDigest(const std::string& path) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::string args[] = {"openssl", "dgst", "-sha256", "-r", path};
    char* argv[] = {args[0].data(), args[1].data(), args[2].data(),
                    args[3].data(), args[4].data(), nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, "openssl", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    return spawned == 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const long mib = argc > 1 ? std::atol(argv[1]) : 64;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    char folder[] = "/tmp/verify-bench-XXXXXX";
    if (mib <= 0 || runs <= 0 || !::mkdtemp(folder)) return 2;
    const std::string path = std::string(folder) + "/setup.exe";
    {
        std::FILE* out = std::fopen(path.c_str(), "wb");
        std::vector<char> block(1 << 20);
        for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131 + 7);
        for (long i = 0; i < mib && out; ++i) std::fwrite(block.data(), 1, block.size(), out);
        if (!out || std::fclose(out) != 0) return 2;
    }
    const int64_t size = static_cast<int64_t>(mib) << 20;
    std::optional<Transfer::FileDigest> digest = Transfer::DigestFile(path);
    if (!digest) return 2;

    std::vector<double> read, sized, hashed, copied, openssl;
    bool ok = ReadAll(path);  // warm the page cache
    for (int i = 0; i < runs && ok; ++i) {
        auto start = std::chrono::steady_clock::now();
        ok = ReadAll(path);
        read.push_back(Seconds(start));
        start = std::chrono::steady_clock::now();
        ok = ok && Transfer::VerifyInstaller(path, {size, ""}, false).Ok();
        sized.push_back(Seconds(start));
        start = std::chrono::steady_clock::now();
        ok = ok && Transfer::VerifyInstaller(path, {size, digest->sha256}, true).Ok();
        hashed.push_back(Seconds(start));
        start = std::chrono::steady_clock::now();
        ok = ok && Transfer::VerifiedCopy::Make(path, {size, digest->sha256}).Ok();  // and gone
        copied.push_back(Seconds(start));
        start = std::chrono::steady_clock::now();
        ok = ok && OpensslDigest(path);
        openssl.push_back(Seconds(start));
    }
    ::unlink(path.c_str());
    ::rmdir(folder);
    if (!ok) {
        std::fprintf(stderr, "verify_bench: a check failed\n");
        return 1;
    }
    const double r = Median(read), s = Median(sized), h = Median(hashed), c = Median(copied),
                 o = Median(openssl);
    std::printf(
        "file %ld MiB, medians of %d: read %.4f s (%.0f MiB/s), size check %.6f s, "
        "size + SHA-256 %.4f s (%.0f MiB/s) = %.2f x the read, %.2f x openssl dgst "
        "(%.4f s, %.0f MiB/s); checked private copy %.4f s = %.2f x the check\n",
        mib, runs, r, mib / r, s, h, mib / h, h / r, h / o, o, mib / o, c, c / h);
    return 0;
}
