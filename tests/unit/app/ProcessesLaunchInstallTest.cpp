// Finding, waiting for and closing the tax program; starting programs; the
// installation behind the finished screen's OK.
#include <thread>

#include "AppTestSupport.h"
#include "app/Installation.h"
#include "app/Launch.h"
#include "app/Processes.h"
#include "tests/support/TestSigning.h"

namespace AppTest {
namespace {

using Names = std::vector<std::string>;

TEST(ProcessNameMatches, WholeNameOfCommOrArgv0IgnoringCase) {
    auto entry = [](std::string comm, std::string argv0) {
        return Sys::ProcessEntry{1, std::move(comm), std::move(argv0)};
    };
    EXPECT_TRUE(App::ProcessNameMatches(entry("Tessra.exe", ""), "Tessra.exe"));
    EXPECT_TRUE(App::ProcessNameMatches(entry("TESSRA.EXE", "x"), "Tessra.exe"));
    EXPECT_TRUE(App::ProcessNameMatches(entry("python3", "/opt/t/tessra.Exe"), "Tessra.exe"));
    EXPECT_TRUE(
        App::ProcessNameMatches(entry("wine", "C:\\Program Files\\Tessra.exe"), "Tessra.exe"));
    EXPECT_TRUE(App::ProcessNameMatches(entry("sh", "Tessra.exe"), "Tessra.exe"));
    // Only the whole name counts.
    EXPECT_FALSE(App::ProcessNameMatches(entry("MyTessra.exe", "/x/MyTessra.exe"), "Tessra.exe"));
    EXPECT_FALSE(App::ProcessNameMatches(entry("Tessra.exe2", "/x/Tessra.exe.bak"), "Tessra.exe"));
    EXPECT_FALSE(App::ProcessNameMatches(entry("Tessra", "/Tessra.exe/bin/run"), "Tessra.exe"));
    EXPECT_FALSE(App::ProcessNameMatches(entry("", ""), "Tessra.exe"));
}

class Processes : public AppFixture {};

TEST_F(Processes, FindGivesTheFirstMatchThatCanStillBeOpened) {
    fake.processes = {{10, "bash"}, {11, "tessra.exe"}, {12, "Tessra.exe"}};
    auto finder = App::ProcessFinder::Fill();
    uint32_t pid = 0;
    auto handle = App::FindRunningProgram(finder, "Tessra.exe", pid);
    ASSERT_TRUE(handle);
    EXPECT_EQ(pid, 11u);
    EXPECT_EQ(handle->Pid(), 11u);

    // 11 ended after the list was taken: the next one is found.
    fake.processes.erase(fake.processes.begin() + 1);
    handle = App::FindRunningProgram(finder, "Tessra.exe", pid);
    ASSERT_TRUE(handle);
    EXPECT_EQ(pid, 12u);

    fake.processes.clear();
    EXPECT_FALSE(App::FindRunningProgram(finder, "Tessra.exe", pid));
    App::ProcessFinder empty;
    EXPECT_FALSE(App::FindRunningProgram(empty, "Tessra.exe", pid));
}

TEST_F(Processes, CloseBringsToFrontWithElevationAndAsksEachCopyInTurn) {
    fake.processes = {{21, "Tessra.exe"}, {22, "TESSRA.EXE"}};
    fake.closeOnRequest = {21, 22};
    App::CloseRunningProgram("Tessra.exe");
    EXPECT_EQ(fake.foregrounded, (std::vector<uint32_t>{21}));
    EXPECT_EQ(fake.closeRequests, (std::vector<uint32_t>{21}));  // stops once it has ended
    EXPECT_EQ(fake.processes.size(), 1u);

    fake.elevation = false;
    fake.foregrounded.clear();
    fake.closeRequests.clear();
    App::CloseRunningProgram("Tessra.exe");
    EXPECT_TRUE(fake.foregrounded.empty());
    EXPECT_EQ(fake.closeRequests, (std::vector<uint32_t>{22}));
}

TEST_F(Processes, ARefusingProgramIsAskedAgainAfterEachTimeOut) {
    fake.processes = {{31, "Tessra.exe"}};
    std::thread user([&] {
        // Gives in after a few requests, as a user answering "save?" would.
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::lock_guard<std::mutex> lock(fake.mutex);
            if (fake.closeRequests.size() >= 3) {
                fake.processes.clear();
                return;
            }
        }
    });
    App::CloseRunningProgram("Tessra.exe", 10);
    user.join();
    EXPECT_GE(fake.closeRequests.size(), 3u);
    EXPECT_EQ(fake.foregrounded.size(), fake.closeRequests.size());
}

TEST_F(Processes, NothingRunningMeansOnePassAndNoRequest) {
    fake.processes = {{40, "bash"}};
    App::CloseRunningProgram("Tessra.exe");
    App::WaitForProgramExit("Tessra.exe", "close it");
    EXPECT_TRUE(fake.closeRequests.empty());
    EXPECT_TRUE(fake.foregrounded.empty());
    EXPECT_TRUE(fake.notifications.empty());  // no wait, nothing to tell
}

TEST_F(Processes, WaitReturnsOnceEveryCopyHasEndedWithoutAskingAnyToClose) {
    fake.processes = {{51, "Tessra.exe"}, {52, "Tessra.exe"}};
    std::thread user([&] {
        for (int i = 0; i < 2; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            std::lock_guard<std::mutex> lock(fake.mutex);
            fake.processes.erase(fake.processes.begin());
        }
    });
    App::WaitForProgramExit("Tessra.exe", "close it");
    bool empty;
    {
        std::lock_guard<std::mutex> lock(fake.mutex);
        empty = fake.processes.empty();
    }
    user.join();
    EXPECT_TRUE(empty);
    EXPECT_TRUE(fake.closeRequests.empty());
    EXPECT_EQ(fake.notifications, (std::vector<std::string>{"close it"}));  // once for both
}

TEST(TaxProgramParameters, ServerAndSwitchesHandedBack) {
    EXPECT_EQ(App::TaxProgramParameters("/opt/t/tessra-swm /h/req.cfg /N updates.example"),
              " /N updates.example /mru");
    EXPECT_EQ(App::TaxProgramParameters("/opt/t/tessra-swm /h/req.cfg"), " /mru");
    EXPECT_EQ(App::TaxProgramParameters("/opt/t/tessra-swm /h/req.cfg /N \"updates.example\" "),
              " /N updates.example /mru");
    EXPECT_EQ(App::TaxProgramParameters("/opt/t/tessra-swm /h/req.cfg /N host:8080 /install"),
              " /N host:8080 /install /mru");
    // "/N" inside a path is not the switch.
    EXPECT_EQ(App::TaxProgramParameters("/Nfs/tessra-swm /home/Nina/req.cfg"), " /mru");
}

class Launch : public AppFixture {};

TEST_F(Launch, TaxProgramStartsFromOwnFolderAfterDeletingTheRequestFiles) {
    WriteFile(fake.currentFolder + "/download.cfg", "x");
    WriteFile(fake.currentFolder + "/purchase.cfg", "x");
    WriteFile(fake.currentFolder + "/other.cfg", "x");
    fake.commandLine = "/opt/t/tessra-swm /h/req.cfg /N \"updates.example\"";
    App::LaunchTaxProgram();
    EXPECT_FALSE(fs::exists(fake.currentFolder + "/download.cfg"));
    EXPECT_FALSE(fs::exists(fake.currentFolder + "/purchase.cfg"));
    EXPECT_TRUE(fs::exists(fake.currentFolder + "/other.cfg"));
    ASSERT_EQ(fake.starts.size(), 1u);
    EXPECT_EQ(fake.starts[0].file, fake.exeFolder + "/Tessra.exe");
    EXPECT_EQ(fake.starts[0].parameters, " /N updates.example /mru");
    EXPECT_EQ(fake.starts[0].verb, "");  // never with raised rights, whatever the flag
    EXPECT_EQ(fake.starts[0].show, 5);
    EXPECT_FALSE(fake.starts[0].wait);
}

TEST_F(Launch, ProductCodeFileLinesAreJoinedAfterSlashX) {
    WriteFile(fake.commonAppData + "/Tessra/2007/CA.txt", "{AB}\r\n{CD}\n\n");
    std::string parameters;
    ASSERT_TRUE(App::UninstallParameters("CA", parameters));
    EXPECT_EQ(parameters, "/x{AB}{CD} /passive");
    EXPECT_FALSE(App::UninstallParameters("NY", parameters));
    EXPECT_FALSE(App::UninstallState("NY"));
    EXPECT_TRUE(fake.starts.empty());
}

TEST_F(Launch, LargeProductCodeFileIsJoinedWhole) {
    // 8 MiB of short lines, some blank: every line joined, in order.
    std::string file, joined = "/x";
    for (int i = 0; file.size() < (8u << 20); ++i) {
        const std::string code = "{" + std::to_string(i) + "}";
        file += code + (i % 3 ? "\n" : "\r\n") + (i % 100 ? "" : "\n");
        joined += code;
    }
    WriteFile(fake.commonAppData + "/Tessra/2007/CA.txt", file);
    std::string parameters;
    ASSERT_TRUE(App::UninstallParameters("CA", parameters));
    EXPECT_TRUE(parameters == joined + " /passive");
}

// A platform whose started programs run for a given number of 500 ms waits.
class SlowStarts : public Sys::FakePlatform {
  public:
    int waitsBeforeEnd = 0;
    std::vector<int> waitTimeouts;
    std::function<void(const Sys::StartRequest&)> onStart;

    std::unique_ptr<Sys::WaitHandle> Start(const Sys::StartRequest& request) override {
        if (onStart) onStart(request);
        auto handle = FakePlatform::Start(request);
        if (!handle) return nullptr;
        return std::make_unique<Handle>(this);
    }
    class Handle : public Sys::WaitHandle {
      public:
        explicit Handle(SlowStarts* owner) : owner_(owner), left_(owner->waitsBeforeEnd) {}
        bool Wait(int timeoutMs) override {
            owner_->waitTimeouts.push_back(timeoutMs);
            return left_-- <= 0;
        }
        uint32_t Pid() const override { return 77; }

      private:
        SlowStarts* owner_;
        int left_;
    };
};

TEST(RunAndWait, WaitsInHalfSecondStepsRepaintingAfterEach) {
    SlowStarts sys;
    sys.waitsBeforeEnd = 3;
    Sys::Install(&sys);
    int repaints = 0;
    App::RunAndWait("/x/setup.exe", "\"/v/passive\"", 5, [&] { ++repaints; });
    EXPECT_EQ(repaints, 3);
    EXPECT_EQ(sys.waitTimeouts, (std::vector<int>{500, 500, 500, 500}));
    ASSERT_EQ(sys.starts.size(), 1u);
    EXPECT_EQ(sys.starts[0].verb, "runas");
    EXPECT_TRUE(sys.starts[0].wait);

    // A start that fails ends the wait at once, without a message.
    sys.startSucceeds = false;
    sys.elevation = false;
    App::RunAndWait("/x/missing.exe", "", 5, [&] { ++repaints; });
    EXPECT_EQ(repaints, 3);
    EXPECT_EQ(sys.starts[1].verb, "");
    EXPECT_TRUE(sys.messages.empty());
    Sys::Install(nullptr);
}

// The finished screen as the installation sees it.
class RecordingView : public Presentation::InstallView {
  public:
    std::vector<std::string> calls;
    void Minimise() override { calls.push_back("minimise"); }
    void Restore() override { calls.push_back("restore"); }
    void HideScreen() override { calls.push_back("hide-screen"); }
    void ShowScreen() override { calls.push_back("show-screen"); }
    void HideAllControls() override { calls.push_back("hide-controls"); }
    void ShowInstallingTexts(bool visible) override {
        calls.push_back(visible ? "installing-texts" : "no-installing-texts");
    }
    void Repaint() override { calls.push_back("repaint"); }
};

class Installing : public ::testing::Test {
  protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("app-install-" + std::to_string(::getpid()));
        fs::remove_all(root);
        sys.appData = (root / "appdata").string();
        sys.currentFolder = (root / "cwd").string();
        sys.exeFolder = (root / "bin").string();
        sys.privateFolder = (root / "private").string();
        fs::create_directories(sys.privateFolder);
        settings = sys.appData + "/Tessra/2007/ts07.cfg";
        WriteFile(settings, "string:ui_prop_proxy_mode=0\nbool:ui_prop_tessra_updated=false\n");
        sys.commandLine = "/opt/t/tessra-swm /h/req.cfg /N updates.example";
        sys.onStart = [this](const Sys::StartRequest& r) {
            {
                std::lock_guard<std::mutex> lock(sys.mutex);
                for (auto pid : sys.closeRequests)
                    events.push_back("closed " + std::to_string(pid));
                sys.closeRequests.clear();
            }
            events.push_back("start " + r.file + " " + r.parameters);
            // Installers start from a private copy of exactly their bytes.
            if (r.wait) copies.push_back(r.runPath.empty() ? "" : ReadFile(r.runPath));
            if (r.wait)
                marked.push_back(ReadFile(settings).find("updated=true") != std::string::npos);
        };
        Sys::Install(&sys);
    }
    void TearDown() override {
        Sys::Install(nullptr);
        fs::remove_all(root);
    }
    // Downloads of the given names, each holding its name, with size and hash promised.
    std::vector<Transfer::VerifiedCopy> Installers(const Names& names) {
        std::vector<Transfer::VerifiedCopy> out;
        for (const std::string& name : names) {
            WriteFile(U(name), name);
            out.push_back(Transfer::VerifiedCopy::Make(
                U(name), {static_cast<int64_t>(name.size()), TestSupport::Sha256Hex(name)}));
        }
        return out;
    }
    std::string U(const std::string& name) { return (root / "u" / name).string(); }
    fs::path root;
    SlowStarts sys;
    std::string settings;
    std::vector<std::string> events;
    std::vector<bool> marked;
    std::vector<std::string> copies;
    RecordingView view;
    App::Installation installation;
};

TEST_F(Installing, CloseNowWithElevationClosesMarksInstallsEachAndRestarts) {
    sys.processes = {{61, "Tessra.exe"}};
    sys.closeOnRequest = {61};
    sys.waitsBeforeEnd = 1;
    installation.Install(view, true, Installers({"US1cupd.exe", "NY1cupd.exe"}));
    EXPECT_EQ(sys.foregrounded, (std::vector<uint32_t>{61}));
    EXPECT_EQ(events, (Names{"closed 61", "start " + U("US1cupd.exe") + " \"/v/passive\"",
                             "start " + U("NY1cupd.exe") + " \"/v/passive\"",
                             "start " + sys.exeFolder + "/Tessra.exe  /N updates.example /mru"}));
    EXPECT_EQ(marked, (std::vector<bool>{true, true}));
    EXPECT_EQ(ReadFile(settings),
              "string:ui_prop_proxy_mode=0\nbool:ui_prop_tessra_updated=true\n");
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(sys.starts[i].verb, "runas");
        EXPECT_EQ(sys.starts[i].show, 5);
    }
    EXPECT_EQ(view.calls, (Names{"repaint", "hide-controls", "installing-texts", "repaint",
                                 "repaint", "repaint",     // one wait step, then after the first
                                 "repaint", "repaint"}));  // and the second
}

TEST_F(Installing, CloseNowBeforeElevationMinimisesAroundEachStep) {
    sys.elevation = false;
    installation.Install(view, true, Installers({"US1cupd.exe"}));
    EXPECT_EQ(view.calls,
              (Names{"minimise", "restore", "repaint", "minimise", "restore", "repaint"}));
    EXPECT_TRUE(sys.foregrounded.empty());
    ASSERT_EQ(sys.starts.size(), 2u);
    EXPECT_EQ(sys.starts[0].verb, "");
    EXPECT_EQ(sys.starts[1].file, sys.exeFolder + "/Tessra.exe");
}

TEST_F(Installing, WaitWayWaitsConfirmsAndNeverRestarts) {
    sys.processes = {{71, "Tessra.exe"}};
    std::thread user([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        std::lock_guard<std::mutex> lock(sys.mutex);
        sys.processes.clear();
    });
    installation.Install(view, false, Installers({"US1cupd.exe", "HLP1phlpupd.exe"}));
    user.join();
    EXPECT_TRUE(sys.closeRequests.empty());
    EXPECT_TRUE(sys.foregrounded.empty());
    EXPECT_EQ(sys.notifications, (Names{App::kInstallWaitNotice}));
    ASSERT_EQ(sys.messages.size(), 1u);
    EXPECT_EQ(sys.messages[0].title, "Install Updates");
    EXPECT_EQ(sys.messages[0].text,
              "We will now install your update(s).\n\n          Click OK to continue.");
    EXPECT_EQ(events, (Names{"start " + U("US1cupd.exe") + " \"/v/passive\"",
                             "start " + U("HLP1phlpupd.exe") + " \"/v/passive\""}));
    EXPECT_EQ(marked, (std::vector<bool>{true, true}));
    EXPECT_EQ(view.calls, (Names{"hide-controls", "no-installing-texts", "hide-screen",
                                 "installing-texts", "show-screen"}));
}

TEST_F(Installing, WaitWayWithOneInstallerOrBeforeElevationStaysHidden) {
    installation.Install(view, false, Installers({"US1cupd.exe"}));
    EXPECT_EQ(sys.messages.size(), 1u);
    EXPECT_EQ(view.calls, (Names{"hide-controls", "no-installing-texts", "hide-screen"}));

    sys.elevation = false;
    sys.messages.clear();
    view.calls.clear();
    installation.Install(view, false, Installers({"US1cupd.exe", "NY1cupd.exe"}));
    EXPECT_TRUE(sys.messages.empty());
    EXPECT_EQ(view.calls, (Names{"hide-controls", "no-installing-texts", "hide-screen"}));
}

TEST_F(Installing, WhatRunsIsTheCheckedCopyWhateverHappensToTheDownload) {
    {
        auto installers = Installers({"US1cupd.exe", "NY1cupd.exe"});
        WriteFile(U("US1cupd.exe"), "US1cupd.EXE");  // swapped after the check: same size
        fs::remove(U("NY1cupd.exe"));
        installation.Install(view, true, installers);
        EXPECT_EQ(copies, (Names{"US1cupd.exe", "NY1cupd.exe"}));
        EXPECT_EQ(events[0], "start " + U("US1cupd.exe") + " \"/v/passive\"");
    }
    // The copies are gone with the list that held them.
    EXPECT_TRUE(fs::is_empty(sys.privateFolder));
}

TEST_F(Installing, MissingSettingsFileIsNotCreatedAndEveryInstallerStillRuns) {
    fs::remove(settings);
    Names names;
    for (int i = 0; i < 60; ++i) names.push_back(std::to_string(i) + "upd.exe");
    installation.Install(view, true, Installers(names));
    EXPECT_FALSE(fs::exists(settings));
    ASSERT_EQ(sys.starts.size(), 61u);
    for (int i = 0; i < 60; ++i) EXPECT_EQ(sys.starts[i].file, U(names[i]));
    EXPECT_EQ(copies, names);
}

}  // namespace
}  // namespace AppTest
