#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "TestSupport.h"
#include "data/AlertSuppression.h"
#include "data/ProgramSettings.h"

using namespace Data;
namespace fs = std::filesystem;

namespace {

class ProgramSettingsTest : public DataTest::FakePlatformTest {
  protected:
    std::string Ts07() { return dir / "ts07.cfg"; }
    size_t FilesInFolder() {
        size_t count = 0;
        for ([[maybe_unused]] auto& entry : fs::directory_iterator(dir.Path())) ++count;
        return count;
    }
};

constexpr const char* kMark = "bool:ui_prop_tessra_updated=true";

}  // namespace

TEST_F(ProgramSettingsTest, FalseMarkIsRewrittenInPlace) {
    DataTest::WriteFile(Ts07(),
                        "string:ui_prop_proxy_which=none\r\n"
                        "bool:ui_prop_tessra_updated=false\r\n"
                        "string:ui_prop_last_state=NY\r\n");
    ASSERT_TRUE(MarkProgramUpdated(Ts07()));
    EXPECT_EQ(DataTest::ReadFile(Ts07()),
              "string:ui_prop_proxy_which=none\r\n"
              "bool:ui_prop_tessra_updated=true\r\n"
              "string:ui_prop_last_state=NY\r\n");
    EXPECT_EQ(FilesInFolder(), 1u);  // no temporary file left behind
}

TEST_F(ProgramSettingsTest, MissingMarkIsAppendedAsTheLastLine) {
    DataTest::WriteFile(Ts07(), "string:a=1\nstring:b=2\n");
    ASSERT_TRUE(MarkProgramUpdated(Ts07()));
    EXPECT_EQ(DataTest::ReadFile(Ts07()), std::string("string:a=1\nstring:b=2\n") + kMark + "\n");

    // A last line without its line end keeps its value.
    DataTest::WriteFile(Ts07(), "string:a=1\r\nstring:b=2");
    ASSERT_TRUE(MarkProgramUpdated(Ts07()));
    EXPECT_EQ(DataTest::ReadFile(Ts07()),
              std::string("string:a=1\r\nstring:b=2\r\n") + kMark + "\r\n");

    DataTest::WriteFile(Ts07(), "");
    ASSERT_TRUE(MarkProgramUpdated(Ts07()));
    EXPECT_EQ(DataTest::ReadFile(Ts07()), std::string(kMark) + "\n");
}

TEST_F(ProgramSettingsTest, LongerNameOrOtherTypeIsNotTheMark) {
    const std::string original =
        "bool:ui_prop_tessra_updated_before=false\n"
        "string:ui_prop_tessra_updated=false\n"
        " bool:ui_prop_tessra_updated=false\n";
    DataTest::WriteFile(Ts07(), original);
    ASSERT_TRUE(MarkProgramUpdated(Ts07()));
    EXPECT_EQ(DataTest::ReadFile(Ts07()), original + kMark + "\n");

    // Marking twice changes nothing more.
    ASSERT_TRUE(MarkProgramUpdated(Ts07()));
    EXPECT_EQ(DataTest::ReadFile(Ts07()), original + kMark + "\n");
}

TEST_F(ProgramSettingsTest, MissingFileIsNeitherMarkedNorCreated) {
    EXPECT_FALSE(MarkProgramUpdated(Ts07()));
    EXPECT_FALSE(fs::exists(Ts07()));
    EXPECT_FALSE(MarkProgramUpdated(dir.Path()));  // a folder
}

TEST_F(ProgramSettingsTest, KeepsPermissionsAndRewritesThroughLinks) {
    DataTest::WriteFile(Ts07(), "bool:ui_prop_tessra_updated=false\n");
    ASSERT_EQ(chmod(Ts07().c_str(), 0640), 0);
    fs::create_symlink(Ts07(), dir / "link.cfg");
    ASSERT_TRUE(MarkProgramUpdated(dir / "link.cfg"));
    EXPECT_TRUE(fs::is_symlink(dir / "link.cfg"));
    EXPECT_EQ(DataTest::ReadFile(Ts07()), std::string(kMark) + "\n");
    struct stat info {};
    ASSERT_EQ(stat(Ts07().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

// Runs `body` in a child process as an unprivileged user when the tests run as
// root (root may write anything); returns the body's result.
int AsOrdinaryUser(const std::string& folder, const std::function<int()>& body) {
    if (geteuid() != 0) return body();
    const uid_t nobody = 65534;
    if (chown(folder.c_str(), nobody, nobody) != 0) return 100;
    pid_t pid = fork();
    if (pid == 0) {
        if (setgid(nobody) != 0 || setuid(nobody) != 0) _exit(101);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 102;
}

TEST_F(ProgramSettingsTest, UnwritableFileOrFolderLeavesTheFileWhole) {
    const std::string path = Ts07(), folder = dir.Path();
    int result = AsOrdinaryUser(folder, [&] {
        const std::string original = "string:a=1\nbool:ui_prop_tessra_updated=false\n";
        DataTest::WriteFile(path, original);
        // A read-only settings file stays as it is.
        if (chmod(path.c_str(), 0444) != 0) return 1;
        if (MarkProgramUpdated(path)) return 2;
        if (DataTest::ReadFile(path) != original) return 3;
        // A writable file in a folder where no temporary file can be made.
        if (chmod(path.c_str(), 0644) != 0 || chmod(folder.c_str(), 0555) != 0) return 4;
        bool marked = MarkProgramUpdated(path);
        if (chmod(folder.c_str(), 0755) != 0) return 5;
        if (marked) return 6;
        if (DataTest::ReadFile(path) != original) return 7;
        return 0;
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(FilesInFolder(), 1u);
}

TEST_F(ProgramSettingsTest, PathsLieInThePerUserDataFolder) {
    EXPECT_EQ(ProgramSettingsPath(), fake.appData + "/Tessra/2007/ts07.cfg");
    EXPECT_EQ(AlertSuppressionPath(), fake.appData + "/Tessra/2007/swmgr.cfg");
}

TEST_F(ProgramSettingsTest, AlertSuppressionRoundTrip) {
    std::string path = dir / "swmgr.cfg";
    ASSERT_TRUE(WriteAlertSuppression(path, 1042, true));
    EXPECT_EQ(DataTest::ReadFile(path), "currver=1042\r\nshow=false\r\n");
    AlertSuppression read = ReadAlertSuppression(path);
    EXPECT_EQ(read.currentVersion, "1042");
    EXPECT_EQ(read.show, "false");

    ASSERT_TRUE(WriteAlertSuppression(path, -3, false));
    EXPECT_EQ(DataTest::ReadFile(path), "currver=-3\r\nshow=true\r\n");
    EXPECT_EQ(ReadAlertSuppression(path).show, "true");

    EXPECT_FALSE(WriteAlertSuppression(dir / "no/such/folder/swmgr.cfg", 1, true));
}

TEST_F(ProgramSettingsTest, AlertSuppressionReadRules) {
    std::string path = dir / "swmgr.cfg";
    AlertSuppression missing = ReadAlertSuppression(path);
    EXPECT_FALSE(missing.currentVersion);
    EXPECT_FALSE(missing.show);

    // Line ends of any kind, blanks around the value, the last line wins, the key
    // may stand anywhere in the line.
    DataTest::WriteFile(path,
                        "currver=  7 \r\r\n"
                        "show=true\n"
                        "old currver=1043\r\n"
                        "show=false\r\n"
                        "nothing here\n");
    AlertSuppression read = ReadAlertSuppression(path);
    EXPECT_EQ(read.currentVersion, "old currver=1043");  // only leading key letters go
    EXPECT_EQ(read.show, "false");

    DataTest::WriteFile(path, "currver=  7 \r\r\n");
    EXPECT_EQ(ReadAlertSuppression(path).currentVersion, "7");
    EXPECT_FALSE(ReadAlertSuppression(path).show);
}
