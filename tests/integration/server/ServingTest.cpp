// Plain serving: whole files, HEAD, ranges, refusals, the proxy form and the request log,
// checked with the curl command against the real server binary.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <nlohmann/json.hpp>

#include "tests/integration/server/ServerProcess.h"
#include "tests/integration/server/ServerTestSupport.h"

namespace ServerTest {
namespace {

class Serving : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.Path().empty());
        root_ = dir_ / "root";
        log_ = dir_ / "requests.log";
        installer_ = RandomBytes(300000, 7);
        WriteFile(root_ + "/updates/2007/win/fed/1/updfed.exe", installer_);
        WriteFile(root_ + "/updates/2007/win/fed/1/ver.txt", "PRODUCT=fed\nVERSION=2\n");
        WriteFile(root_ + "/empty.bin", "");
        WriteFile(root_ + "/with space.txt", "spaced\n");
        WriteFile(dir_ / "outside/secret.txt", "top secret\n");
        ASSERT_EQ(symlink("../outside/secret.txt", (root_ + "/escape.txt").c_str()), 0);
        ASSERT_EQ(symlink("../outside", (root_ + "/escapedir").c_str()), 0);
        ASSERT_EQ(symlink("updates/2007/win/fed/1/updfed.exe", (root_ + "/alias.exe").c_str()), 0);
        server_ = std::make_unique<ServerProcess>(
            std::vector<std::string>{"--root", root_, "--log", log_});
        ASSERT_TRUE(server_->Start()) << server_->Error();
    }
    void TearDown() override {
        if (server_) {
            EXPECT_EQ(server_->Stop(), 0);
        }
    }

    // GET into a file; returns "exit-code status".
    std::string Fetch(const std::string& url, const std::string& file,
                      std::vector<std::string> extra = {}) {
        extra.insert(extra.end(), {"-o", file, "-w", "%{http_code}", url});
        Result r = Curl(extra);
        return std::to_string(r.exitCode) + " " + r.output;
    }

    std::string Installer() const { return server_->Url("/updates/2007/win/fed/1/updfed.exe"); }

    TempDir dir_;
    std::string root_, log_, installer_;
    std::unique_ptr<ServerProcess> server_;
};

TEST_F(Serving, GetAndHeadServeFilesWhole) {
    EXPECT_EQ(Fetch(Installer(), dir_ / "got.exe"), "0 200");
    EXPECT_TRUE(SameBytes(ReadFile(dir_ / "got.exe"), installer_));

    EXPECT_EQ(Fetch(server_->Url("/with%20space.txt"), dir_ / "space.txt"), "0 200");
    EXPECT_EQ(ReadFile(dir_ / "space.txt"), "spaced\n");

    EXPECT_EQ(Fetch(server_->Url("/empty.bin"), dir_ / "empty.bin"), "0 200");
    EXPECT_EQ(ReadFile(dir_ / "empty.bin"), "");

    Result head = Curl({"-I", Installer()});
    ASSERT_EQ(head.exitCode, 0);
    EXPECT_EQ(head.output.rfind("HTTP/1.1 200", 0), 0u) << head.output;
    EXPECT_EQ(HeaderValue(head.output, "Content-Length"), "300000");
    EXPECT_EQ(HeaderValue(head.output, "Accept-Ranges"), "bytes");
    EXPECT_EQ(HeaderValue(head.output, "Content-Range"), "");
}

TEST_F(Serving, RangesAreAnsweredFromTheRequestedOffset) {
    std::string headers = dir_ / "headers";
    EXPECT_EQ(Fetch(Installer(), dir_ / "tail", {"-H", "Range: bytes=123456-", "-D", headers}),
              "0 206");
    EXPECT_TRUE(SameBytes(ReadFile(dir_ / "tail"), installer_.substr(123456)));
    EXPECT_EQ(HeaderValue(ReadFile(headers), "Content-Range"), "bytes 123456-299999/300000");
    EXPECT_EQ(HeaderValue(ReadFile(headers), "Content-Length"), "176544");

    EXPECT_EQ(Fetch(Installer(), dir_ / "mid", {"-H", "Range: bytes=10-19", "-D", headers}),
              "0 206");
    EXPECT_TRUE(SameBytes(ReadFile(dir_ / "mid"), installer_.substr(10, 10)));
    EXPECT_EQ(HeaderValue(ReadFile(headers), "Content-Range"), "bytes 10-19/300000");

    // An end past the file is cut to the file; a suffix range gives the last bytes.
    EXPECT_EQ(Fetch(Installer(), dir_ / "over", {"-H", "Range: bytes=299990-999999"}), "0 206");
    EXPECT_TRUE(SameBytes(ReadFile(dir_ / "over"), installer_.substr(299990)));
    EXPECT_EQ(Fetch(Installer(), dir_ / "suffix", {"-H", "Range: bytes=-5"}), "0 206");
    EXPECT_TRUE(SameBytes(ReadFile(dir_ / "suffix"), installer_.substr(299995)));

    // Starting at or after the end cannot be satisfied.
    EXPECT_EQ(Fetch(Installer(), dir_ / "none", {"-H", "Range: bytes=300000-", "-D", headers}),
              "0 416");
    EXPECT_EQ(HeaderValue(ReadFile(headers), "Content-Range"), "bytes */300000");
    EXPECT_EQ(Fetch(Installer(), dir_ / "none", {"-H", "Range: bytes=5000000-"}), "0 416");

    // Several ranges are not served as such: the whole file.
    EXPECT_EQ(Fetch(Installer(), dir_ / "multi", {"-H", "Range: bytes=0-1,5-6"}), "0 200");
    EXPECT_TRUE(SameBytes(ReadFile(dir_ / "multi"), installer_));
}

TEST_F(Serving, RangesItCannotUseAreIgnoredAndLongOnesCut) {
    struct Case {
        const char* range;
        const char* status;
        size_t first, length;  // of the installer, for 200 and 206
    };
    for (const Case& c : {
             Case{"bytes=abc", "0 200", 0, 300000},
             Case{"bytes=5-2", "0 200", 0, 300000},
             Case{"bytes=", "0 200", 0, 300000},
             Case{"items=0-1", "0 200", 0, 300000},
             Case{"bytes=0-1,5-6", "0 200", 0, 300000},
             Case{"bytes=299000-99999999999999999999999", "0 206", 299000, 1000},
             Case{"bytes=10-18446744073709551615", "0 206", 10, 299990},
             Case{"bytes=300000-", "0 416", 0, 0},
             Case{"bytes=99999999999999999999999-", "0 416", 0, 0},
         }) {
        std::string got = dir_ / "got";
        EXPECT_EQ(Fetch(Installer(), got, {"-H", std::string("Range: ") + c.range}), c.status)
            << c.range;
        if (c.length) {
            EXPECT_TRUE(SameBytes(ReadFile(got), installer_.substr(c.first, c.length))) << c.range;
        }
    }
    // The log keeps the field as it came.
    auto lines = ServerProcess::WaitForLines(log_, 9);
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(nlohmann::json::parse(lines[0])["range"], "bytes=abc");
}

TEST_F(Serving, ResumedDownloadEndsByteIdentical) {
    std::string partial = dir_ / "partial.exe";
    WriteFile(partial, installer_.substr(0, 100000));
    EXPECT_EQ(Fetch(Installer(), partial, {"-C", "-"}), "0 206");
    EXPECT_TRUE(SameBytes(ReadFile(partial), installer_));

    auto lines = ServerProcess::WaitForLines(log_, 1);
    ASSERT_EQ(lines.size(), 1u);
    auto entry = nlohmann::json::parse(lines[0]);
    EXPECT_EQ(entry["range"], "bytes=100000-");
    EXPECT_EQ(entry["bytesSent"], 200000);
}

TEST_F(Serving, MissingFilesAndFoldersAre404) {
    for (const char* path : {"/nothing.txt", "/updates", "/updates/", "/updates/2007/win/fed/1/",
                             "/updates/2007/win/fed/1/updfed.exe/x"}) {
        EXPECT_EQ(Fetch(server_->Url(path), dir_ / "out"), "0 404") << path;
    }
    // What a client that fails on errors sees.
    EXPECT_EQ(Curl({"-f", "-o", dir_ / "out", server_->Url("/nothing.txt")}).exitCode, 22);
}

TEST_F(Serving, NoTargetReachesOutsideTheRoot) {
    struct Case {
        const char* path;
        const char* status;
    };
    for (const Case& c :
         {Case{"/../outside/secret.txt", "400"}, Case{"/updates/../../outside/secret.txt", "400"},
          Case{"/%2e%2e/outside/secret.txt", "400"},
          Case{"/updates/%2E%2E%2f%2e%2e%2Foutside/secret.txt", "400"},
          Case{"/..%2foutside%2fsecret.txt", "400"}, Case{"/empty.bin%00.txt", "400"},
          Case{"/bad%zzescape", "400"}, Case{"/escape.txt", "404"},
          Case{"/escapedir/secret.txt", "404"}}) {
        std::string out = dir_ / "out";
        EXPECT_EQ(Fetch(server_->Url(c.path), out, {"--path-as-is"}), std::string("0 ") + c.status)
            << c.path;
        EXPECT_EQ(ReadFile(out).find("secret"), std::string::npos) << c.path;
    }
    // The same through the proxy form.
    EXPECT_EQ(Fetch("http://anyhost.example/../outside/secret.txt", dir_ / "out",
                    {"--path-as-is", "-x", server_->ProxyAddress()}),
              "0 400");
    // A link that stays inside the root is followed.
    EXPECT_EQ(Fetch(server_->Url("/alias.exe"), dir_ / "alias"), "0 200");
    EXPECT_TRUE(SameBytes(ReadFile(dir_ / "alias"), installer_));
}

TEST_F(Serving, AbsoluteFormTargetsServeFromTheRoot) {
    // The server acting as an HTTP proxy for any host serves its own files.
    EXPECT_EQ(Fetch("http://updates.example:8080/updates/2007/win/fed/1/ver.txt?x=1",
                    dir_ / "ver.txt", {"-x", "http://" + server_->ProxyAddress()}),
              "0 200");
    EXPECT_EQ(ReadFile(dir_ / "ver.txt"), "PRODUCT=fed\nVERSION=2\n");
    EXPECT_EQ(Fetch(Installer(), dir_ / "direct.exe", {"-r", "299000-"}), "0 206");

    auto lines = ServerProcess::WaitForLines(log_, 2);
    ASSERT_EQ(lines.size(), 2u);
    auto viaProxy = nlohmann::json::parse(lines[0]);
    EXPECT_EQ(viaProxy["proxyRequest"], true);
    EXPECT_EQ(viaProxy["target"], "http://updates.example:8080/updates/2007/win/fed/1/ver.txt?x=1");
    EXPECT_EQ(viaProxy["path"], "/updates/2007/win/fed/1/ver.txt");
    EXPECT_EQ(nlohmann::json::parse(lines[1])["proxyRequest"], false);
}

TEST_F(Serving, LogHasOneJsonLinePerRequest) {
    const std::string agent = "TessraSWM prom1 camp1";
    EXPECT_EQ(Fetch(Installer(), dir_ / "a", {"-A", agent}), "0 200");
    EXPECT_EQ(Fetch(Installer(), dir_ / "b", {"-A", "", "-H", "Range: bytes=299900-"}), "0 206");
    EXPECT_EQ(Curl({"-I", "-A", agent, Installer()}).exitCode, 0);
    EXPECT_EQ(Fetch(server_->Url("/nothing.txt"), dir_ / "c"), "0 404");
    EXPECT_EQ(Curl({"-X", "POST", "-d", "x", server_->Url("/empty.bin")}).exitCode, 0);

    auto lines = ServerProcess::WaitForLines(log_, 5);
    ASSERT_EQ(lines.size(), 5u);
    std::vector<nlohmann::json> e;
    for (const auto& line : lines) e.push_back(nlohmann::json::parse(line));

    EXPECT_EQ(e[0]["method"], "GET");
    EXPECT_EQ(e[0]["target"], "/updates/2007/win/fed/1/updfed.exe");
    EXPECT_TRUE(e[0]["range"].is_null());
    EXPECT_EQ(e[0]["userAgent"], agent);
    EXPECT_EQ(e[0]["status"], 200);
    EXPECT_EQ(e[0]["bytesSent"], 300000);
    EXPECT_EQ(e[0]["proxyRequest"], false);
    EXPECT_EQ(e[0]["remoteAddr"], "127.0.0.1");
    EXPECT_GT(e[0]["remotePort"].get<int>(), 0);

    EXPECT_EQ(e[1]["range"], "bytes=299900-");
    EXPECT_TRUE(e[1]["userAgent"].is_null());  // -A "" sends no User-Agent
    EXPECT_EQ(e[1]["status"], 206);
    EXPECT_EQ(e[1]["bytesSent"], 100);

    EXPECT_EQ(e[2]["method"], "HEAD");
    EXPECT_EQ(e[2]["status"], 200);
    EXPECT_EQ(e[2]["bytesSent"], 0);

    EXPECT_EQ(e[3]["status"], 404);
    EXPECT_EQ(e[4]["method"], "POST");
    EXPECT_EQ(e[4]["status"], 405);
}

TEST_F(Serving, KeepsConnectionsAliveBetweenRequests) {
    std::string ver = server_->Url("/updates/2007/win/fed/1/ver.txt");
    Result r = Curl({"-o", dir_ / "one", "-o", dir_ / "two", ver, Installer()});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(SameBytes(ReadFile(dir_ / "two"), installer_));
    auto lines = ServerProcess::WaitForLines(log_, 2);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(nlohmann::json::parse(lines[0])["remotePort"],
              nlohmann::json::parse(lines[1])["remotePort"]);
}

TEST(ServingLog, AppendsToAnExistingLog) {
    TempDir dir;
    WriteFile(dir / "root/f.txt", "PRODUCT=x\n");
    WriteFile(dir / "log", "{\"earlier\":true}\n");
    ServerProcess server({"--root", dir / "root", "--log", dir / "log"});
    ASSERT_TRUE(server.Start()) << server.Error();
    EXPECT_EQ(Curl({"-o", dir / "f", server.Url("/f.txt")}).exitCode, 0);
    auto lines = ServerProcess::WaitForLines(dir / "log", 2);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "{\"earlier\":true}");
    EXPECT_EQ(nlohmann::json::parse(lines[1])["path"], "/f.txt");
    EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
}  // namespace ServerTest
