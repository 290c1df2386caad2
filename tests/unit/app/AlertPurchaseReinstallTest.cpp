// The alert, purchase and reinstall modes.
#include <thread>

#include "AppTestSupport.h"
#include "tests/support/TestSigning.h"

namespace AppTest {
namespace {

using Names = std::vector<std::string>;

class AlertMode : public AppFixture {
  protected:
    void SetUp() override {
        AppFixture::SetUp();
        WriteFile(fake.appData + "/Tessra/2007/alert.txt", Manifest("ALERT", 7));
        request = WriteRequest({{"us", 100, Manifest("US", 100)}});
    }
    std::string request;
};

TEST_F(AlertMode, WelcomeThenItsOwnCheckThenTheAlertThenTheUpdate) {
    screens.script = {{"WelcomeDlg", 4}, {"NoUpdatesAvailDlg", 2}, {"NoUpdatesAvailDlg", 2}};
    SetArguments("/alert " + request + " /N host");
    Run();
    EXPECT_EQ(screens.Names(), (Names{"WelcomeDlg", "NoUpdatesAvailDlg", "NoUpdatesAvailDlg"}));
    EXPECT_EQ(screens.shown[1].first, Names{"ALERT"});
    EXPECT_EQ(checks, 2);  // the alert again behind the welcome screen, then the update
}

TEST_F(AlertMode, CancelOnWelcomeOrCannotConnectEndsTheWholeRun) {
    screens.script = {{"WelcomeDlg", 2}};
    SetArguments("/alert " + request + " /N host");
    Run();
    EXPECT_EQ(screens.Names(), Names{"WelcomeDlg"});
    EXPECT_EQ(checks, 0);

    screens = ScriptedScreens();
    checkResults = {false};
    screens.script = {{"WelcomeDlg", 1}, {"NoNetworkDlg", 4}, {"NoNetworkDlg", 2}};
    Run();
    EXPECT_EQ(screens.Names(), (Names{"WelcomeDlg", "NoNetworkDlg", "NoNetworkDlg"}));
    EXPECT_EQ(checks, 1);
}

TEST_F(AlertMode, HideSkipsTheWelcomeButStillShowsTheAlert) {
    WriteFile(fake.appData + "/Tessra/2007/alert.txt", Manifest("ALERT", 1000));
    screens.script = {{"NoUpdatesAvailDlg", 2}};
    SetArguments("/alert /hide " + request + " /N host");
    Run();
    // The alert list takes the entry whatever its version; the screen decides.
    EXPECT_EQ(screens.Names(), Names{"NoUpdatesAvailDlg"});
    EXPECT_EQ(screens.shown[0].second, Names{"1000"});
    EXPECT_EQ(checks, 2);
}

TEST_F(AlertMode, AnAlertThatCannotBeReadShowsNoAlertScreen) {
    fs::remove(fake.appData + "/Tessra/2007/alert.txt");
    SetArguments("/alert /hide " + request + " /N host");
    Run();
    EXPECT_TRUE(screens.shown.empty());
    EXPECT_EQ(checks, 2);
}

TEST_F(AlertMode, AlertThenRequiredFileWhenThePathIsLast) {
    screens.script = {{"NoUpdatesAvailDlg", 2}};
    SetArguments("/alert /hide " + request);
    Run();
    EXPECT_EQ(screens.Names(), Names{"NoUpdatesAvailDlg"});
    EXPECT_EQ(fake.messages.size(), 1u);
    EXPECT_EQ(fake.messages[0].text,
              "The Software Manager could not find a required file\nand will now exit.");
}

const char* kPurchaseCfg =
    "prom=STTE\r\ncamp=888888\r\nedition=premium\r\nyear=2007\r\nproduct=ca\r\nver=ver.txt\r\n"
    "output=%COMMON%/Tessra/2007/Downloads/ver.txt\r\nfile-bytes=0\r\ninstalled-ver=0100\r\n";

class PurchaseMode : public AppFixture {
  protected:
    void SetUp() override {
        AppFixture::SetUp();
        purchaseCfg = fake.commonAppData + "/Tessra/2007/purchase.cfg";
        WriteFile(fake.commonAppData + "/Tessra/2007/Downloads/ver.txt", Manifest("CA", 200, 10));
        installer = fake.commonAppData + "/Tessra/2007/Downloads/TessraCA.exe";
        WriteFile(installer, kInstallerBytes);  // as the progress screen left it
        WriteFile(fake.currentFolder + "/download.cfg", "x");
        WriteFile(fake.currentFolder + "/purchase.cfg", "x");
        screens.onShow = [this](const std::string&) { cfgAtProgress = ReadFile(purchaseCfg); };
    }
    std::string Expected() {
        std::string text = kPurchaseCfg;
        return text.replace(text.find("%COMMON%"), 8, fake.commonAppData);
    }
    static constexpr const char* kInstallerBytes = "#!/bin/sh\n";  // 10 bytes
    std::string purchaseCfg, cfgAtProgress;
    std::string installer;
};

TEST_F(PurchaseMode, DownloadsInstallsWithConfirmationAndRestartsWithElevation) {
    screens.script = {{"DLMgrDlg", 1}};
    SetArguments("http://127.0.0.1:1/states/TessraCA.exe /purchase");
    Run();
    EXPECT_EQ(cfgAtProgress, Expected());
    EXPECT_EQ(screens.shown[0].first, Names{"CA"});
    EXPECT_EQ(screens.shown[0].prom, "");
    EXPECT_EQ(screens.shown[0].camp, "");
    EXPECT_EQ(screens.shown[0].edition, 4);
    ASSERT_EQ(fake.messages.size(), 1u);
    EXPECT_EQ(fake.messages[0].title, "State Download Complete");
    EXPECT_EQ(fake.messages[0].text,
              "Your State Download is complete.\n\n                Click OK to install.");
    ASSERT_EQ(fake.starts.size(), 2u);
    EXPECT_EQ(fake.starts[0].file, fake.commonAppData + "/Tessra/2007/Downloads/TessraCA.exe");
    EXPECT_EQ(fake.starts[0].parameters, " /v\"RUN=/G\"");
    EXPECT_EQ(fake.starts[0].verb, "runas");
    EXPECT_EQ(fake.starts[0].show, 1);
    EXPECT_TRUE(fake.starts[0].wait);
    EXPECT_EQ(fake.starts[1].file, fake.exeFolder + "/Tessra.exe");
    EXPECT_EQ(fake.starts[1].parameters, " /mru");
    EXPECT_EQ(fake.starts[1].verb, "");
    EXPECT_FALSE(fake.starts[1].wait);
    EXPECT_FALSE(fs::exists(purchaseCfg));
    EXPECT_FALSE(fs::exists(fake.currentFolder + "/download.cfg"));
    EXPECT_FALSE(fs::exists(fake.currentFolder + "/purchase.cfg"));
}

TEST_F(PurchaseMode, WithoutElevationNoConfirmationAndShowFive) {
    fake.elevation = false;
    screens.script = {{"DLMgrDlg", 1}};
    SetArguments("http://127.0.0.1:1/states/TessraCA.exe");
    Run();
    EXPECT_TRUE(fake.messages.empty());
    ASSERT_EQ(fake.starts.size(), 2u);
    EXPECT_EQ(fake.starts[0].verb, "");
    EXPECT_EQ(fake.starts[0].show, 5);
}

TEST_F(PurchaseMode, CancelledDownloadInstallsNothingAndKeepsTheSettings) {
    screens.script = {{"DLMgrDlg", 2}};
    SetArguments("http://127.0.0.1:1/states/TessraCA.exe /purchase");
    Run();
    EXPECT_TRUE(fake.starts.empty());
    EXPECT_TRUE(fake.messages.empty());
    EXPECT_EQ(ReadFile(purchaseCfg), Expected());
}

TEST_F(PurchaseMode, AnInstallerThatIsNotTheManifestsIsNotRunAndTheSettingsStay) {
    TestSupport::KeyVariable noKey((root / "none.pub").string());
    const std::string hash = TestSupport::Sha256Hex(kInstallerBytes);
    const std::string manifestPath = fake.commonAppData + "/Tessra/2007/Downloads/ver.txt";
    struct Case {
        std::string bytes, manifest, says;
        bool setAside;
    } cases[] = {
        {"#!/bin", Manifest("CA", 200, 10), "TessraCA.exe is incomplete: it has 6 bytes", false},
        {"<html>404</html>", Manifest("CA", 200, 10), "a web page", true},
        {"#!/bin/sh\n", Manifest("CA", 200, 11), "but the update server stated 11 bytes", false},
        {"#!/bin/sx\n", Manifest("CA", 200, 10) + "SHA256=" + hash + "\n",
         "TessraCA.exe is damaged", true},
        {"", Manifest("CA", 200, 10), "TessraCA.exe is missing", false},
    };
    screens.script.assign(std::size(cases) + 1, {"DLMgrDlg", 1});
    for (const Case& c : cases) {
        fs::remove(installer);
        fs::remove(installer + ".rejected");
        if (!c.bytes.empty()) WriteFile(installer, c.bytes);
        WriteFile(manifestPath, c.manifest);
        fake.messages.clear();
        SetArguments("http://127.0.0.1:1/states/TessraCA.exe /purchase");
        Run();
        ASSERT_EQ(fake.messages.size(), 1u) << c.says;
        EXPECT_EQ(fake.messages[0].title, "Problem Detected");
        EXPECT_NE(fake.messages[0].text.find(c.says), std::string::npos) << fake.messages[0].text;
        EXPECT_TRUE(fake.starts.empty()) << c.says;  // neither the installer nor Tessra
        EXPECT_EQ(ReadFile(purchaseCfg), Expected());
        EXPECT_EQ(fs::exists(installer + ".rejected"), c.setAside) << c.says;
    }
    // The right bytes under the manifest's hash run.
    WriteFile(installer, kInstallerBytes);
    WriteFile(manifestPath, Manifest("CA", 200, 10) + "SHA256=" + hash + "\n");
    Run();
    ASSERT_EQ(fake.starts.size(), 2u);
    EXPECT_EQ(fake.starts[0].file, installer);
    EXPECT_FALSE(fs::exists(purchaseCfg));
}

TEST_F(PurchaseMode, FailedCheckCancelledOnCannotConnect) {
    checkResults = {false};
    screens.script = {{"NoNetworkDlg", 2}};
    SetArguments("http://127.0.0.1:1/states/TessraCA.exe /purchase");
    Run();
    EXPECT_EQ(screens.Names(), Names{"NoNetworkDlg"});
    EXPECT_TRUE(fake.starts.empty());
}

TEST_F(PurchaseMode, WaitsForTheTaxProgramBeforeWritingAnything) {
    fake.processes.push_back({4242, "tessra.EXE"});
    bool writtenWhileRunning = true;
    std::thread user([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        writtenWhileRunning = fs::exists(purchaseCfg);
        std::lock_guard<std::mutex> lock(fake.mutex);
        fake.processes.clear();
    });
    screens.script = {{"DLMgrDlg", 1}};
    SetArguments("http://127.0.0.1:1/states/TessraCA.exe /purchase");
    Run();
    user.join();
    EXPECT_FALSE(writtenWhileRunning);
    EXPECT_EQ(cfgAtProgress, Expected());
    EXPECT_TRUE(fake.closeRequests.empty());  // waited for, never closed
    EXPECT_EQ(fake.notifications, (std::vector<std::string>{App::kPurchaseWaitNotice}));
}

TEST_F(PurchaseMode, AddressWithoutAFileNameEndsTheRunAndTouchesNoFile) {
    for (std::string address : {"http://127.0.0.1:1/states/", "http://127.0.0.1:1/states/.",
                                "http://127.0.0.1:1/states/.. /purchase"}) {
        fake.messages.clear();
        SetArguments(address);
        Run();
        ASSERT_EQ(fake.messages.size(), 1u) << address;
        EXPECT_EQ(fake.messages[0].title, "Software Manager Error");
        EXPECT_NE(fake.messages[0].text.find("http://127.0.0.1:1/states/"), std::string::npos);
        EXPECT_FALSE(fs::exists(purchaseCfg));
        EXPECT_TRUE(fs::exists(fake.currentFolder + "/purchase.cfg"));
        EXPECT_TRUE(fake.starts.empty());
        EXPECT_TRUE(screens.shown.empty());
    }
}

TEST_F(PurchaseMode, UnwritableSettingsEndTheRunWithAMessage) {
    fs::remove_all(fake.commonAppData + "/Tessra");
    SetArguments("http://127.0.0.1:1/states/TessraCA.exe /purchase");
    Run();
    ASSERT_EQ(fake.messages.size(), 1u);
    EXPECT_EQ(fake.messages[0].text, "The Software Manager could not write the file\n" +
                                         purchaseCfg + "\nand will now exit.");
    EXPECT_TRUE(screens.shown.empty());
    EXPECT_TRUE(fake.starts.empty());
    EXPECT_EQ(checks, 0);
}

TEST_F(PurchaseMode, AlertFirstThenThePurchase) {
    WriteFile(fake.appData + "/Tessra/2007/alert.txt", Manifest("ALERT", 7));
    screens.script = {{"WelcomeDlg", 1}, {"NoUpdatesAvailDlg", 2}, {"DLMgrDlg", 1}};
    SetArguments("/alert http://127.0.0.1:1/states/TessraNY.exe /purchase");
    WriteFile(fake.commonAppData + "/Tessra/2007/Downloads/TessraNY.exe", kInstallerBytes);
    Run();
    EXPECT_EQ(screens.Names(), (Names{"WelcomeDlg", "NoUpdatesAvailDlg", "DLMgrDlg"}));
    EXPECT_NE(cfgAtProgress.find("product=ny\r\n"), std::string::npos);
    ASSERT_EQ(fake.starts.size(), 2u);
    EXPECT_EQ(fake.starts[0].file, fake.commonAppData + "/Tessra/2007/Downloads/TessraNY.exe");
}

class ReinstallMode : public AppFixture {
  protected:
    void Code(const std::string& code, const std::string& text) {
        WriteFile(fake.commonAppData + "/Tessra/2007/" + code + ".txt", text);
    }
    std::vector<std::string> Files() {
        std::vector<std::string> out;
        for (auto& s : fake.starts) out.push_back(s.file + "|" + s.parameters);
        return out;
    }
};

TEST_F(ReinstallMode, UninstallsAllThenReinstallsAllInOrderThenRestarts) {
    Code("CA", "{CA-GUID}\r\n");
    Code("NY", "{NY-1}\n{NY-2}");
    SetArguments("-reinstall CA NY");
    fake.commandLine += " /N updates.example";
    Run();
    std::string downloads = fake.commonAppData + "/Tessra/2007/Downloads/";
    EXPECT_EQ(
        Files(),
        (Names{"msiexec.exe|/x{CA-GUID} /passive", "msiexec.exe|/x{NY-1}{NY-2} /passive",
               downloads + "TessraCA.exe|/v\"RUN=/G\"", downloads + "TessraNY.exe|/v\"RUN=/G\"",
               fake.exeFolder + "/Tessra.exe| /N updates.example /mru"}));
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(fake.starts[i].verb, "runas");
        EXPECT_EQ(fake.starts[i].show, 5);
        EXPECT_TRUE(fake.starts[i].wait);
    }
    EXPECT_EQ(fake.starts[4].verb, "");
    EXPECT_TRUE(fake.messages.empty());
}

TEST_F(ReinstallMode, MissingProductCodeFileStopsAtOnce) {
    Code("CA", "{CA-GUID}\n");
    SetArguments("-reinstall CA NY TN");
    Code("TN", "{TN}\n");
    Run();
    EXPECT_EQ(Files(), Names{"msiexec.exe|/x{CA-GUID} /passive"});
    ASSERT_EQ(fake.messages.size(), 1u);
    EXPECT_EQ(fake.messages[0].text, "There was a problem reinstalling your state.");
    EXPECT_EQ(fake.messages[0].title, "Error");
}

TEST_F(ReinstallMode, NoCodesOnlyRestartsTheTaxProgram) {
    fake.elevation = false;
    SetArguments("-reinstall");
    Run();
    EXPECT_EQ(Files(), Names{fake.exeFolder + "/Tessra.exe| /mru"});
}

TEST_F(ReinstallMode, MoreThanFiftyCodesAreAllHandled) {
    std::string arguments = "-reinstall";
    Names codes;
    for (char a = 'A'; a <= 'C'; ++a)
        for (char b = 'A'; b <= 'Z'; ++b) {
            std::string code{a, b};
            codes.push_back(code);
            arguments += " " + code;
            Code(code, "{" + code + "}\n");
        }
    SetArguments(arguments);
    Run();
    ASSERT_EQ(fake.starts.size(), codes.size() * 2 + 1);
    for (size_t i = 0; i < codes.size(); ++i) {
        EXPECT_EQ(fake.starts[i].parameters, "/x{" + codes[i] + "} /passive");
        EXPECT_EQ(fake.starts[codes.size() + i].file,
                  fake.commonAppData + "/Tessra/2007/Downloads/Tessra" + codes[i] + ".exe");
    }
}

}  // namespace
}  // namespace AppTest
