// Runs screens in a child process under the autopilot and the transcript, as
// the program runs unattended, and reads what the transcript recorded.

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <fstream>
#include <nlohmann/json.hpp>

#include "GuiTestSupport.h"
#include "tests/integration/server/ServerProcess.h"

using nlohmann::json;

namespace {
struct Run {
    int status = -1;
    std::vector<json> events;
    std::string output;

    std::vector<json> Of(const std::string& event, const std::string& screen = {}) const {
        std::vector<json> found;
        for (const json& e : events)
            if (e.value("event", "") == event &&
                (screen.empty() || e.value("screen", "") == screen))
                found.push_back(e);
        return found;
    }
};
}  // namespace

class AutopilotTest : public QObject {
    Q_OBJECT

  private slots:
    void init();
    void screenEventHoldsEveryVisibleControl();
    void nestedConfirmationTakesItsOwnStep();
    void radioAndCheckBoxPresses();
    void stepForAnotherScreenEndsTheRunWithStatus3();
    void stepThatLeavesTheScreenOpenEndsTheRun();
    void progressScreenWaitsForItsEnd();
    void progressScreenCancelsAtBytes();
    void progressScreenCancelsWhenTheWorkerFails();

  private:
    Run RunScreen(const QString& screen, const std::string& steps, const std::string& server = {},
                  const QString& federalSize = {});
    std::unique_ptr<QTemporaryDir> dir_;
};

void AutopilotTest::init() { dir_ = std::make_unique<QTemporaryDir>(); }

Run AutopilotTest::RunScreen(const QString& screen, const std::string& steps,
                             const std::string& server, const QString& federalSize) {
    const QString base = dir_->path();
    GuiTest::WriteFile((base + "/steps.txt").toStdString(), steps);
    std::filesystem::create_directories((base + "/appdata/Tessra/2007").toStdString());
    std::filesystem::create_directories((base + "/cwd/Update").toStdString());
    QFile::remove(base + "/transcript.jsonl");
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("TESSRA_SWM_AUTOPILOT", base + "/steps.txt");
    env.insert("TESSRA_SWM_TRANSCRIPT", base + "/transcript.jsonl");
    env.insert("TESSRA_APPDATA", base + "/appdata");
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy"})
        env.remove(name);
    child.setProcessEnvironment(env);
    child.setWorkingDirectory(base + "/cwd");
    QStringList args{screen};
    if (!server.empty()) args << QString::fromStdString(server);
    if (!federalSize.isEmpty()) args << federalSize;
    child.start(QStringLiteral(AUTOPILOT_RUNNER), args);
    Run run;
    if (!child.waitForFinished(60000)) {
        child.kill();
        child.waitForFinished();
        return run;
    }
    run.status = child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1;
    run.output =
        child.readAllStandardOutput().toStdString() + child.readAllStandardError().toStdString();
    std::ifstream in((base + "/transcript.jsonl").toStdString());
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) run.events.push_back(json::parse(line));
    return run;
}

void AutopilotTest::screenEventHoldsEveryVisibleControl() {
    const Run run = RunScreen("UpdatesAvailableDlg", "UpdatesAvailableDlg 1\n");
    QCOMPARE(run.status, 1);
    const auto screens = run.Of("screen", "UpdatesAvailableDlg");
    QCOMPARE(screens.size(), size_t(1));
    const json& texts = screens[0]["texts"];
    const json expected = {
        {"1", "Next"},
        {"2", "Cancel"},
        {"1027", "Updates Available!"},
        {"1030", "The following programs are currently up to date:"},
        {"1031", "Updates are available for the following programs:"},
        {"1075", "Less than 1 minutes on Dial-up"},
        {"1076", "Less than 1 minutes on Broadband"},
        {"1100", "What's included and which forms are final in the current federal update?"},
        {"1101", "Estimated total download time:"},
        {"1110", "What's included and which forms are final in the current state update?"},
        {"1115", "Click Next to download available updates."},
    };
    QCOMPARE(texts.dump(), expected.dump());
    QCOMPARE(screens[0]["lists"]["1082"].dump(),
             json({"Federal\t", "Help Files\t(Optional)"}).dump());
    QCOMPARE(screens[0]["lists"]["1083"].dump(),
             json({"New York\tNext update expected January 18, 2008."}).dump());
    QCOMPARE(screens[0]["checked"].dump(), json::array().dump());
    const auto results = run.Of("result", "UpdatesAvailableDlg");
    QCOMPARE(results.size(), size_t(1));
    QCOMPARE(results[0]["result"].get<int>(), 1);
    QCOMPARE(results[0]["texts"].dump(), expected.dump());
}

void AutopilotTest::nestedConfirmationTakesItsOwnStep() {
    const Run run = RunScreen("WelcomeDlg",
                              "WelcomeDlg 2 2   # Cancel, resume, then cancel for good\n"
                              "ResumeCancelDlg 1\n"
                              "ResumeCancelDlg 2\n");
    QCOMPARE(run.status, 2);
    std::vector<std::string> order;
    for (const json& e : run.events)
        if (e.contains("screen"))
            order.push_back(
                e["event"].get<std::string>() + " " + e["screen"].get<std::string>() +
                (e.contains("result") ? " " + std::to_string(e["result"].get<int>()) : ""));
    const std::vector<std::string> expected{"screen WelcomeDlg",        "screen ResumeCancelDlg",
                                            "result ResumeCancelDlg 1", "screen ResumeCancelDlg",
                                            "result ResumeCancelDlg 2", "result WelcomeDlg 2"};
    QCOMPARE(order, expected);
    QCOMPARE(
        run.Of("screen", "ResumeCancelDlg")[0]["texts"]["1118"].get<std::string>().substr(0, 30),
        std::string("Update has not been completed."));
}

void AutopilotTest::radioAndCheckBoxPresses() {
    // The finished screen with incomplete downloads shows its failure variant; check the
    // radio step on a success instead: write complete files first.
    const QString cwd = dir_->path() + "/cwd/Update";
    GuiTest::WriteFile((cwd + "/US34cupd.exe").toStdString(), std::string(70000, 'x'));
    GuiTest::WriteFile((cwd + "/HLP12cupd.exe").toStdString(), std::string(20000, 'x'));
    Run run = RunScreen("FinishedDlg", "FinishedDlg 1109 1\n");
    QCOMPARE(run.status, 1);
    QCOMPARE(run.Of("screen", "FinishedDlg")[0]["checked"].dump(), json({"1108"}).dump());
    QCOMPARE(run.Of("screen", "FinishedDlg")[0]["lists"]["1129"].dump(),
             json({"Federal", "Help Files"}).dump());

    run = RunScreen("NoUpdatesAvailDlg", "NoUpdatesAvailDlg 1132 2\n");
    QCOMPARE(run.status, 2);
    const json shown = run.Of("screen", "NoUpdatesAvailDlg")[0];
    QCOMPARE(shown["texts"]["1130"].get<std::string>(), std::string("Tessra Alert"));
    QCOMPARE(shown["texts"]["1132"].get<std::string>(),
             std::string("Do not show me this particular alert again"));
    QVERIFY(!shown["texts"].contains("1027"));  // hidden in the alert variant
    QCOMPARE(GuiTest::ReadFile((dir_->path() + "/appdata/Tessra/2007/swmgr.cfg").toStdString()),
             std::string("currver=12\r\nshow=false\r\n"));
    // Next time the alert does not appear: a result without a screen, and no step taken.
    run = RunScreen("NoUpdatesAvailDlg", "");
    QCOMPARE(run.status, 2);
    QVERIFY(run.Of("screen").empty());
    QCOMPARE(run.Of("result", "NoUpdatesAvailDlg").size(), size_t(1));
}

void AutopilotTest::stepForAnotherScreenEndsTheRunWithStatus3() {
    const Run run = RunScreen("AllUpdsAvailDlg", "WelcomeDlg 1\n");
    QCOMPARE(run.status, 3);
    const auto errors = run.Of("autopilot-error");
    QCOMPARE(errors.size(), size_t(1));
    QCOMPARE(errors[0]["screen"].get<std::string>(), std::string("AllUpdsAvailDlg"));
    QCOMPARE(run.Of("end").at(0)["status"].get<int>(), 3);
    // A control the screen does not have ends it the same way.
    const Run missing = RunScreen("AllUpdsAvailDlg", "AllUpdsAvailDlg 1083\n");
    QCOMPARE(missing.status, 3);
}

void AutopilotTest::stepThatLeavesTheScreenOpenEndsTheRun() {
    const Run run = RunScreen("ConnIssueDlg", "ConnIssueDlg\n");
    QCOMPARE(run.status, 3);
    QCOMPARE(run.Of("autopilot-error").size(), size_t(1));
}

void AutopilotTest::progressScreenWaitsForItsEnd() {
    ServerTest::ServerProcess server({"--root", dir_->path().toStdString() + "/server"});
    GuiTest::WriteFile(dir_->path().toStdString() + "/server/updates/2007/win/us/3/cupd.exe",
                       std::string(70000, 'u'));
    QVERIFY2(server.Start(), server.Error().c_str());
    const Run run = RunScreen("DLMgrDlg", "DLMgrDlg wait\n", server.ProxyAddress());
    QCOMPARE(run.status, 1);
    QCOMPARE(run.Of("result", "DLMgrDlg").at(0)["texts"]["1011"].get<std::string>(),
             std::string("70"));
}

void AutopilotTest::progressScreenCancelsAtBytes() {
    const std::string root = dir_->path().toStdString() + "/server";
    GuiTest::WriteFile(root + "/updates/2007/win/us/3/cupd.exe", std::string(3000000, 'u'));
    ServerTest::ServerProcess server({"--root", root, "--throttle", "300000"});
    QVERIFY2(server.Start(), server.Error().c_str());
    const Run run = RunScreen("DLMgrDlg", "DLMgrDlg 2@50000\n", server.ProxyAddress(), "3000000");
    QCOMPARE(run.status, 2);
    const int kilobytes =
        std::stoi(run.Of("result", "DLMgrDlg").at(0)["texts"]["1011"].get<std::string>());
    QVERIFY(kilobytes >= 50);
    QVERIFY(kilobytes < 3000);
}

void AutopilotTest::progressScreenCancelsWhenTheWorkerFails() {
    ServerTest::ServerProcess server({"--root", dir_->path().toStdString()});
    QVERIFY2(server.Start(), server.Error().c_str());  // no such file: 404
    const Run run = RunScreen("DLMgrDlg", "DLMgrDlg wait\n", server.ProxyAddress());
    QCOMPARE(run.status, 2);
    const auto messages = run.Of("message");
    QCOMPARE(messages.size(), size_t(1));
    QCOMPARE(messages[0]["title"].get<std::string>(), std::string("Problem Detected"));
}

QTEST_MAIN(AutopilotTest)
#include "tst_autopilot.moc"
