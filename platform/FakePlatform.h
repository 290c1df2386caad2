#pragma once
// A scriptable platform for unit tests: every value is a public member and
// every request is recorded.

#include <deque>
#include <map>
#include <mutex>
#include <set>

#include "platform/Platform.h"

namespace Sys {

class FakePlatform : public Platform {
  public:
    struct Message {
        std::string text, title;
        MessageIcon icon;
    };
    struct FakeProcess {
        uint32_t pid;
        std::string name;
    };
    struct CredentialsRequest {
        std::string hostPort;
        bool refused;
        std::string user;
    };

    std::string appData = "/tmp/fake-appdata";
    std::string commonAppData = "/tmp/fake-common";
    std::string currentFolder = "/tmp/fake-cwd";
    std::string tempFolder = "/tmp/fake-temp";
    std::string exeFolder = "/opt/tessra/bin";
    std::string privateFolder = "/tmp/fake-private";
    std::string commandLine;
    std::string argumentText;
    std::map<std::string, std::string> registry;
    std::string desktopProxy;
    std::vector<std::string> desktopLookups;  // the addresses asked for
    // The secret store by "host:port", and the user's answers to the proxy
    // dialog in order (nothing: Cancel; none left: Cancel).
    std::map<std::string, ProxyCredentials> savedCredentials;
    std::deque<std::optional<ProxyCredentials>> credentialAnswers;
    bool elevation = true;
    bool lan = true;
    bool openSucceeds = true;
    bool lockFree = true;
    std::vector<FakeProcess> processes;
    // Processes that end when asked to close (RequestClose removes them).
    std::set<uint32_t> closeOnRequest;

    // Recorded requests.
    std::mutex mutex;
    std::vector<Message> messages;
    std::vector<std::string> opened;
    std::vector<std::string> notifications;
    int beeps = 0;
    std::vector<uint32_t> foregrounded;
    std::vector<uint32_t> closeRequests;
    std::vector<StartRequest> starts;
    bool startSucceeds = true;
    std::vector<std::string> credentialLookups;
    std::vector<CredentialsRequest> credentialRequests;

    std::string AppDataFolder() override { return appData; }
    std::string CommonAppDataFolder() override { return commonAppData; }
    std::string CurrentFolder() override { return currentFolder; }
    std::string TempFolder() override { return tempFolder; }
    std::string OwnExecutableFolder() override { return exeFolder; }
    std::string PrivateFolder() override { return privateFolder; }
    std::string CommandLine() override { return commandLine; }
    std::string ArgumentText() override { return argumentText; }
    std::optional<std::string> RegistryValue(const std::string& path) override {
        auto it = registry.find(path);
        if (it == registry.end()) return std::nullopt;
        return it->second;
    }
    std::string DesktopProxyFor(const std::string& url, std::chrono::milliseconds) override {
        std::lock_guard<std::mutex> lock(mutex);
        desktopLookups.push_back(url);
        return desktopProxy;
    }
    std::optional<ProxyCredentials> LookupProxyCredentials(const std::string& hostPort) override {
        std::lock_guard<std::mutex> lock(mutex);
        credentialLookups.push_back(hostPort);
        auto it = savedCredentials.find(hostPort);
        if (it == savedCredentials.end()) return std::nullopt;
        return it->second;
    }
    bool StoreProxyCredentials(const std::string& hostPort,
                               const ProxyCredentials& credentials) override {
        std::lock_guard<std::mutex> lock(mutex);
        savedCredentials[hostPort] = credentials;
        return true;
    }
    std::optional<ProxyCredentials> AskProxyCredentials(const std::string& hostPort, bool refused,
                                                        const std::string& user) override {
        std::lock_guard<std::mutex> lock(mutex);
        credentialRequests.push_back({hostPort, refused, user});
        if (credentialAnswers.empty()) return std::nullopt;
        std::optional<ProxyCredentials> answer = credentialAnswers.front();
        credentialAnswers.pop_front();
        return answer;
    }
    bool ElevationFlag() override { return elevation; }
    bool LanConnected() override { return lan; }
    void ShowMessage(const std::string& text, const std::string& title, MessageIcon icon) override {
        std::lock_guard<std::mutex> lock(mutex);
        messages.push_back({text, title, icon});
    }
    bool OpenUrl(const std::string& target) override {
        std::lock_guard<std::mutex> lock(mutex);
        opened.push_back(target);
        return openSucceeds;
    }
    void Beep() override { ++beeps; }
    void Notify(const std::string& text) override {
        std::lock_guard<std::mutex> lock(mutex);
        notifications.push_back(text);
    }
    std::vector<ProcessEntry> ListProcesses() override {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<ProcessEntry> out;
        for (auto& p : processes) out.push_back({p.pid, p.name, p.name});
        return out;
    }
    std::unique_ptr<WaitHandle> OpenProcess(uint32_t pid) override;
    void BringToFront(uint32_t pid) override {
        std::lock_guard<std::mutex> lock(mutex);
        foregrounded.push_back(pid);
    }
    void RequestClose(uint32_t pid) override {
        std::lock_guard<std::mutex> lock(mutex);
        closeRequests.push_back(pid);
        if (closeOnRequest.count(pid))
            std::erase_if(processes, [&](auto& p) { return p.pid == pid; });
    }
    std::unique_ptr<WaitHandle> Start(const StartRequest& request) override;
    bool AcquireSingleInstance(const std::string&) override { return lockFree; }

    bool Running(uint32_t pid) {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto& p : processes)
            if (p.pid == pid) return true;
        return false;
    }
};

}  // namespace Sys
