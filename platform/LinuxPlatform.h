#pragma once
// The Linux implementation of the platform (see DESIGN.md for the mapping of
// each Windows notion).

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace Sys {

class LinuxPlatform : public Platform {
  public:
    LinuxPlatform() = default;
    // Removes the private temporary folder of the run, if one was made: what
    // it holds can never be resumed by a later run.
    ~LinuxPlatform() override;
    // The program's argv; the command line is argv joined (JoinCommandLine).
    void SetArguments(int argc, const char* const* argv);
    // A whole command line given as text (program path first), for tools.
    void SetCommandLine(const std::string& commandLine);

    // Message boxes go to this handler (the Qt layer installs one that shows
    // a QMessageBox on the UI thread); without one they go to stderr.
    using MessageHandler =
        std::function<void(const std::string& text, const std::string& title, MessageIcon icon)>;
    void SetMessageHandler(MessageHandler handler);
    // Notifications go to this handler (the Qt layer installs one that talks
    // to the desktop's notification service); without one only the transcript
    // has them.
    using NotifyHandler = std::function<void(const std::string& text)>;
    void SetNotifyHandler(NotifyHandler handler);
    // A proxy's request for a password goes to this handler (the Qt layer
    // installs one that asks in the program's own frame, on the UI thread);
    // without one, and in unattended runs, nobody is asked.
    using CredentialsHandler = std::function<std::optional<ProxyCredentials>(
        const std::string& hostPort, bool refused, const std::string& user)>;
    void SetCredentialsHandler(CredentialsHandler handler);

    std::string AppDataFolder() override;
    std::string CommonAppDataFolder() override;
    std::string CurrentFolder() override;
    std::string TempFolder() override;
    std::string OwnExecutableFolder() override;
    std::string PrivateFolder() override;
    std::string CommandLine() override;
    std::string ArgumentText() override;
    std::optional<std::string> RegistryValue(const std::string& path) override;
    std::string DesktopProxyFor(const std::string& url,
                                std::chrono::milliseconds deadline) override;
    std::optional<ProxyCredentials> LookupProxyCredentials(const std::string& hostPort) override;
    bool StoreProxyCredentials(const std::string& hostPort,
                               const ProxyCredentials& credentials) override;
    std::optional<ProxyCredentials> AskProxyCredentials(const std::string& hostPort, bool refused,
                                                        const std::string& user) override;
    bool ElevationFlag() override;
    bool LanConnected() override;
    void ShowMessage(const std::string& text, const std::string& title, MessageIcon icon) override;
    bool OpenUrl(const std::string& target) override;
    void Beep() override;
    void Notify(const std::string& text) override;
    std::vector<ProcessEntry> ListProcesses() override;
    std::unique_ptr<WaitHandle> OpenProcess(uint32_t pid) override;
    void BringToFront(uint32_t pid) override;
    void RequestClose(uint32_t pid) override;
    std::unique_ptr<WaitHandle> Start(const StartRequest& request) override;
    bool AcquireSingleInstance(const std::string& name) override;

    // Path of the registry stand-in file ($TESSRA_REGISTRY, else
    // $XDG_CONFIG_HOME/Tessra/registry.cfg, else ~/.config/Tessra/registry.cfg).
    static std::string RegistryFilePath();
    // True when a route table in the form of /proc/net/route holds a default
    // route that is up and goes through an interface other than loopback.
    static bool DefaultRouteThroughLan(const std::string& routeTable);
    // The transfer's "host:port" for the desktop's answer, a list of proxy
    // addresses in order of preference ("http://host:port", "direct://", ...):
    // the first http proxy, unless a direct connection comes first. The
    // proxy's "user:password@" stays in front: the transfer logs in with it.
    static std::string DesktopProxyAddress(const std::vector<std::string>& proxies);

  private:
    std::mutex mutex_;
    std::string commandLine_;
    std::string argumentText_;
    MessageHandler messageHandler_;
    NotifyHandler notifyHandler_;
    CredentialsHandler credentialsHandler_;
    int lockFd_ = -1;
    std::string privateTemp_;  // made once when neither TEMP nor TMPDIR names a folder
};

// The process-wide Linux platform (the default of Sys::Current()).
LinuxPlatform& Linux();

}  // namespace Sys
