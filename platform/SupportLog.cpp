#include "platform/SupportLog.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "platform/RegularFile.h"

namespace Sys {

namespace {

// A screen's lists can be long; one event never fills the log on its own.
constexpr size_t kMaxLine = 64 * 1024;

struct State {
    std::mutex mutex;
    std::string path;
    std::uint64_t limit = SupportLog::kSizeLimit;
};

State& TheState() {
    static State state;
    return state;
}

std::string HomeFolder() {
    const char* home = std::getenv("HOME");
    if (home && *home) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && *pw->pw_dir) return pw->pw_dir;
    return {};
}

std::string Timestamp() {
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t seconds = system_clock::to_time_t(now);
    auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(millis));
    return text;
}

// Creates the missing folders of `folder` (0700, as for any state folder) and
// opens it without following a link in its place.
int OpenFolder(const std::string& folder) {
    for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        std::string part = folder.substr(0, slash);
        struct stat st {};
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST &&
            (stat(part.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)))
            return -1;
        if (slash == std::string::npos) break;
    }
    return open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

int OpenLog(int folder, const char* name) {
    return OpenRegularFileAt(folder, name, O_WRONLY | O_APPEND | O_CREAT, 0600);
}

}  // namespace

std::string SupportLog::DefaultPath() {
    const char* switch_ = std::getenv("TESSRA_SWM_LOG");
    if (switch_ && std::string(switch_) == "0") return {};
    std::string state;
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && xdg[0] == '/') {
        state = xdg;
    } else {
        std::string home = HomeFolder();
        if (home.empty() || home[0] != '/') return {};
        state = home + "/.local/state";
    }
    while (state.size() > 1 && state.back() == '/') state.pop_back();
    return state + "/tessra-swm/swm.log";
}

void SupportLog::Enable(const std::string& path, std::uint64_t sizeLimit) {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    s.path = path;
    s.limit = sizeLimit;
}

std::string SupportLog::Path() {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    return s.path;
}

void SupportLog::Append(const std::string& text) {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    size_t slash = s.path.rfind('/');
    if (s.path.empty() || slash == std::string::npos || slash + 1 == s.path.size()) return;

    std::string line = Timestamp() + " ";
    line += text.size() > kMaxLine ? text.substr(0, kMaxLine) + " [cut]" : text;
    line += '\n';

    std::string name = s.path.substr(slash + 1);
    std::string rotated = name + ".1";
    int folder = OpenFolder(slash == 0 ? "/" : s.path.substr(0, slash));
    if (folder < 0) return;
    int fd = OpenLog(folder, name.c_str());
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) == 0 && st.st_size > 0 &&
        static_cast<std::uint64_t>(st.st_size) + line.size() > s.limit) {
        close(fd);
        // The older half goes to PATH.1, replacing what was there.
        fd = renameat(folder, name.c_str(), folder, rotated.c_str()) == 0
                 ? OpenLog(folder, name.c_str())
                 : -1;
    }
    if (fd >= 0) {
        WriteAll(fd, line);
        close(fd);
    }
    close(folder);
}

}  // namespace Sys
