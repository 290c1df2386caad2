// Readers of local files hold about one line at a time: an 8 MiB file must not
// cost hundreds of MiB because every line became a string of its own.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "TestSupport.h"
#include "data/AlertSuppression.h"
#include "data/Manifest.h"
#include "data/ProgramSettings.h"
#include "data/Proxy.h"
#include "data/SettingsFile.h"
#include "platform/LinuxPlatform.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SWM_SANITIZED 1  // sanitizers keep freed memory and shadow it: no measure
#endif

namespace {

constexpr size_t kFileBytes = 8u << 20;

long MaxRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Peak memory growth of `read` in a fresh child process, in bytes.
long PeakGrowth(const std::function<void()>& reader) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        long before = MaxRssKiB();
        reader();
        long growth = (MaxRssKiB() - before) * 1024;
        _exit(write(fds[1], &growth, sizeof growth) == sizeof growth ? 0 : 1);
    }
    close(fds[1]);
    long growth = -1;
    if (read(fds[0], &growth, sizeof growth) != sizeof growth) growth = -1;
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return growth;
}

}  // namespace

TEST(ReaderMemory, AnEightMegabyteFileCostsASmallMultipleOfItself) {
#ifdef SWM_SANITIZED
    GTEST_SKIP() << "memory is not measured under sanitizers";
#endif
    DataTest::TempDir dir;
    std::string manyKeys;
    for (int i = 0; manyKeys.size() < kFileBytes; ++i) manyKeys += "k" + std::to_string(i) + "=\n";
    const struct {
        const char* name;
        std::string text;
    } files[] = {
        {"line feeds", std::string(kFileBytes, '\n')},
        {"distinct keys", manyKeys},
        {"one long line", std::string(kFileBytes, 'x')},
    };
    const std::string path = dir / "file.cfg";
    const struct {
        const char* name;
        std::function<void()> read;
    } readers[] = {
        {"settings file", [&] { Data::LoadSettingsFile(path); }},
        {"manifest",
         [&] {
             Data::DownloadList list;
             Data::ReadManifest(path, list);
         }},
        {"alert suppression", [&] { Data::ReadAlertSuppression(path); }},
        {"updated mark", [&] { Data::MarkProgramUpdated(path); }},
        {"proxy settings",
         [&] {
             Data::ProxySettings settings;
             Data::ReadProxySettings(path, settings);
         }},
        {"registry stand-in",
         [&] {
             setenv("TESSRA_REGISTRY", path.c_str(), 1);
             Sys::LinuxPlatform().RegistryValue("SOFTWARE\\ZVN\\2007\\Edition");
         }},
    };
    for (const auto& file : files) {
        for (const auto& reader : readers) {
            DataTest::WriteFile(path, file.text);
            const long growth = PeakGrowth(reader.read);
            ASSERT_GE(growth, 0) << reader.name;
            // The updated mark holds the old and the new text; the others hold a line.
            EXPECT_LT(static_cast<size_t>(growth), 4 * file.text.size() + (4u << 20))
                << reader.name << " on " << file.name << ": " << (growth >> 20) << " MiB";
        }
    }
}
