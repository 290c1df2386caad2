// Folders, command line, registry stand-in, elevation and connection state.
#include "platform/LinuxPlatform.h"

#include <ftw.h>
#include <proxy.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/CommandLine.h"
#include "platform/DeadlineChild.h"
#include "platform/SecretStore.h"
#include "platform/TrustedFolder.h"

namespace Sys {

namespace {

constexpr size_t kMaxDesktopAnswer = 64 * 1024;

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string HomeFolder() {
    std::string home = Env("HOME");
    if (!home.empty()) return home;
    if (const passwd* entry = ::getpwuid(::geteuid()); entry && entry->pw_dir) return entry->pw_dir;
    return "/tmp";
}

// Folders are text prefixes: no trailing "/" (the root gives "").
std::string WithoutTrailingSlash(std::string folder) {
    while (!folder.empty() && folder.back() == '/') folder.pop_back();
    return folder;
}

std::string Trim(std::string_view text) {
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string_view::npos) return {};
    size_t end = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(begin, end - begin + 1));
}

// Registry paths compare without regard to case, as the registry does.
std::string FoldCase(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// A registry key as written in the file: an optional hive name in front is dropped.
std::string NormalKey(std::string_view key) {
    std::string folded = FoldCase(Trim(key));
    for (const char* hive : {"hkey_current_user\\", "hkcu\\"}) {
        if (folded.starts_with(hive)) return folded.substr(std::string_view(hive).size());
    }
    return folded;
}

std::optional<std::string> RegistryFileValue(const std::string& path, const std::string& key) {
    std::ifstream file(path);
    if (!file) return std::nullopt;
    std::optional<std::string> found;
    std::string line;
    while (std::getline(file, line)) {
        std::string trimmed = Trim(line);
        if (trimmed.empty() || trimmed.front() == '#') continue;
        size_t eq = trimmed.find('=');
        if (eq == std::string::npos) continue;
        if (NormalKey(trimmed.substr(0, eq)) == key) found = Trim(trimmed.substr(eq + 1));
    }
    return found;
}

// The argument text of a command line: what follows its first word (which may
// be quoted) and the blanks after it.
std::string TailAfterProgram(std::string_view line) {
    size_t i = 0;
    if (!line.empty() && line.front() == '"') {
        size_t close = line.find('"', 1);
        i = close == std::string_view::npos ? line.size() : close + 1;
    } else {
        i = line.find_first_of(" \t");
        if (i == std::string_view::npos) i = line.size();
    }
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    return std::string(line.substr(i));
}

}  // namespace

void LinuxPlatform::SetArguments(int argc, const char* const* argv) {
    std::string line = JoinCommandLine(argc, argv);
    std::lock_guard<std::mutex> lock(mutex_);
    commandLine_ = line;
    argumentText_ = TailAfterProgram(line);
}

void LinuxPlatform::SetCommandLine(const std::string& commandLine) {
    std::lock_guard<std::mutex> lock(mutex_);
    commandLine_ = commandLine;
    argumentText_ = TailAfterProgram(commandLine);
}

std::string LinuxPlatform::AppDataFolder() {
    std::string folder = Env("TESSRA_APPDATA");
    if (folder.empty()) {
        folder = Env("XDG_DATA_HOME");
        // Relative XDG folders are invalid and ignored.
        if (folder.empty() || folder.front() != '/') folder = HomeFolder() + "/.local/share";
    }
    return WithoutTrailingSlash(folder);
}

std::string LinuxPlatform::CommonAppDataFolder() {
    std::string folder = Env("TESSRA_COMMON_APPDATA");
    return WithoutTrailingSlash(folder.empty() ? "/var/lib" : folder);
}

std::string LinuxPlatform::CurrentFolder() {
    std::string folder(4096, '\0');
    while (::getcwd(folder.data(), folder.size()) == nullptr) {
        if (errno != ERANGE) return ".";
        folder.resize(folder.size() * 2);
    }
    folder.resize(std::char_traits<char>::length(folder.c_str()));
    return folder;
}

std::string LinuxPlatform::TempFolder() {
    for (const char* name : {"TEMP", "TMPDIR"}) {
        std::string folder = Env(name);
        if (!folder.empty()) return WithoutTrailingSlash(folder);
    }
    // Never a fixed name in /tmp, which any user could create first: a folder
    // of our own, made once per run.
    std::lock_guard<std::mutex> lock(mutex_);
    if (privateTemp_.empty()) {
        std::string pattern = "/tmp/tessra-swm-XXXXXX";
        if (::mkdtemp(pattern.data())) privateTemp_ = pattern;
    }
    return privateTemp_.empty() ? "/tmp" : privateTemp_;
}

LinuxPlatform::~LinuxPlatform() {
    if (privateTemp_.empty()) return;
    // Depth first, never following a link out of the folder.
    ::nftw(
        privateTemp_.c_str(),
        [](const char* path, const struct stat*, int, FTW*) {
            (void)::remove(path);
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
}

std::string LinuxPlatform::PrivateFolder() {
    // The desktop session's runtime folder when it is really this user's own.
    const std::string runtime = Env("XDG_RUNTIME_DIR");
    if (!runtime.empty() && runtime.front() == '/') {
        TrustedFolder folder = OpenTrustedFolder(runtime, false);
        struct stat st {};
        if (folder.Ok() && ::fstat(folder.Fd(), &st) == 0 && st.st_uid == ::geteuid())
            return WithoutTrailingSlash(runtime);
    }
    // Else a folder of our own in the user's state folder.
    std::string state = Env("XDG_STATE_HOME");
    if (state.empty() || state.front() != '/') state = HomeFolder() + "/.local/state";
    const std::string folder = WithoutTrailingSlash(state) + "/tessra-swm";
    return OpenTrustedFolder(folder, true, 0700).Ok() ? folder : std::string();
}

std::string LinuxPlatform::OwnExecutableFolder() {
    std::string path(4096, '\0');
    ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
    if (n <= 0) return CurrentFolder();
    path.resize(static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? CurrentFolder() : path.substr(0, slash);
}

std::string LinuxPlatform::CommandLine() {
    std::lock_guard<std::mutex> lock(mutex_);
    return commandLine_;
}

std::string LinuxPlatform::ArgumentText() {
    std::lock_guard<std::mutex> lock(mutex_);
    return argumentText_;
}

std::string LinuxPlatform::RegistryFilePath() {
    std::string path = Env("TESSRA_REGISTRY");
    if (!path.empty()) return path;
    std::string config = Env("XDG_CONFIG_HOME");
    if (config.empty() || config.front() != '/') config = HomeFolder() + "/.config";
    return WithoutTrailingSlash(config) + "/Tessra/registry.cfg";
}

std::optional<std::string> LinuxPlatform::RegistryValue(const std::string& path) {
    return RegistryFileValue(RegistryFilePath(), NormalKey(path));
}

std::string LinuxPlatform::DesktopProxyAddress(const std::vector<std::string>& proxies) {
    for (const std::string& proxy : proxies) {
        size_t scheme = proxy.find("://");
        // Without a scheme the text is an http proxy, as curl reads http_proxy.
        std::string_view rest = proxy;
        if (scheme != std::string::npos) {
            const std::string name = FoldCase(proxy.substr(0, scheme));
            if (name == "direct") return "";
            if (name != "http") continue;  // the transfer speaks to http proxies only
            rest.remove_prefix(scheme + 3);
        }
        rest = rest.substr(0, rest.find_first_of("/?#"));
        std::string_view login;
        if (size_t at = rest.rfind('@'); at != std::string_view::npos) {
            login = rest.substr(0, at + 1);
            rest.remove_prefix(at + 1);
        }
        if (rest.empty()) continue;
        // A port after the host (after the "]" of an IPv6 address), else http's own.
        size_t colon = rest.rfind(':');
        size_t bracket = rest.rfind(']');
        if (colon != std::string_view::npos &&
            (bracket == std::string_view::npos || colon > bracket)) {
            if (colon + 1 < rest.size()) return std::string(login) + std::string(rest);
            rest = rest.substr(0, colon);
        }
        return std::string(login) + std::string(rest) + ":80";
    }
    return "";
}

std::string LinuxPlatform::DesktopProxyFor(const std::string& url,
                                           std::chrono::milliseconds deadline) {
    // libproxy may fetch and run a proxy script itself and has no timeout of
    // its own: it asks in a child that is killed at the deadline.
    std::optional<std::string> answer = AnswerFromChild(
        [&url]() -> std::optional<std::string> {
            pxProxyFactory* factory = px_proxy_factory_new();
            if (!factory) return std::nullopt;
            std::optional<std::string> lines;
            if (char** proxies = px_proxy_factory_get_proxies(factory, url.c_str())) {
                lines.emplace();
                for (char** proxy = proxies; *proxy; ++proxy) *lines += std::string(*proxy) + '\0';
                px_proxy_factory_free_proxies(proxies);
            }
            px_proxy_factory_free(factory);
            return lines;
        },
        deadline, kMaxDesktopAnswer);
    if (!answer) return "";
    std::vector<std::string> proxies;
    std::istringstream lines(*answer);
    for (std::string line; std::getline(lines, line, '\0');) proxies.push_back(line);
    return DesktopProxyAddress(proxies);
}

std::optional<ProxyCredentials> LinuxPlatform::LookupProxyCredentials(const std::string& hostPort) {
    // Unattended runs must not wait for someone to unlock the store.
    return SecretStore::Lookup(hostPort, Env("TESSRA_SWM_AUTOPILOT").empty());
}

bool LinuxPlatform::StoreProxyCredentials(const std::string& hostPort,
                                          const ProxyCredentials& credentials) {
    return SecretStore::Store(hostPort, credentials);
}

void LinuxPlatform::SetCredentialsHandler(CredentialsHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    credentialsHandler_ = std::move(handler);
}

std::optional<ProxyCredentials> LinuxPlatform::AskProxyCredentials(const std::string& hostPort,
                                                                   bool refused,
                                                                   const std::string& user) {
    if (!Env("TESSRA_SWM_AUTOPILOT").empty()) return std::nullopt;
    CredentialsHandler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        handler = credentialsHandler_;
    }
    if (!handler) return std::nullopt;
    return handler(hostPort, refused, user);
}

bool LinuxPlatform::ElevationFlag() {
    std::string forced = Env("TESSRA_ELEVATION");
    if (forced == "0") return false;
    if (forced == "1") return true;
    return ::geteuid() != 0;
}

bool LinuxPlatform::DefaultRouteThroughLan(const std::string& routeTable) {
    std::istringstream lines(routeTable);
    std::string line;
    std::getline(lines, line);  // column titles
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string iface, destination, gateway, flags, refCount, use, metric, mask;
        if (!(fields >> iface >> destination >> gateway >> flags >> refCount >> use >> metric >>
              mask))
            continue;
        const unsigned long routeFlags = std::strtoul(flags.c_str(), nullptr, 16);
        const bool up = (routeFlags & 0x1) != 0;
        if (up && destination == "00000000" && mask == "00000000" && iface != "lo") return true;
    }
    return false;
}

bool LinuxPlatform::LanConnected() {
    std::ifstream file("/proc/net/route");
    if (!file) return false;
    std::stringstream text;
    text << file.rdbuf();
    return DefaultRouteThroughLan(text.str());
}

}  // namespace Sys
