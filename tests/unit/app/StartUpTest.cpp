// Start-up: the single instance, the start-up messages, the run-mode words,
// the settings path forms and the generated settings files.
#include <sys/stat.h>

#include <functional>

#include "AppTestSupport.h"
#include "app/Settings.h"

namespace AppTest {
namespace {

using Names = std::vector<std::string>;

const char* kAlertCfg =
    "prom=ALRT\r\ncamp=411411\r\nedition=premium\r\nyear=2007\r\nproduct=alert\r\n"
    "ver=alert.txt\r\noutput=%APPDATA%/Tessra/2007/alert.txt\r\nfile-bytes=0\r\n"
    "installed-ver=1000\r\n";

std::string Replace(std::string text, const std::string& what, const std::string& with) {
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + with.size()))
        text.replace(p, what.size(), with);
    return text;
}

TEST(SettingsPath, UpdateForm) {
    // The examples of the design, and the Windows-era forms.
    EXPECT_EQ(
        App::SettingsPath("/home/u/.local/share/Tessra/2007/download.cfg /N updates.example.com",
                          false, false),
        "/home/u/.local/share/Tessra/2007/download.cfg");
    EXPECT_EQ(App::SettingsPath("/home/Nina/req.cfg /N host", false, false), "/home/Nina/req.cfg");
    EXPECT_EQ(App::SettingsPath("/home/u/My Files/req.cfg\" /N host", false, false),
              "/home/u/My Files/req.cfg");
    EXPECT_EQ(App::SettingsPath("/home/u/req.cfg", false, false), "");
    EXPECT_EQ(App::SettingsPath("/home/u/req.cfg /N host /install", false, false),
              "/home/u/req.cfg");
    EXPECT_EQ(App::SettingsPath("  '/home/u/req.cfg'   /N host", false, false), "/home/u/req.cfg");
    // A path that itself begins with /N is a path, not the switch.
    EXPECT_EQ(App::SettingsPath("/Nfs/req.cfg /N host", false, false), "/Nfs/req.cfg");
    EXPECT_EQ(App::SettingsPath("/N host", false, false), "");
}

TEST(SettingsPath, AlertForm) {
    EXPECT_EQ(App::SettingsPath("/alert /hide /home/u/req.cfg /N host", true, true),
              "/home/u/req.cfg");
    EXPECT_EQ(App::SettingsPath("/hide /alert /home/u/req.cfg /N host", true, true),
              "/home/u/req.cfg");
    EXPECT_EQ(App::SettingsPath("/alert /home/u/req.cfg /N host", true, false), "/home/u/req.cfg");
    EXPECT_EQ(App::SettingsPath("/home/u/req.cfg /N host /alert /hide", true, true),
              "/home/u/req.cfg");
    // The path as the last item: nothing beginning with "/" follows it.
    EXPECT_EQ(App::SettingsPath("/alert /home/u/req.cfg", true, false), "");
    EXPECT_EQ(App::SettingsPath("/alert /hide", true, true), "");
    // Words inside folder names are not switches and stay in the path.
    EXPECT_EQ(App::SettingsPath("/home/alert/hide/req.cfg /N host", true, true),
              "/home/alert/hide/req.cfg");
    EXPECT_EQ(App::SettingsPath("/alert \"/home/u/My Files/req.cfg\" /N host", true, false),
              "/home/u/My Files/req.cfg");
}

class StartUp : public AppFixture {};

TEST_F(StartUp, EmptyArgumentsShowTheRequiredFileMessageAndTouchNothing) {
    SetArguments("");
    Run();
    ASSERT_EQ(fake.messages.size(), 1u);
    EXPECT_EQ(fake.messages[0].text,
              "The Software Manager could not find a required file\nand will now exit.");
    EXPECT_EQ(fake.messages[0].title, "Software Manager Error");
    EXPECT_TRUE(screens.shown.empty());
    EXPECT_TRUE(fake.starts.empty());
    EXPECT_EQ(checks, 0);
}

TEST_F(StartUp, SecondCopyIsRefusedBeforeAnythingElse) {
    fake.lockFree = false;
    SetArguments("/alert " + WriteRequest({}) + " /N host");
    Run();
    ASSERT_EQ(fake.messages.size(), 1u);
    EXPECT_EQ(fake.messages[0].text,
              "Please wait for all downloads to finish before updating or downloading a state.");
    EXPECT_EQ(fake.messages[0].title, "Software Manager Error");
    EXPECT_FALSE(fs::exists(fake.appData + "/Tessra/2007/alert.cfg"));
    EXPECT_TRUE(screens.shown.empty());
    EXPECT_FALSE(app.HoldsSingleInstance());
}

TEST_F(StartUp, ReinstallWinsOverEveryOtherWord) {
    WriteFile(fake.commonAppData + "/Tessra/2007/CA.txt", "{CA}\n");
    SetArguments("-reinstall CA");
    fake.argumentText = "-reinstall CA";
    Run();
    ASSERT_EQ(fake.starts.size(), 3u);
    EXPECT_EQ(fake.starts[0].file, "msiexec.exe");

    // With "alert", "http" and "hide" in front, still only the reinstall runs.
    fake.starts.clear();
    SetArguments("alert http hide -reinstall CA");
    Run();
    EXPECT_TRUE(screens.shown.empty());
    EXPECT_FALSE(fs::exists(fake.appData + "/Tessra/2007/alert.cfg"));
    EXPECT_FALSE(fs::exists(fake.commonAppData + "/Tessra/2007/purchase.cfg"));
    EXPECT_EQ(Titles(), Names{"Error"});  // the codes then start inside the words
}

TEST_F(StartUp, AlertSettingsFileIsWrittenByteForByte) {
    WriteFile(fake.appData + "/Tessra/2007/alert.txt", Manifest("ALERT", 7));
    screens.script = {{"WelcomeDlg", 1}, {"NoUpdatesAvailDlg", 2}, {"AllUpdsAvailDlg", 2}};
    SetArguments("/alert " + WriteRequest({}) + " /N host");
    Run();
    EXPECT_EQ(ReadFile(fake.appData + "/Tessra/2007/alert.cfg"),
              Replace(kAlertCfg, "%APPDATA%", fake.appData));
}

TEST_F(StartUp, UnwritableAlertSettingsEndTheRunWithAMessage) {
    fs::remove_all(fake.appData + "/Tessra");
    SetArguments("/alert " + WriteRequest({}) + " /N host");
    Run();
    ASSERT_EQ(fake.messages.size(), 1u);
    EXPECT_EQ(fake.messages[0].title, "Software Manager Error");
    EXPECT_EQ(fake.messages[0].text, "The Software Manager could not write the file\n" +
                                         fake.appData +
                                         "/Tessra/2007/alert.cfg\nand will now exit.");
    EXPECT_TRUE(screens.shown.empty());
    EXPECT_EQ(checks, 0);
}

TEST(GeneratedSettingsFile, IsNeverWrittenThroughAPlantedName) {
    TempDir dir;
    const std::string outside = dir / "outside.txt", path = dir / "purchase.cfg";
    const std::vector<std::function<void()>> plants = {
        [&] { fs::create_symlink(outside, path); },          // link to an existing file
        [&] { fs::create_symlink(dir / "missing", path); },  // link to a missing one
        [&] { fs::create_hard_link(outside, path); },        // a second name
        [&] { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); },   // would block a plain open
    };
    for (size_t i = 0; i < plants.size(); ++i) {
        SCOPED_TRACE(i);
        WriteFile(outside, "keep me\n");
        plants[i]();
        EXPECT_FALSE(App::WriteSettingsLines(path, {"state=nj"}));
        EXPECT_EQ(ReadFile(outside), "keep me\n");
        EXPECT_FALSE(fs::exists(dir / "missing"));
        fs::remove(path);
    }
    WriteFile(path, "an older, longer request\r\n");
    EXPECT_TRUE(App::WriteSettingsLines(path, {"a=1", "b=2"}));
    EXPECT_EQ(ReadFile(path), "a=1\r\nb=2\r\n");
}

TEST_F(StartUp, WordsInsideFolderNamesSwitchTheirBehaviourOn) {
    // "hide" in a folder name: no no-updates screen.
    std::string request = WriteRequest({{"us", 100, Manifest("US", 100)}});
    fs::create_directories(root / "hideout");
    fs::copy_file(request, root / "hideout" / "req.cfg");
    SetArguments((root / "hideout" / "req.cfg").string() + " /N host");
    Run();
    EXPECT_TRUE(screens.shown.empty());
    EXPECT_EQ(checks, 1);

    // "alert" in a folder name: the alert runs first, then the update.
    WriteFile(fake.appData + "/Tessra/2007/alert.txt", Manifest("ALERT", 7));
    fs::create_directories(root / "alerts");
    fs::copy_file(request, root / "alerts" / "req.cfg");
    screens.script = {{"WelcomeDlg", 1}, {"NoUpdatesAvailDlg", 2}, {"NoUpdatesAvailDlg", 2}};
    SetArguments((root / "alerts" / "req.cfg").string() + " /N host");
    Run();
    EXPECT_EQ(screens.Names(), (Names{"WelcomeDlg", "NoUpdatesAvailDlg", "NoUpdatesAvailDlg"}));
    EXPECT_EQ(screens.shown[1].first, Names{"ALERT"});
    EXPECT_EQ(screens.shown[2].first, Names{"US"});
}

TEST_F(StartUp, UpdateArgumentsWithoutTheServerSwitchGiveTheRequiredFileMessage) {
    SetArguments(WriteRequest({{"us", 100, Manifest("US", 101)}}));
    Run();
    EXPECT_EQ(Titles(), Names{"Software Manager Error"});
    EXPECT_TRUE(screens.shown.empty());
}

}  // namespace
}  // namespace AppTest
