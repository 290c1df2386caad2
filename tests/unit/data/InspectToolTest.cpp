// tessra-swm-inspect run as a real process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>

#include "TestSupport.h"
#include "tests/support/TestSigning.h"

extern char** environ;

namespace {

struct ToolRun {
    int status = -1;
    std::string out, err;
};

class InspectToolTest : public ::testing::Test {
  protected:
    ToolRun Inspect(const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& env = {}) {
        std::vector<std::string> envText;
        for (char** e = environ; *e; ++e) {
            std::string entry = *e;
            std::string name = entry.substr(0, entry.find('='));
            if (!env.count(name) && !name.starts_with("TESSRA_")) envText.push_back(entry);
        }
        for (const auto& [name, value] : env) envText.push_back(name + "=" + value);
        std::vector<char*> envp;
        for (std::string& entry : envText) envp.push_back(entry.data());
        envp.push_back(nullptr);

        std::vector<std::string> argText = {INSPECT_TOOL};
        argText.insert(argText.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : argText) argv.push_back(arg.data());
        argv.push_back(nullptr);

        const std::string outPath = dir / "out.txt", errPath = dir / "err.txt";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        pid_t pid = 0;
        ToolRun run;
        int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(spawned, 0);
        if (spawned != 0) return run;
        int status = 0;
        waitpid(pid, &status, 0);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.out = DataTest::ReadFile(outPath);
        run.err = DataTest::ReadFile(errPath);
        return run;
    }
    nlohmann::json Json(const ToolRun& run) {
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        return nlohmann::json::parse(run.out, nullptr, false);
    }
    DataTest::TempDir dir;
};

}  // namespace

TEST_F(InspectToolTest, SettingsWithCommandLineAndUnreadableFile) {
    DataTest::WriteFile(
        dir / "req.cfg",
        "edition=Premium\r\nprom=P\r\ncamp=C\r\nyear=2007\r\nproduct=us\r\n"
        "ver=ver.txt\r\noutput=/o/us.txt\r\nfile-bytes=0\r\ninstalled-ver=0100\r\n");
    nlohmann::json result =
        Json(Inspect({"settings", dir / "req.cfg", "--command-line",
                      "/opt/install/bin/tessra-swm " + (dir / "req.cfg") + " /N Upd.Example"}));
    EXPECT_EQ(result["edition"], 4);
    EXPECT_EQ(result["values"]["EDITION"], "Premium");
    ASSERT_EQ(result["items"].size(), 1u);
    EXPECT_EQ(result["items"][0]["url"], "http://upd.example/updates/2007/win/us/100/ver.txt");
    EXPECT_EQ(result["items"][0]["installedVersion"], 100);

    EXPECT_EQ(Json(Inspect({"settings", dir / "missing.cfg"})),
              nlohmann::json::parse(R"({"edition": 7, "values": {}, "items": []})"));
}

TEST_F(InspectToolTest, ProductProblemManifestAndMark) {
    EXPECT_EQ(Json(Inspect({"product", "hlp"})),
              nlohmann::json::parse(R"({"code": "HLP", "name": "Help Files"})"));
    EXPECT_TRUE(Json(Inspect({"product", "TX"})).is_null());
    EXPECT_EQ(Json(Inspect({"problem", "35"}))["title"], "Unexpected error");

    DataTest::WriteFile(dir / "ver.txt", "product=ny\nVersion=12\nSIZE=5\n");
    nlohmann::json manifest = Json(Inspect({"manifest", dir / "ver.txt"}));
    EXPECT_EQ(manifest["product"]["name"], "New York");
    EXPECT_EQ(manifest["offeredVersion"], 12);
    EXPECT_EQ(manifest["edition"], 7);
    EXPECT_EQ(manifest["installedVersion"], -1);
    EXPECT_TRUE(Json(Inspect({"manifest", dir / "none.txt"})).is_null());

    EXPECT_EQ(Json(Inspect({"mark-updated", dir / "none.cfg"}))["rewritten"], false);
}

TEST_F(InspectToolTest, ProxyFromTheDataFolderOfTheEnvironment) {
    DataTest::WriteFile(dir / "home/Tessra/2007/ts07.cfg",
                        "string:ui_prop_proxy_which=tessra\nstring:ui_prop_proxy_http_server=px\n");
    nlohmann::json result = Json(Inspect(
        {"proxy"}, {{"TESSRA_APPDATA", dir / "home"}, {"TESSRA_REGISTRY", dir / "reg.cfg"}}));
    EXPECT_EQ(result,
              nlohmann::json::parse(R"({"mode": 2, "address": "px:80", "source": "ts07.cfg"})"));

    nlohmann::json none = Json(Inspect({"proxy"}, {{"TESSRA_APPDATA", dir / "nowhere"}}));
    EXPECT_EQ(none, nlohmann::json::parse(R"({"mode": 0, "address": null, "source": "none"})"));

    // "system" without Internet settings in the registry stand-in: the desktop's
    // proxy for the update server, here from the environment.
    DataTest::WriteFile(dir / "desk/Tessra/2007/ts07.cfg", "string:ui_prop_proxy_which=system\n");
    for (auto [noProxy, expected] : std::vector<std::pair<std::string, std::string>>{
             {"", R"({"mode": 1, "address": "desk.example:3128", "source": "desktop"})"},
             {"updates.example", R"({"mode": 0, "address": null, "source": "desktop"})"}}) {
        nlohmann::json desktop =
            Json(Inspect({"proxy", "--command-line", "tessra-swm /home/u/r.cfg /N updates.example"},
                         {{"TESSRA_APPDATA", dir / "desk"},
                          {"TESSRA_REGISTRY", dir / "reg.cfg"},
                          {"http_proxy", "http://desk.example:3128/"},
                          {"no_proxy", noProxy}}));
        EXPECT_EQ(desktop, nlohmann::json::parse(expected)) << noProxy;
    }
}

TEST_F(InspectToolTest, BadUsageGivesStatusTwoAndOneLine) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{},
                                               {"frobnicate"},
                                               {"problem", "x"},
                                               {"problem"},
                                               {"settings", "a", "b"},
                                               {"settings", "a", "--command-line"},
                                               {"product", "us", "--settings", "x"}}) {
        ToolRun run = Inspect(args);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }
}

TEST_F(InspectToolTest, ManifestHashAndSignatureUnderTheKeyTheProgramFinds) {
    TestSupport::TestKey key;
    const std::string body = "Product=US\r\nSIZE=5\r\nSHA256=" + std::string(64, 'b') + "\r\n";
    DataTest::WriteFile(dir / "signed.txt", key.Sign(body));
    DataTest::WriteFile(dir / "tampered.txt", key.Sign(body).replace(9, 1, "X"));
    DataTest::WriteFile(dir / "unsigned.txt", body);
    DataTest::WriteFile(dir / "key.pub", key.PublicLine() + "\n");
    DataTest::WriteFile(dir / "broken.pub", "no key\n");
    struct Case {
        std::string keyFile, manifest;
        nlohmann::json signature;
    } cases[] = {
        {"none.pub", "signed.txt", nullptr},     {"key.pub", "signed.txt", "valid"},
        {"key.pub", "tampered.txt", "invalid"},  {"key.pub", "unsigned.txt", "missing"},
        {"broken.pub", "signed.txt", "invalid"},
    };
    for (const Case& c : cases) {
        nlohmann::json result = Json(
            Inspect({"manifest", dir / c.manifest}, {{"TESSRA_SWM_UPDATE_KEY", dir / c.keyFile}}));
        EXPECT_EQ(result["signature"], c.signature) << c.keyFile << " " << c.manifest;
        EXPECT_EQ(result["sha256"], std::string(64, 'b'));
    }
    DataTest::WriteFile(dir / "plain.txt", "product=ny\n");
    EXPECT_TRUE(Json(Inspect({"manifest", dir / "plain.txt"}))["sha256"].is_null());
    // EXPIRES counts only under a key.
    DataTest::WriteFile(dir / "dated.txt", key.Sign(body + "EXPIRES=2007-12-31T00:00:00Z\r\n"));
    for (const auto& [keyFile, expiry] : std::vector<std::pair<std::string, nlohmann::json>>{
             {"key.pub", "expired"}, {"none.pub", nullptr}})
        EXPECT_EQ(Json(Inspect({"manifest", dir / "dated.txt"},
                               {{"TESSRA_SWM_UPDATE_KEY", dir / keyFile}}))["expiry"],
                  expiry);
}

TEST_F(InspectToolTest, DeltaLinesAndTheBaseThatWouldBePicked) {
    const std::string earlier = "the installer of version 3";
    const std::string line =
        std::to_string(earlier.size()) + " " + TestSupport::Sha256Hex(earlier) + " 40 us-3-4.patch";
    DataTest::WriteFile(dir / "ver.txt",
                        "product=US\r\nSIZE=900\r\nSHA256=" + TestSupport::Sha256Hex("v4") +
                            "\r\nDELTA=" + line + "\r\nDELTA=1 2 3 ../x\r\n");
    DataTest::WriteFile(dir / "req.cfg", "edition=premium\r\n");
    std::filesystem::create_directories(dir / "Update");
    DataTest::WriteFile(dir / "Update/US23pupd.exe", earlier);
    DataTest::WriteFile(dir / "Update/US12pupd.exe", "older, another size");
    const nlohmann::json manifest = Json(Inspect({"manifest", dir / "ver.txt"}));
    ASSERT_EQ(manifest["deltas"].size(), 1u);
    EXPECT_EQ(manifest["deltas"][0]["patchName"], "us-3-4.patch");
    const nlohmann::json pick =
        Json(Inspect({"delta", dir / "ver.txt", dir / "Update", "--settings", dir / "req.cfg"}));
    EXPECT_EQ(pick["choice"], 0);
    EXPECT_EQ(pick["base"], dir / "Update/US23pupd.exe");
    EXPECT_EQ(pick["candidates"].size(), 2u);
    // A purchase looks only at the file it would download to.
    EXPECT_EQ(
        Json(Inspect({"delta", dir / "ver.txt", dir / "Update", "--file", "TessraNY.exe"}))["why"],
        "no earlier installer of the product on disk");
}
