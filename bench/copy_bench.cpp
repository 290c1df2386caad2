// What running exactly the verified bytes costs: the private copy made while
// hashing, against the check alone (size + SHA-256) of the same file, and
// against a plain copy of it, in the same run.
//
//   copy_bench MIB RUNS
//
// The copies go where the program puts them: a new folder in the user's
// private folder ($XDG_RUNTIME_DIR, else the state folder).

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "download/InstallerCheck.h"
#include "platform/Platform.h"

namespace {

double Seconds(const std::chrono::steady_clock::time_point& start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

bool PlainCopy(const std::string& from, const std::string& to) {
    const int in = ::open(from.c_str(), O_RDONLY);
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0700);
    std::vector<char> block(64 * 1024);
    ssize_t got = -1;
    bool ok = in >= 0 && out >= 0;
    while (ok && (got = ::read(in, block.data(), block.size())) > 0)
        ok = ::write(out, block.data(), static_cast<size_t>(got)) == got;
    if (in >= 0) ::close(in);
    if (out >= 0) ::close(out);
    ::unlink(to.c_str());
    return ok && got == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const long mib = argc > 1 ? std::atol(argv[1]) : 64;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    char folder[] = "/tmp/copy-bench-XXXXXX";
    if (mib <= 0 || runs <= 0 || !::mkdtemp(folder)) return 2;
    const std::string path = std::string(folder) + "/setup.exe";
    {
        std::FILE* out = std::fopen(path.c_str(), "wb");
        std::vector<char> block(1 << 20);
        for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131 + 7);
        for (long i = 0; i < mib && out; ++i) std::fwrite(block.data(), 1, block.size(), out);
        if (!out || std::fclose(out) != 0) return 2;
    }
    const Transfer::InstallerExpectation expected{static_cast<int64_t>(mib) << 20,
                                                  Transfer::DigestFile(path)->sha256};
    const std::string own = Sys::Current().PrivateFolder();
    if (own.empty()) return 2;
    const std::string plain = own + "/copy-bench.exe";

    std::vector<double> checked, copied, verified;
    bool ok = Transfer::VerifyInstaller(path, expected, true).Ok();  // warm the page cache
    for (int i = 0; i < runs && ok; ++i) {
        auto start = std::chrono::steady_clock::now();
        ok = Transfer::VerifyInstaller(path, expected, true).Ok();
        checked.push_back(Seconds(start));
        start = std::chrono::steady_clock::now();
        ok = ok && PlainCopy(path, plain);
        copied.push_back(Seconds(start));
        start = std::chrono::steady_clock::now();
        ok = ok && Transfer::VerifiedCopy::Make(path, expected).Ok();  // made and removed
        verified.push_back(Seconds(start));
    }
    ::unlink(path.c_str());
    ::rmdir(folder);
    if (!ok) {
        std::fprintf(stderr, "copy_bench: a check or copy failed\n");
        return 1;
    }
    const double c = Median(checked), p = Median(copied), v = Median(verified);
    std::printf(
        "file %ld MiB, medians of %d: check %.4f s, plain copy %.4f s, checked private copy "
        "%.4f s = %.2f x the check alone, %.2f x check + plain copy\n",
        mib, runs, c, p, v, v / c, v / (c + p));
    return 0;
}
