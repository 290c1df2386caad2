// Every proxy mode of the tax program's settings, with the update server
// acting as the proxy: its log tells a proxy request (absolute-form target)
// from a direct one.

#include <httplib.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include "tests/integration/download/Fixture.h"

namespace DownloadTest {
namespace {

constexpr const char* kInternetSettings =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\";

class ProxyTest : public TransferFixture {
  protected:
    void SetUp() override {
        TransferFixture::SetUp();
        WriteFile(root / "updates/2007/win/us/3/ver.txt", "product=US\nVERSION=4\n");
        WriteFile(root / "updates/2007/win/us/3/cupd.exe", RandomBytes(40000, 11));
        StartServer();
    }
    void TearDown() override {
        ::unsetenv("http_proxy");
        TransferFixture::TearDown();
    }

    void SetRegistry(const std::string& name, const std::string& value) {
        platform.registry[std::string(kInternetSettings) + name] = value;
    }

    // Fetches a manifest and an installer; returns the proxy flags of their
    // requests (a configuration script fetched on the way is left out).
    std::vector<bool> FetchBoth() {
        Data::DownloadList list;
        list.AppendItem(Item("/updates/2007/win/us/3/ver.txt", local / "ver.txt", 0));
        list.AppendItem(Item("/updates/2007/win/us/3/cupd.exe", local / "cupd.exe", 40000));
        const size_t before = Fetches().size();
        EXPECT_TRUE(Run(list));
        EXPECT_TRUE(Messages().empty());
        fs::remove(local / "cupd.exe");
        std::vector<nlohmann::json> fetches = Fetches();
        for (int i = 0; i < 500 && fetches.size() < before + 2; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            fetches = Fetches();
        }
        std::vector<bool> flags;
        for (size_t i = before; i < fetches.size(); ++i)
            flags.push_back(fetches[i]["proxyRequest"]);
        return flags;
    }

    std::vector<nlohmann::json> Fetches() {
        std::vector<nlohmann::json> out;
        for (auto& entry : Log())
            if (entry["path"].is_string() &&
                entry["path"].get<std::string>().starts_with("/updates/"))
                out.push_back(entry);
        return out;
    }
};

const std::vector<bool> kProxied{true, true};
const std::vector<bool> kDirect{false, false};

TEST_F(ProxyTest, ProgramSettingsProxyForTessraAndSignature) {
    const std::string port = std::to_string(Server().Port());
    for (const char* mode : {"tessra", "signature"}) {
        SCOPED_TRACE(mode);
        SetProgramSettings(std::string("string:ui_prop_proxy_which=") + mode +
                           "\nstring:ui_prop_proxy_http_server=127.0.0.1\n"
                           "string:ui_prop_proxy_http_port=" +
                           port + "\n");
        EXPECT_EQ(FetchBoth(), kProxied);
    }
    auto log = Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0]["target"], Server().Url("/updates/2007/win/us/3/ver.txt"));
}

TEST_F(ProxyTest, SystemProxyFromTheInternetSettings) {
    SetProgramSettings("string:ui_prop_proxy_which=system\n");
    SetRegistry("ProxyEnable", "1");
    SetRegistry("ProxyServer", "http=" + Server().ProxyAddress() + ";https=127.0.0.1:9");
    EXPECT_EQ(FetchBoth(), kProxied);

    // Disabled in the system settings: a direct connection, although an address is there.
    SetRegistry("ProxyEnable", "0");
    EXPECT_EQ(FetchBoth(), kDirect);
}

TEST_F(ProxyTest, AutomaticConfigurationScript) {
    SetProgramSettings("string:ui_prop_proxy_which=pac\n");
    platform.commandLine = "tessra-swm /home/u/download.cfg /N " + Server().ProxyAddress();
    WriteFile(root / "proxy.pac",
              "function FindProxyForURL(url, host) {\n"
              "  if (host == \"127.0.0.1\") return \"PROXY " +
                  Server().ProxyAddress() +
                  "; DIRECT\";\n"
                  "  return \"DIRECT\";\n}\n");
    SetRegistry("AutoConfigURL", Server().Url("/proxy.pac"));
    EXPECT_EQ(FetchBoth(), kProxied);

    // A script that answers DIRECT leaves an empty address: no proxy.
    WriteFile(root / "direct.pac", "function FindProxyForURL(url, host) { return \"DIRECT\"; }\n");
    SetRegistry("AutoConfigURL", Server().Url("/direct.pac"));
    EXPECT_EQ(FetchBoth(), kDirect);
}

TEST_F(ProxyTest, NoneMeansDirectEvenWithAProxyInTheEnvironment) {
    ::setenv("http_proxy", ("http://" + Server().ProxyAddress()).c_str(), 1);
    SetProgramSettings(
        "string:ui_prop_proxy_which=none\n"
        "string:ui_prop_proxy_http_server=127.0.0.1\n");
    EXPECT_EQ(FetchBoth(), kDirect);
    // A missing settings file is the same as "none".
    fs::remove(appData / "Tessra/2007/ts07.cfg");
    EXPECT_EQ(FetchBoth(), kDirect);
}

// Calls a hook when the start record of an item is posted, which happens on
// the running thread just before that item's transfer.
struct StartHook : Data::DownloadMsgSink {
    std::function<void(int)> onStart;
    int starts = 0;
    void Post(std::unique_ptr<Data::DownloadMsg> msg) override {
        if (msg->kind == Data::kStartKind) onStart(starts++);
    }
};

TEST_F(ProxyTest, ChoiceIsReadAfreshForEveryTransferOfOneRun) {
    const std::string proxied =
        "string:ui_prop_proxy_which=tessra\n"
        "string:ui_prop_proxy_http_server=127.0.0.1\n"
        "string:ui_prop_proxy_http_port=" +
        std::to_string(Server().Port()) + "\n";
    // Proxy, then none, then proxy again, on the one handle of the run: "none"
    // must not keep the proxy an earlier transfer set.
    StartHook hook;
    hook.onStart = [&](int index) {
        SetProgramSettings(index == 1 ? "string:ui_prop_proxy_which=none\n" : proxied);
    };
    Data::DownloadList list;
    for (const char* name : {"a", "b", "c"}) {
        WriteFile(root / (std::string("updates/2007/win/") + name), RandomBytes(20000, 12));
        list.AppendItem(Item(std::string("/updates/2007/win/") + name, local / name, 20000));
    }
    Transfer::DownloadWorker worker;
    worker.list = &list;
    worker.notify = true;
    worker.sink = &hook;
    EXPECT_TRUE(Transfer::RunList(worker));
    // Proxied and direct requests come on different connections, so their
    // log lines may come in any order: look each one up by its path.
    std::vector<bool> flags;
    for (const char* name : {"a", "b", "c"}) {
        auto requests = RequestsFor(std::string("/updates/2007/win/") + name, 1);
        ASSERT_EQ(requests.size(), 1u) << name;
        flags.push_back(requests[0]["proxyRequest"]);
    }
    EXPECT_EQ(flags, (std::vector<bool>{true, false, true}));
}

TEST_F(ProxyTest, TextDownloadsAskCachesForAFreshCopy) {
    // An origin of its own, to see every request header.
    struct Seen {
        std::string cacheControl, pragma;
    };
    std::mutex mutex;
    std::map<std::string, Seen> seen;
    httplib::Server origin;
    origin.Get(".*", [&](const httplib::Request& request, httplib::Response& response) {
        std::lock_guard<std::mutex> lock(mutex);
        seen[request.path] = {request.get_header_value("Cache-Control"),
                              request.get_header_value("Pragma")};
        response.set_content("Product=US\n" + std::string(5000, 'x'), "text/plain");
    });
    const int port = origin.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { origin.listen_after_bind(); });
    while (!origin.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    // Text, installer, text on the one handle of a run: the installer's request
    // must not keep the headers of the text download before it.
    Data::DownloadList list;
    for (const char* name : {"ver.txt", "cupd.exe", "alert.txt"}) {
        Data::DownloadItem item = Item("/x", local / name, 0);
        item.url = "http://127.0.0.1:" + std::to_string(port) + "/" + name;
        list.AppendItem(item);
    }
    EXPECT_TRUE(Run(list));
    origin.stop();
    serving.join();

    std::map<std::string, std::pair<std::string, std::string>> headers;
    for (const auto& [path, request] : seen) headers[path] = {request.cacheControl, request.pragma};
    const std::pair<std::string, std::string> fresh{"no-cache", "no-cache"}, none{"", ""};
    EXPECT_EQ(headers, (std::map<std::string, std::pair<std::string, std::string>>{
                           {"/ver.txt", fresh}, {"/cupd.exe", none}, {"/alert.txt", fresh}}));
}

}  // namespace
}  // namespace DownloadTest
