#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "platform/SupportLog.h"
#include "platform/Transcript.h"
#include "tests/support/EnvGuard.h"
#include "tests/support/TestFiles.h"

namespace {

using TestSupport::EnvGuard;
using TestSupport::ReadFile;
using TestSupport::TempDir;
using TestSupport::WriteFile;

class SupportLogTest : public ::testing::Test {
  protected:
    void TearDown() override { Sys::SupportLog::Enable(""); }
    mode_t Mode(const std::string& path) {
        struct stat st {};
        return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
    }
    TempDir dir;
    EnvGuard env;
};

TEST_F(SupportLogTest, PathFollowsTheStateFolderAndCanBeTurnedOff) {
    struct Case {
        const char* state;
        const char* home;
        const char* log;
        std::string path;
    };
    for (const Case& c : {
             Case{"/s/state/", "/h", nullptr, "/s/state/tessra-swm/swm.log"},
             Case{"relative", "/h", nullptr, "/h/.local/state/tessra-swm/swm.log"},
             Case{nullptr, "/h", "1", "/h/.local/state/tessra-swm/swm.log"},
             Case{"/s", "/h", "0", ""},
         }) {
        env.Set("XDG_STATE_HOME", c.state);
        env.Set("HOME", c.home);
        env.Set("TESSRA_SWM_LOG", c.log);
        EXPECT_EQ(Sys::SupportLog::DefaultPath(), c.path) << (c.state ? c.state : "(unset)");
    }
}

TEST_F(SupportLogTest, TranscriptEventsGoToTheLogWithATimestamp) {
    env.Set("TESSRA_SWM_TRANSCRIPT", nullptr);
    std::string log = dir / "state/tessra-swm/swm.log";
    Sys::Transcript::Write("before", {});  // not on yet: nowhere
    Sys::SupportLog::Enable(log);
    Sys::Transcript::Write("notify", {{"text", "close Tessra"}});
    EXPECT_TRUE(std::regex_match(ReadFile(log),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z )"
                                            R"(\{"event":"notify","text":"close Tessra"\}\n)")))
        << ReadFile(log);
    EXPECT_EQ(Mode(dir / "state"), 0700u);
    EXPECT_EQ(Mode(dir / "state/tessra-swm"), 0700u);
    EXPECT_EQ(Mode(log), 0600u);
}

TEST_F(SupportLogTest, RotatesBeforeTheLimitReplacingTheOlderLog) {
    std::string log = dir / "swm.log";
    Sys::SupportLog::Enable(log, 100);
    WriteFile(log + ".1", "oldest\n");
    std::string entry(40, 'a');
    for (int i = 0; i < 3; ++i) Sys::SupportLog::Append(entry);
    std::string first = ReadFile(log + ".1");
    std::string second = ReadFile(log);
    EXPECT_EQ(std::count(first.begin(), first.end(), '\n'), 1);  // 2 lines would pass 100 bytes
    EXPECT_EQ(std::count(second.begin(), second.end(), '\n'), 1);
    EXPECT_LE(second.size(), 100u);
    EXPECT_EQ(first.find("oldest"), std::string::npos);
}

TEST_F(SupportLogTest, NeverWritesThroughALinkOrIntoAFifo) {
    WriteFile(dir / "target", "keep\n");
    ASSERT_EQ(symlink((dir / "target").c_str(), (dir / "swm.log").c_str()), 0);
    Sys::SupportLog::Enable(dir / "swm.log");
    Sys::SupportLog::Append("x");
    EXPECT_EQ(ReadFile(dir / "target"), "keep\n");

    ASSERT_EQ(mkdir((dir / "real").c_str(), 0700), 0);
    ASSERT_EQ(symlink((dir / "real").c_str(), (dir / "linked").c_str()), 0);
    Sys::SupportLog::Enable(dir / "linked/swm.log");
    Sys::SupportLog::Append("x");
    EXPECT_FALSE(std::filesystem::exists(dir / "real/swm.log"));

    // A FIFO with a reader could be opened for writing; nothing must go into it.
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    int reader = open((dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    Sys::SupportLog::Enable(dir / "fifo");
    Sys::SupportLog::Append("x");
    char byte;
    EXPECT_EQ(read(reader, &byte, 1), 0);  // no writer left, nothing written
    close(reader);
}

}  // namespace
