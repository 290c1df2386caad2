#pragma once
// Shared pieces of the app tests: a temporary machine on the fake platform,
// settings and manifest files, and screens answered from a script.

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "app/DLMgrApp.h"
#include "app/ScreenFactory.h"
#include "data/Text.h"
#include "platform/FakePlatform.h"
#include "tests/support/TestFiles.h"

namespace AppTest {

using TestSupport::ReadFile;
using TestSupport::TempDir;
using TestSupport::WriteFile;

namespace fs = std::filesystem;

// One screen shown by a flow, with what it was given.
struct Shown {
    explicit Shown(std::string name, std::vector<std::string> a = {},
                   std::vector<std::string> b = {}, int ed = 0, std::string p = {},
                   std::string c = {})
        : screen(std::move(name)),
          first(std::move(a)),
          second(std::move(b)),
          edition(ed),
          prom(std::move(p)),
          camp(std::move(c)) {}
    std::string screen;
    std::vector<std::string> first;   // product codes of the first list
    std::vector<std::string> second;  // of the second list (updates available)
    int edition = 0;
    std::string prom, camp;
};

inline std::vector<std::string> Codes(const App::EntryList& list) {
    std::vector<std::string> out;
    for (auto* e : list) out.push_back(e->product ? e->product->code : "?");
    return out;
}

// Answers each screen with the next scripted result for it; a screen without
// a scripted result fails the test and answers 2.
class ScriptedScreens : public App::ScreenFactory {
  public:
    std::vector<std::pair<std::string, int>> script;  // screen, result
    std::vector<Shown> shown;
    std::function<void(const std::string&)> onShow;  // called as each screen comes up

    int Next(Shown s) {
        shown.push_back(s);
        if (onShow) onShow(s.screen);
        if (next_ >= script.size() || script[next_].first != s.screen) {
            ADD_FAILURE() << "unexpected screen " << s.screen;
            return 2;
        }
        return script[next_++].second;
    }
    bool AllUsed() const { return next_ == script.size(); }
    std::vector<std::string> Names() const {
        std::vector<std::string> out;
        for (auto& s : shown) out.push_back(s.screen);
        return out;
    }

    int Welcome(Data::DownloadList&) override { return Next(Shown("WelcomeDlg")); }
    int NoNetwork(Data::DownloadList&) override { return Next(Shown("NoNetworkDlg")); }
    int UpdatesAvailable(const App::EntryList& u, const App::EntryList& c) override {
        return Next(Shown("UpdatesAvailableDlg", Codes(u), Codes(c)));
    }
    int AllUpdsAvail(const App::EntryList& u) override {
        return Next(Shown("AllUpdsAvailDlg", Codes(u)));
    }
    int NoUpdatesAvail(const App::EntryList& e) override {
        Shown s("NoUpdatesAvailDlg", Codes(e));
        for (auto* entry : e) s.second.push_back(std::to_string(entry->offeredVersion));
        return Next(s);
    }
    int Progress(int edition, const App::EntryList& u, const std::string& prom,
                 const std::string& camp) override {
        return Next(Shown("DLMgrDlg", Codes(u), {}, edition, prom, camp));
    }
    int Finished(const App::EntryList& u) override { return Next(Shown("FinishedDlg", Codes(u))); }

  private:
    size_t next_ = 0;
};

struct Product {
    std::string code;      // as in the settings file ("us", "ny")
    int installed;         // installed-ver
    std::string manifest;  // manifest text; empty: no manifest file at all
};

inline std::string Manifest(const std::string& code, int version, int size = 1000) {
    return "PRODUCT=" + code + "\nYEAR=2007\nVERSION=" + std::to_string(version) +
           "\nSIZE=" + std::to_string(size) + "\nMESSAGE=Expected soon\n";
}

// A temporary machine: folders on disk, the fake platform installed.
class AppFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        root = fs::temp_directory_path() /
               ("app-test-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fake.appData = (root / "appdata").string();
        fake.commonAppData = (root / "common").string();
        fake.currentFolder = (root / "cwd").string();
        fake.tempFolder = (root / "temp").string();
        fake.exeFolder = (root / "bin").string();
        for (auto d : {fake.appData + "/Tessra/2007", fake.commonAppData + "/Tessra/2007/Downloads",
                       fake.currentFolder, fake.exeFolder})
            fs::create_directories(d);
        Sys::Install(&fake);
        app.SetScreenFactory(&screens);
        app.SetUpdateCheck([this](Data::DownloadList&) {
            ++checks;
            if (checkResults.empty()) return true;
            bool r = checkResults.front();
            checkResults.pop_front();
            return r;
        });
    }
    void TearDown() override {
        Sys::Install(nullptr);
        fs::remove_all(root);
    }

    void SetArguments(const std::string& arguments) {
        fake.argumentText = arguments;
        fake.commandLine =
            "/opt/tessra/bin/tessra-swm" + (arguments.empty() ? "" : " " + arguments);
    }

    // A request file with one record per product; manifests at the outputs.
    std::string WriteRequest(const std::vector<Product>& products,
                             const std::string& edition = "premium") {
        fs::remove_all(root / "manifests");
        std::string path = (root / "req" / "download.cfg").string();
        std::string text = "edition=" + edition + "\n";
        for (size_t i = 0; i < products.size(); ++i) {
            const Product& p = products[i];
            std::string output =
                (root / "manifests" / (std::to_string(i) + "-" + p.code + "-ver.txt")).string();
            text += "output=" + output +
                    "\nfile-bytes=0\ninstalled-ver=" + std::to_string(p.installed) +
                    "\nyear=2007\ncamp=C1\nproduct=" + p.code + "\nprom=P1\nver=ver.txt\n";
            if (!p.manifest.empty()) WriteFile(output, p.manifest);
        }
        WriteFile(path, text);
        return path;
    }

    void Run() { app.InitInstance(); }

    std::vector<std::string> Titles() {
        std::vector<std::string> out;
        for (auto& m : fake.messages) out.push_back(m.title);
        return out;
    }

    fs::path root;
    Sys::FakePlatform fake;
    ScriptedScreens screens;
    DLMgrApp app;
    std::deque<bool> checkResults;
    int checks = 0;
};

}  // namespace AppTest
