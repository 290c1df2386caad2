#pragma once
// Everything the OS gives goes through this interface, so the rules above it
// can be tested with a fake and the program can be driven unattended.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Sys {

enum class MessageIcon { None, Exclamation };

// A process that can be waited on. Closing (destroying) it never kills the process.
class WaitHandle {
  public:
    virtual ~WaitHandle() = default;
    // Waits up to timeoutMs (-1: forever). True when the process has ended.
    virtual bool Wait(int timeoutMs) = 0;
    virtual uint32_t Pid() const = 0;
};

struct ProcessEntry {
    uint32_t pid = 0;
    std::string comm;   // kernel command name (may be cut at 15 characters)
    std::string argv0;  // first argument as the process was started
};

// What a program start asks for; mirrors the shell's start request.
struct StartRequest {
    std::string file;        // as the program names it, e.g. "msiexec.exe" or a full path
    std::string parameters;  // one text, split by the platform like a Windows command line
    std::string verb;        // "runas" or ""
    int show = 5;            // show command (1 normal, 5 show)
    bool wait = false;       // recorded in the transcript: true for a run-and-wait
    std::string runPath;     // when set, what really starts: a private checked copy of `file`
};

// A user name and password for a proxy that asks for one.
struct ProxyCredentials {
    std::string user;
    std::string password;
    bool remember = false;  // typed with "Remember": to be saved once the proxy took them
};

class Platform {
  public:
    virtual ~Platform() = default;

    // Data folders, without trailing separator; the callers append "/Tessra/2007/...".
    virtual std::string AppDataFolder() = 0;
    virtual std::string CommonAppDataFolder() = 0;
    virtual std::string CurrentFolder() = 0;
    virtual std::string TempFolder() = 0;
    // Folder of the program's own executable.
    virtual std::string OwnExecutableFolder() = 0;
    // This user's own folder, which no other user can write: the single-instance
    // lock and the private copies of installers that run live there. Created
    // when missing; empty when there is none to be had.
    virtual std::string PrivateFolder() = 0;

    // Whole command line (program path first) as one text, and the argument tail.
    virtual std::string CommandLine() = 0;
    virtual std::string ArgumentText() = 0;

    // Registry stand-in: value by its full path under HKEY_CURRENT_USER,
    // e.g. "SOFTWARE\\ZVN\\2007\\Edition". Nothing when absent.
    virtual std::optional<std::string> RegistryValue(const std::string& path) = 0;

    // The desktop's proxy for an address (its settings, the environment or its
    // proxy script), as "host:port"; empty for a direct connection, and when no
    // answer comes within the deadline.
    virtual std::string DesktopProxyFor(const std::string& url,
                                        std::chrono::milliseconds deadline) = 0;

    // Proxy credentials the user saved before in the desktop's secret store,
    // keyed by the proxy's "host:port"; nothing when none are saved or no store answers.
    virtual std::optional<ProxyCredentials> LookupProxyCredentials(const std::string& hostPort) = 0;
    // Saves them there, in place of the proxy's earlier ones; false when no store took them.
    virtual bool StoreProxyCredentials(const std::string& hostPort,
                                       const ProxyCredentials& credentials) = 0;
    // Asks the user for a proxy's user name and password; safe to call from
    // any thread (the caller waits). Nothing on Cancel, and always in
    // unattended runs. `refused`: the last ones given were refused; `user`
    // fills in the name.
    virtual std::optional<ProxyCredentials> AskProxyCredentials(const std::string& hostPort,
                                                                bool refused,
                                                                const std::string& user) = 0;

    // Elevation flag (Windows major version >= 6 on the original platform).
    virtual bool ElevationFlag() = 0;
    // A connection through a LAN (non-loopback default route).
    virtual bool LanConnected() = 0;

    // Blocking message box with an OK button; safe to call from any thread.
    virtual void ShowMessage(const std::string& text, const std::string& title,
                             MessageIcon icon = MessageIcon::None) = 0;
    // Opens a web page in the browser; false when it could not be started.
    virtual bool OpenUrl(const std::string& target) = 0;
    virtual void Beep() = 0;
    // Tells the user what the program waits for while it shows no window of
    // its own (a desktop notification where the desktop offers them).
    virtual void Notify(const std::string& text) = 0;

    // Processes.
    virtual std::vector<ProcessEntry> ListProcesses() = 0;
    virtual std::unique_ptr<WaitHandle> OpenProcess(uint32_t pid) = 0;
    virtual void BringToFront(uint32_t pid) = 0;
    virtual void RequestClose(uint32_t pid) = 0;
    // Starts a program; nothing when the start failed (no message).
    virtual std::unique_ptr<WaitHandle> Start(const StartRequest& request) = 0;

    // Single-instance lock; false when another copy holds it.
    virtual bool AcquireSingleInstance(const std::string& name) = 0;
};

// The process-wide platform. Tests install a fake; the program installs the Linux one.
Platform& Current();
void Install(Platform* platform);  // not owned; nullptr restores the default Linux platform

}  // namespace Sys
