// The Linux platform's processes with real child processes: starts, lookup on
// PATH, the process list, waiting, close requests, the lock, web pages.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "app/Processes.h"
#include "platform/LinuxPlatform.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteScript(const fs::path& path, const std::string& text, fs::perms perms) {
    std::ofstream(path, std::ios::binary) << text;
    fs::permissions(path, perms);
}

// Sets an environment variable for the life of the object.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

bool WaitUntil(const std::function<bool()>& done, int ms = 5000) {
    for (int i = 0; i < ms / 10; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

class LinuxProcesses : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("app-linux-" + std::to_string(getpid()) + "-" +
               testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir / "bin");
        transcript =
            std::make_unique<ScopedEnv>("TESSRA_SWM_TRANSCRIPT", (dir / "t.jsonl").string());
        display = std::make_unique<ScopedEnv>("DISPLAY", "");
        // Tests run in parallel processes and find programs by name among all
        // processes: each test process gets a name of its own.
        unitName = "Tu" + std::to_string(getpid()) + ".exe";
    }
    void TearDown() override {
        transcript.reset();
        display.reset();
        fs::remove_all(dir);
    }
    std::vector<json> Events() {
        std::vector<json> out;
        std::istringstream lines(ReadFile(dir / "t.jsonl"));
        for (std::string line; std::getline(lines, line);) out.push_back(json::parse(line));
        return out;
    }
    std::vector<std::string> Lines(const fs::path& path) {
        std::vector<std::string> out;
        std::istringstream lines(ReadFile(path));
        for (std::string line; std::getline(lines, line);) out.push_back(line);
        return out;
    }
    // Starts a copy of sleep named `name`; the caller ends it. Never "Tessra.exe":
    // tests running beside these look for the tax program by that name.
    std::unique_ptr<Sys::WaitHandle> StartNamed(const std::string& name) {
        fs::copy_file("/bin/sleep", dir / name);
        return platform.Start({(dir / name).string(), "30", "", 5, false, ""});
    }

    fs::path dir;
    std::string unitName;
    std::unique_ptr<ScopedEnv> transcript, display;
    Sys::LinuxPlatform platform;
};

TEST_F(LinuxProcesses, DownloadedInstallerIsMadeExecutableAndGetsSplitParameters) {
    fs::path installer = dir / "TessraCA.exe";
    WriteScript(installer,
                "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$0.args\"\n",
                fs::perms::owner_read | fs::perms::owner_write);
    auto handle = platform.Start(
        {installer.string(), "\"/v/passive\" /x{AB} \"two words\" /v\"RUN=/G\"", "", 5, true, ""});
    ASSERT_TRUE(handle);
    EXPECT_TRUE(handle->Wait(10000));
    EXPECT_TRUE((fs::status(installer).permissions() & fs::perms::owner_exec) != fs::perms::none);
    EXPECT_EQ(Lines(dir / "TessraCA.exe.args"),
              (std::vector<std::string>{"/v/passive", "/x{AB}", "two words", "/vRUN=/G"}));
    auto events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], (json{{"event", "launch"},
                               {"file", installer.string()},
                               {"parameters", "\"/v/passive\" /x{AB} \"two words\" /v\"RUN=/G\""},
                               {"verb", ""},
                               {"show", 5},
                               {"wait", true}}));
}

TEST_F(LinuxProcesses, BareNamesAreLookedUpOnPath) {
    WriteScript(dir / "bin" / "msiexec.exe",
                "#!/bin/sh\nprintf '%s|' \"$@\" > \"" + (dir / "msiexec.args").string() + "\"\n",
                fs::perms::owner_all);
    ScopedEnv path("PATH", (dir / "bin").string() + ":" + std::getenv("PATH"));
    auto handle = platform.Start({"msiexec.exe", "/x{CA-1} /passive", "runas", 5, true, ""});
    ASSERT_TRUE(handle);
    EXPECT_TRUE(handle->Wait(10000));
    EXPECT_EQ(ReadFile(dir / "msiexec.args"), "/x{CA-1}|/passive|");
    EXPECT_EQ(Events().at(0)["file"], "msiexec.exe");
    EXPECT_EQ(Events().at(0)["verb"], "runas");
}

TEST_F(LinuxProcesses, FailedStartsGiveNoHandle) {
    ScopedEnv path("PATH", (dir / "bin").string());
    EXPECT_FALSE(platform.Start({(dir / "missing.exe").string(), "", "", 5, true, ""}));
    EXPECT_FALSE(platform.Start({"msiexec.exe", "/x", "", 5, true, ""}));
    // A file that is no program at all (a Windows installer, say).
    std::ofstream(dir / "setup.exe", std::ios::binary) << "MZ\x90\x00 not an ELF";
    EXPECT_FALSE(platform.Start({(dir / "setup.exe").string(), "", "", 5, true, ""}));
    EXPECT_EQ(Events().size(), 3u);  // every start is recorded, also a failed one
}

TEST_F(LinuxProcesses, RunningProgramIsListedWaitedOnAndClosedBySignalWithoutDisplay) {
    auto started = StartNamed(unitName);
    ASSERT_TRUE(started);
    uint32_t pid = started->Pid();
    // Until the child has run exec it still carries the test's own name, and
    // its new arguments appear a moment after its new name.
    std::vector<Sys::ProcessEntry> listed;
    auto it = listed.end();
    for (int tries = 0; tries < 500; ++tries) {
        listed = platform.ListProcesses();
        it = std::find_if(listed.begin(), listed.end(), [&](auto& p) { return p.pid == pid; });
        if (it != listed.end() && it->comm == unitName && !it->argv0.empty()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(it, listed.end());
    EXPECT_EQ(it->comm, unitName);
    EXPECT_EQ(it->argv0, (dir / unitName).string());

    auto handle = platform.OpenProcess(pid);
    ASSERT_TRUE(handle);
    EXPECT_FALSE(handle->Wait(50));
    platform.BringToFront(pid);
    platform.RequestClose(pid);
    EXPECT_TRUE(handle->Wait(10000));
    EXPECT_TRUE(started->Wait(0));
    listed = platform.ListProcesses();
    EXPECT_TRUE(std::none_of(listed.begin(), listed.end(), [&](auto& p) { return p.pid == pid; }));
    auto events = Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[1], (json{{"event", "foreground"}, {"pid", pid}}));
    EXPECT_EQ(events[2], (json{{"event", "close-request"}, {"pid", pid}}));
}

TEST_F(LinuxProcesses, DisplayThatDoesNotAnswerFallsBackToSignal) {
    ScopedEnv noDisplay("DISPLAY", ":87");
    auto started = StartNamed(unitName);
    ASSERT_TRUE(started);
    platform.RequestClose(started->Pid());
    EXPECT_TRUE(started->Wait(10000));
}

TEST_F(LinuxProcesses, ScriptIsFoundByItsOwnName) {
    // A script's interpreter is argv[0]; the kernel names the process after the script.
    // The script ends by itself after 30 s even if the test fails.
    WriteScript(dir / unitName,
                "#!/bin/sh\ni=0\nwhile [ $i -lt 300 ]; do sleep 0.1; i=$((i+1)); done\n",
                fs::perms::owner_all);
    auto script = platform.Start({(dir / unitName).string(), "", "", 5, false, ""});
    ASSERT_TRUE(script);
    std::string mixedCase = "tU" + unitName.substr(2, unitName.size() - 6) + ".EXE";
    Sys::Install(&platform);
    std::unique_ptr<Sys::WaitHandle> found;
    uint32_t pid = 0;
    // Until the script has been exec'd the child still carries the parent's name.
    WaitUntil([&] {
        auto finder = App::ProcessFinder::Fill();
        found = App::FindRunningProgram(finder, mixedCase, pid);
        return found != nullptr;
    });
    Sys::Install(nullptr);
    kill(static_cast<pid_t>(script->Pid()), SIGKILL);
    ASSERT_TRUE(found);
    EXPECT_EQ(pid, script->Pid());
    EXPECT_TRUE(found->Wait(10000));
}

TEST_F(LinuxProcesses, EndedProcessesAreNeitherListedNorOpenedAndChildrenAreReaped) {
    pid_t zombie = fork();
    if (zombie == 0) _exit(0);
    ASSERT_TRUE(WaitUntil([&] {
        return ReadFile("/proc/" + std::to_string(zombie) + "/stat").find(") Z") !=
               std::string::npos;
    }));
    auto listed = platform.ListProcesses();
    EXPECT_TRUE(std::none_of(listed.begin(), listed.end(),
                             [&](auto& p) { return p.pid == static_cast<uint32_t>(zombie); }));
    EXPECT_FALSE(platform.OpenProcess(static_cast<uint32_t>(zombie)));
    waitpid(zombie, nullptr, 0);

    // A started program nobody waits for does not stay a zombie.
    uint32_t pid = 0;
    {
        auto handle = platform.Start({"/bin/true", "", "", 5, false, ""});
        ASSERT_TRUE(handle);
        pid = handle->Pid();
    }
    EXPECT_TRUE(WaitUntil([&] {
        platform.ListProcesses();
        return !fs::exists("/proc/" + std::to_string(pid));
    }));
}

TEST_F(LinuxProcesses, SingleInstanceLockIsHeldAndNotPassedToChildren) {
    ScopedEnv runtime("XDG_RUNTIME_DIR", dir.string());
    Sys::LinuxPlatform first, second;
    EXPECT_TRUE(first.AcquireSingleInstance("Tessra Software Manager"));
    EXPECT_TRUE(first.AcquireSingleInstance("Tessra Software Manager"));
    EXPECT_FALSE(second.AcquireSingleInstance("Tessra Software Manager"));
    EXPECT_TRUE(fs::exists(dir / "Tessra Software Manager.lock"));

    auto child = first.Start({"/bin/sleep", "30", "", 5, false, ""});
    ASSERT_TRUE(child);
    fs::path fds = "/proc/" + std::to_string(child->Pid()) + "/fd";
    ASSERT_TRUE(WaitUntil(
        [&] { return ReadFile("/proc/" + std::to_string(child->Pid()) + "/comm") == "sleep\n"; }));
    for (auto& fd : fs::directory_iterator(fds)) {
        std::error_code ec;
        EXPECT_EQ(fs::read_symlink(fd, ec).string().find(".lock"), std::string::npos);
    }
    kill(static_cast<pid_t>(child->Pid()), SIGKILL);
    EXPECT_TRUE(child->Wait(10000));
}

TEST_F(LinuxProcesses, WebPagesOpenThroughXdgOpenDetached) {
    WriteScript(dir / "bin" / "xdg-open",
                "#!/bin/sh\nprintf '%s' \"$1\" > \"" + (dir / "opened").string() + "\"\n",
                fs::perms::owner_all);
    {
        ScopedEnv path("PATH", (dir / "bin").string() + ":/usr/bin:/bin");
        EXPECT_TRUE(platform.OpenUrl("http://www.tessra.example/alerts/"));
        EXPECT_TRUE(WaitUntil(
            [&] { return ReadFile(dir / "opened") == "http://www.tessra.example/alerts/"; }));
    }
    fs::create_directories(dir / "empty");
    ScopedEnv path("PATH", (dir / "empty").string());
    EXPECT_FALSE(platform.OpenUrl("http://www.tessra.example/"));
    auto events = Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0],
              (json{{"event", "open"}, {"target", "http://www.tessra.example/alerts/"}}));
}

}  // namespace
