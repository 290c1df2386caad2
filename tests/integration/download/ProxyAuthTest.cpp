// Transfers through a proxy that asks for a password: an in-process proxy
// that answers 407 with a Basic challenge until the right credentials come.
// Where they come from (the address, the secret store, the user), what the
// user is asked, what is saved, and what a refusal reports.

#include <httplib.h>

#include <deque>
#include <map>
#include <optional>
#include <sstream>
#include <thread>

#include "download/ProxyLogin.h"
#include "download/WorkerThread.h"
#include "tests/integration/download/Fixture.h"
#include "tests/support/EnvGuard.h"

namespace DownloadTest {
namespace {

constexpr const char* kInternetSettings =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\";
const std::string kManifestPath = "/updates/2007/win/us/3/ver.txt";
const std::string kInstallerPath = "/updates/2007/win/us/3/cupd.exe";
const std::string kManifest = "product=US\nVERSION=4\n";

std::string Base64(const std::string& bytes) {
    static const char* const kDigits =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = std::min<size_t>(3, bytes.size() - i);
        uint32_t group = 0;
        for (size_t k = 0; k < 3; ++k)
            group = group << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (size_t k = 0; k < 4; ++k) out += k <= n ? kDigits[(group >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}

class PasswordProxy {
  public:
    PasswordProxy(const std::string& user, const std::string& password)
        : installer_(RandomBytes(40000, 5)) {
        expected_ = "Basic " + Base64(user + ":" + password);
        server_.Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
            const std::string login = request.get_header_value("Proxy-Authorization");
            {
                std::lock_guard<std::mutex> lock(mutex_);
                seen_.push_back({request.path, login});
            }
            if (login != expected_) {
                response.status = 407;
                response.set_header("Proxy-Authenticate", "Basic realm=\"tessra-test\"");
                response.set_content("who are you?", "text/plain");
                return;
            }
            if (request.path.ends_with(kManifestPath))
                response.set_content(kManifest, "text/plain");
            else if (request.path.ends_with(kInstallerPath))
                response.set_content(installer_, "application/octet-stream");
            else
                response.status = 404;
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~PasswordProxy() {
        server_.stop();
        thread_.join();
    }
    std::string HostPort() const { return "127.0.0.1:" + std::to_string(port_); }
    const std::string& Installer() const { return installer_; }
    // The paths the proxy served, with the right credentials.
    std::vector<std::string> Served() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> out;
        for (const auto& [path, login] : seen_)
            if (login == expected_) out.push_back(path.substr(path.find("/updates/")));
        return out;
    }

  private:
    httplib::Server server_;
    std::string expected_;
    std::string installer_;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::pair<std::string, std::string>> seen_;
};

using Credentials = Sys::ProxyCredentials;
using Asked = std::pair<bool, std::string>;  // refused, the user name filled in

class ProxyAuthTest : public TransferFixture {
  protected:
    void SetUp() override {
        TransferFixture::SetUp();
        Transfer::ForgetProxyLogins();
        env.Set("TESSRA_SWM_TRANSCRIPT", (local / "transcript.jsonl").c_str());
    }
    void TearDown() override {
        Transfer::ForgetProxyLogins();
        TransferFixture::TearDown();
    }

    // The proxy from the registry stand-in's address, with `login` ("user:password@") in front.
    void ProxyInAddress(const std::string& login) {
        SetProgramSettings("string:ui_prop_proxy_which=system\n");
        platform.registry[std::string(kInternetSettings) + "ProxyEnable"] = "1";
        platform.registry[std::string(kInternetSettings) + "ProxyServer"] =
            login + proxy.HostPort();
    }

    Data::DownloadList List() {
        Data::DownloadList list;
        for (const auto& [path, local, size] :
             std::vector<std::tuple<std::string, std::string, int32_t>>{
                 {kManifestPath, this->local / "ver.txt", 0},
                 {kInstallerPath, this->local / "US34cupd.exe", 40000}}) {
            Data::DownloadItem item;
            item.url = "http://updates.invalid" + path;  // only the proxy resolves it
            item.localPath = local;
            item.productCode = "US";
            item.expectedSize = size;
            item.installedVersion = 3;
            item.year = 2007;
            list.AppendItem(item);
        }
        return list;
    }

    std::vector<Asked> Asks() {
        std::vector<Asked> out;
        for (const auto& request : platform.credentialRequests) {
            EXPECT_EQ(request.hostPort, proxy.HostPort());
            out.emplace_back(request.refused, request.user);
        }
        return out;
    }

    std::vector<nlohmann::json> Events(const std::string& name) {
        std::vector<nlohmann::json> out;
        std::istringstream lines(ReadFile(local / "transcript.jsonl"));
        for (std::string line; std::getline(lines, line);) {
            nlohmann::json event = nlohmann::json::parse(line);
            if (event["event"] == name) out.push_back(event);
        }
        return out;
    }

    TestSupport::EnvGuard env;
    PasswordProxy proxy{"bob", "s3cret"};
};

const std::vector<std::string> kBoth{kManifestPath, kInstallerPath};

TEST_F(ProxyAuthTest, CredentialsFromEachSourceInTurn) {
    const Credentials right{"bob", "s3cret", false};
    const Credentials wrong{"bob", "wrong", false};
    const Credentials remembered{"bob", "s3cret", true};
    struct Case {
        const char* what;
        std::string addressLogin;  // "" or "user:password@"
        std::optional<Credentials> saved;
        std::deque<std::optional<Credentials>> answers;
        std::vector<Asked> asks;
        bool lookedUp;
        std::optional<Credentials> savedAfter;
    };
    for (const Case& c : std::vector<Case>{
             {"address", "bob:s3cret@", std::nullopt, {}, {}, false, std::nullopt},
             {"address, encoded", "b%6Fb:s%33cret@", std::nullopt, {}, {}, false, std::nullopt},
             {"saved", "", right, {}, {}, true, right},
             {"typed and remembered", "", std::nullopt, {remembered}, {{false, ""}}, true, right},
             {"typed, not remembered",
              "",
              std::nullopt,
              {right},
              {{false, ""}},
              true,
              std::nullopt},
             {"address refused, saved ones taken", "bob:wrong@", right, {}, {}, true, right},
             {"address refused, then typed",
              "bob:wrong@",
              std::nullopt,
              {right},
              {{true, "bob"}},
              true,
              std::nullopt},
             {"saved refused, typed wrong, typed right",
              "",
              wrong,
              {wrong, remembered},
              {{true, "bob"}, {true, "bob"}},
              true,
              right},
         }) {
        SCOPED_TRACE(c.what);
        Transfer::ForgetProxyLogins();
        platform.credentialRequests.clear();
        platform.credentialLookups.clear();
        platform.savedCredentials.clear();
        if (c.saved) platform.savedCredentials[proxy.HostPort()] = *c.saved;
        platform.credentialAnswers = c.answers;
        fs::remove(local / "US34cupd.exe");
        const size_t served = proxy.Served().size();
        if (c.addressLogin.empty()) {
            SetProgramSettings(
                "string:ui_prop_proxy_which=tessra\nstring:ui_prop_proxy_http_server=127.0.0.1\n"
                "string:ui_prop_proxy_http_port=" +
                proxy.HostPort().substr(10) + "\n");
        } else {
            ProxyInAddress(c.addressLogin);
        }

        const Data::DownloadList list = List();
        EXPECT_TRUE(Run(list));
        EXPECT_EQ(ReadFile(local / "ver.txt"), kManifest);
        EXPECT_EQ(ReadFile(local / "US34cupd.exe"), proxy.Installer());
        // One ask (or none) serves both transfers: the second starts with what the first used.
        const std::vector<std::string> all = proxy.Served();
        EXPECT_EQ(std::vector<std::string>(all.begin() + served, all.end()), kBoth);
        EXPECT_EQ(Asks(), c.asks);
        EXPECT_EQ(platform.credentialLookups, c.lookedUp
                                                  ? std::vector<std::string>{proxy.HostPort()}
                                                  : std::vector<std::string>{});
        const auto saved = platform.savedCredentials.find(proxy.HostPort());
        EXPECT_EQ(saved != platform.savedCredentials.end() ? saved->second.password : "",
                  c.savedAfter ? c.savedAfter->password : "");
        EXPECT_TRUE(Messages().empty());
        EXPECT_TRUE(Events("proxy-auth").empty());
    }
}

TEST_F(ProxyAuthTest, WorkerThreadAsksAndTheRunRemembersWhatWasTaken) {
    SetProgramSettings(
        "string:ui_prop_proxy_which=tessra\nstring:ui_prop_proxy_http_server=127.0.0.1\n"
        "string:ui_prop_proxy_http_port=" +
        proxy.HostPort().substr(10) + "\n");
    platform.credentialAnswers = {Credentials{"bob", "s3cret", false}};
    auto list = std::make_shared<Data::DownloadList>(List());
    {
        auto sink = std::make_shared<RecordingSink>();
        Transfer::WorkerThread worker(list, sink);
        worker.Start();
        ASSERT_TRUE(worker.WaitFor(60000));
        bool finished = false;
        for (const auto& record : sink->Take()) finished |= record->kind == Data::kFinishedKind;
        EXPECT_TRUE(finished);
    }
    EXPECT_EQ(ReadFile(local / "US34cupd.exe"), proxy.Installer());
    EXPECT_EQ(Asks(), (std::vector<Asked>{{false, ""}}));

    // A later transfer of the same run starts with them: no 407, no question.
    fs::remove(local / "US34cupd.exe");
    EXPECT_TRUE(Run(*list));
    EXPECT_EQ(platform.credentialRequests.size(), 1u);
}

TEST_F(ProxyAuthTest, ProxyWithoutPasswordNeverTouchesTheStore) {
    // The update server as a proxy that asks for nothing.
    WriteFile(root / "updates/2007/win/us/3/ver.txt", kManifest);
    StartServer();
    SetProgramSettings(
        "string:ui_prop_proxy_which=tessra\nstring:ui_prop_proxy_http_server=127.0.0.1\n"
        "string:ui_prop_proxy_http_port=" +
        std::to_string(Server().Port()) + "\n");
    Data::DownloadList list;
    list.AppendItem(List().Item(0));
    EXPECT_TRUE(Run(list));
    EXPECT_TRUE(platform.credentialLookups.empty());
    EXPECT_TRUE(platform.credentialRequests.empty());
}

}  // namespace
}  // namespace DownloadTest
