// Each wizard screen: its texts and ids, its variants, its fonts and its results.

#include <QCheckBox>
#include <QListWidget>
#include <QRadioButton>

#include "GuiTestSupport.h"
#include "data/DownloadList.h"
#include "screens/AllUpdsAvailDlg.h"
#include "screens/ConnIssueDlg.h"
#include "screens/EntryText.h"
#include "screens/FinishedDlg.h"
#include "screens/InstallRunner.h"
#include "screens/ListBox.h"
#include "screens/NoNetworkDlg.h"
#include "screens/NoUpdatesAvailDlg.h"
#include "screens/PictureButton.h"
#include "screens/ResumeCancelDlg.h"
#include "screens/StaticLink.h"
#include "screens/UpdatesAvailableDlg.h"
#include "screens/WelcomeDlg.h"

using namespace Presentation;
using namespace GuiTest;

namespace {
std::vector<std::string> Lines(QWidget* screen, int id) {
    auto* list = Find<ListBox>(screen, id);
    return list ? list->Lines() : std::vector<std::string>{"<missing list>"};
}

// The font of a face and cell height (the em that gives that cell).
void CheckFont(QWidget* screen, int id, const char* face, int cellHeight) {
    QWidget* control = Find<QWidget>(screen, id);
    QVERIFY2(control, qPrintable(QString("control %1").arg(id)));
    QCOMPARE(control->font().family(), QString(face));
    QCOMPARE(control->font().pixelSize(), PixelSizeForCellHeight(face, cellHeight));
    QVERIFY(!control->font().bold());
    QVERIFY(!control->font().italic());
}

// Records what the finished screen hands to the installation.
class RecordingRunner : public InstallRunner {
  public:
    void Install(InstallView& view, bool closeNow,
                 const std::vector<Transfer::VerifiedCopy>& installers) override {
        ++calls;
        this->closeNow = closeNow;
        paths.clear();
        for (const auto& installer : installers) paths.push_back(installer.Source());
        view.HideAllControls();
        view.ShowInstallingTexts(true);
        view.Repaint();
        auto* screen = dynamic_cast<QWidget*>(&view);
        headingWhileInstalling = Text(screen, 1077);
        buttonsHidden = !Shown(screen, 1) && !Shown(screen, 2) && !Shown(screen, 1108);
    }
    int calls = 0;
    bool closeNow = false;
    std::vector<std::string> paths;
    QString headingWhileInstalling;
    bool buttonsHidden = false;
};

const std::string k46 = "Next update expected on or about March 3, 200.";  // 46 characters
}  // namespace

class ScreensTest : public QObject {
    Q_OBJECT

  private slots:
    void welcomeTextsFontsAndCheckResult();
    void updatesAvailableListsEstimatesAndHeading();
    void estimatesFollowTheRunningTotal_data();
    void estimatesFollowTheRunningTotal();
    void allUpdatesScreenKeepsItsHeading();
    void messagesWrapAt47CharactersInAtMostNinePieces();
    void entriesWithoutProductOrMessageShowEmptyText();
    void noUpdatesVariants();
    void alertSuppressionRules();
    void alertCheckBoxWritesTheFile();
    void connectionIssuesAdvice();
    void noNetworkButtons();
    void finishedSuccessVariant();
    void finishedFailureVariant();
    void finishedHelpFilesIncompleteOnly();
};

void ScreensTest::welcomeTextsFontsAndCheckResult() {
    ScopedPlatform platform;
    // A check that cannot reach its server fails: 4, and no message for text downloads.
    Data::DownloadList check;
    Data::DownloadItem item;
    item.url = "http://127.0.0.1:9/updates/2007/win/us/3/ver.txt";
    item.localPath = platform.Root() + "/usver.txt";
    check.AppendItem(item);
    WelcomeDlg welcome(check);
    QVERIFY(welcome.Prepare());
    QCOMPARE(Text(&welcome, 1035), QString("Updating Tessra\n\n"));
    QCOMPARE(Text(&welcome, 1056),
             QString("Tessra will connect to the Internet to check for available updates.  If "
                     "you are not already connected to the Internet, you will need to connect "
                     "before clicking Next."));
    CheckFont(&welcome, 1035, "Verdana", 32);
    for (int id : {1056, 1, 2}) CheckFont(&welcome, id, "Arial", 16);
    QCOMPARE(Find<PictureButton>(&welcome, 1)->Pictures(), PictureSet::Next);
    QCOMPARE(Find<PictureButton>(&welcome, 2)->Pictures(), PictureSet::Cancel);
    const int result =
        ExecWith(welcome, [&] { QTest::mouseClick(Find<QWidget>(&welcome, 1), Qt::LeftButton); });
    QCOMPARE(result, 4);
    QVERIFY(platform.fake.messages.empty());

    // An empty check succeeds at once: 1.
    Data::DownloadList empty;
    WelcomeDlg second(empty);
    QCOMPARE(ExecWith(second, [&] { QTest::keyClick(&second, Qt::Key_Return); }), 1);
}

void ScreensTest::updatesAvailableListsEstimatesAndHeading() {
    ScopedPlatform platform;
    Entries entries;
    Data::EntryList one{entries.Add("US", "Federal", 3, 4, 300000)};
    Data::EntryList current{entries.Add("NY", "New York", 2, 2, 0, k46),
                            entries.Add("CA", "California", 5, 5, 0, "Expected soon.")};
    {
        UpdatesAvailableDlg screen(one, current);
        QVERIFY(screen.Prepare());
        QCOMPARE(Text(&screen, 1027), QString("Update Available"));
        QCOMPARE(Lines(&screen, 1082), std::vector<std::string>{"Federal\t"});
        QCOMPARE(Lines(&screen, 1083),
                 (std::vector<std::string>{"New York\t" + k46, "California\tExpected soon."}));
        QCOMPARE(Text(&screen, 1031), QString("Updates are available for the following programs:"));
        QCOMPARE(Text(&screen, 1030), QString("The following programs are currently up to date:"));
        QCOMPARE(Text(&screen, 1101), QString("Estimated total download time:"));
        QCOMPARE(Text(&screen, 1115), QString("Click Next to download available updates."));
        QCOMPARE(
            Text(&screen, 1100),
            QString("What's included and which forms are final in the current federal update?"));
        QCOMPARE(Text(&screen, 1110),
                 QString("What's included and which forms are final in the current state update?"));
        QVERIFY(Find<CStaticLink>(&screen, 1100) && Find<CStaticLink>(&screen, 1110));
        CheckFont(&screen, 1027, "Verdana", 32);
        for (int id : {1031, 1100, 1110, 1101, 1075, 1076, 1030, 1115, 1, 2})
            CheckFont(&screen, id, "Arial", 16);
        // One tab stop at 75 dialog units, on both lists.
        QCOMPARE(Find<ListBox>(&screen, 1082)->TabStop(), 113);
        QCOMPARE(Find<ListBox>(&screen, 1083)->TabStop(), 113);
        // Next ends with 1.
        QCOMPARE(
            ExecWith(screen, [&] { QTest::mouseClick(Find<QWidget>(&screen, 1), Qt::LeftButton); }),
            1);
    }
    Data::EntryList several{entries.Add("US", "Federal", 3, 4, 300000),
                            entries.Add("HLP", "Help Files", 1, 2, 100000),
                            entries.Add("hlp", "Help (lower)", 1, 2, 20000)};
    UpdatesAvailableDlg screen(several, current);
    QVERIFY(screen.Prepare());
    QCOMPARE(Text(&screen, 1027), QString("Updates Available!"));
    // Only the code "HLP" exactly is marked optional; its size counts like any other.
    QCOMPARE(Lines(&screen, 1082),
             (std::vector<std::string>{"Federal\t", "Help Files\t(Optional)", "Help (lower)\t"}));
    QCOMPARE(Text(&screen, 1075), QString("1 minutes on Dial-up"));  // 420000 bytes
}

void ScreensTest::estimatesFollowTheRunningTotal_data() {
    QTest::addColumn<int>("total");
    QTest::addColumn<QString>("dialUp");
    QTest::addColumn<QString>("broadband");
    QTest::newRow("419999") << 419999 << "Less than 1 minutes on Dial-up"
                            << "Less than 1 minutes on Broadband";
    QTest::newRow("420000") << 420000 << "1 minutes on Dial-up"
                            << "Less than 1 minutes on Broadband";
    QTest::newRow("2880000") << 2880000 << "6 minutes on Dial-up"
                             << "1 minutes on Broadband";
}

void ScreensTest::estimatesFollowTheRunningTotal() {
    QFETCH(int, total);
    QFETCH(QString, dialUp);
    QFETCH(QString, broadband);
    ScopedPlatform platform;
    Entries entries;
    // Two entries: the texts are those of the whole total.
    Data::EntryList updates{entries.Add("US", "Federal", 1, 2, total - 1000),
                            entries.Add("CA", "California", 1, 2, 1000)};
    Data::EntryList none;
    UpdatesAvailableDlg screen(updates, none);
    QVERIFY(screen.Prepare());
    QCOMPARE(Text(&screen, 1075), dialUp);
    QCOMPARE(Text(&screen, 1076), broadband);
    AllUpdsAvailDlg all(updates);
    QVERIFY(all.Prepare());
    QCOMPARE(Text(&all, 1075), dialUp);
    QCOMPARE(Text(&all, 1076), broadband);
}

void ScreensTest::allUpdatesScreenKeepsItsHeading() {
    ScopedPlatform platform;
    Entries entries;
    Data::EntryList updates{entries.Add("US", "Federal", 1, 2, 10),
                            entries.Add("HLP", "Help Files", 1, 2, 10)};
    AllUpdsAvailDlg screen(updates);
    QVERIFY(screen.Prepare());
    QCOMPARE(Text(&screen, 1057), QString("Update Available"));
    QCOMPARE(Text(&screen, 1058), QString("Updates are available for the following programs:"));
    QCOMPARE(Lines(&screen, 1055),
             (std::vector<std::string>{"Federal\t", "Help Files\t(Optional)"}));
    QCOMPARE(Text(&screen, 1100),
             QString("What is included and which forms are final in the current federal update?"));
    QCOMPARE(Text(&screen, 1115), QString("Click Next to download available updates. "));
    QCOMPARE(Text(&screen, 1075), QString("Less than 1 minutes on Dial-up"));
    QVERIFY(!Find<QWidget>(&screen, 1083));
    CheckFont(&screen, 1057, "Verdana", 32);
    for (int id : {1058, 1100, 1110, 1101, 1075, 1076, 1115, 1, 2})
        CheckFont(&screen, id, "Arial", 16);
}

void ScreensTest::messagesWrapAt47CharactersInAtMostNinePieces() {
    QCOMPARE(k46.size(), size_t(46));
    QCOMPARE(WrapMessage(k46), std::vector<std::string>{k46});
    // 47 characters: cut after the last blank among the first 47, even though it is all.
    const std::string m47 = "aaaa bbbb cccc dddd eeee ffff gggg hhhh iiii jj";
    QCOMPARE(m47.size(), size_t(47));
    QCOMPARE(WrapMessage(m47),
             (std::vector<std::string>{"aaaa bbbb cccc dddd eeee ffff gggg hhhh iiii ", "jj"}));
    // A blank at position 46 stays on the first piece, which is then 47 characters long.
    const std::string blank46 = std::string(46, 'x') + " tail";
    QCOMPARE(WrapMessage(blank46)[0].size(), size_t(47));
    QCOMPARE(WrapMessage(blank46)[1], std::string("tail"));
    // No blank in the first 47 characters: the name's line holds no message text.
    const std::string word = std::string(50, 'w') + " end";
    const std::vector<std::string> noBlank = WrapMessage(word);
    QCOMPARE(noBlank.front(), std::string());
    std::string joined;
    for (const std::string& piece : noBlank) joined += piece;
    QCOMPARE(joined, word);
    for (const std::string& piece : noBlank) QVERIFY(piece.size() <= 47);

    // Many words: at most nine pieces, each of the first eight at most 47 characters,
    // the ninth holding everything that is left.
    std::string longText;
    for (int i = 0; i < 60; ++i) longText += "word" + std::to_string(i % 10) + "xx ";
    const std::vector<std::string> pieces = WrapMessage(longText);
    QCOMPARE(pieces.size(), size_t(9));
    for (size_t i = 0; i < 8; ++i) {
        QVERIFY(pieces[i].size() <= 47);
        QCOMPARE(pieces[i].back(), ' ');
    }
    QVERIFY(pieces[8].size() > 47);
    joined.clear();
    for (const std::string& piece : pieces) joined += piece;
    QCOMPARE(joined, longText);

    // In a list: the first piece after the name and a tab, the others after a tab.
    Entries entries;
    Data::UpdateEntry* entry = entries.Add("NY", "New York", 2, 2, 0, m47);
    QCOMPARE(MessageLines(*entry),
             (std::vector<std::string>{"New York\taaaa bbbb cccc dddd eeee ffff gggg hhhh iiii ",
                                       "\tjj"}));
    Data::UpdateEntry* unbroken = entries.Add("NJ", "New Jersey", 2, 2, 0, word);
    QCOMPARE(MessageLines(*unbroken).front(), std::string("New Jersey\t"));
    QCOMPARE(MessageLines(*unbroken).at(1), "\t" + word.substr(0, 47));
    Data::UpdateEntry* many = entries.Add("OH", "Ohio", 2, 2, 0, longText);
    QCOMPARE(MessageLines(*many).size(), size_t(9));
}

void ScreensTest::entriesWithoutProductOrMessageShowEmptyText() {
    ScopedPlatform platform;
    Entries entries;
    Data::UpdateEntry* unknown = entries.Add("", "", 1, 2, 5000);
    Data::UpdateEntry* silent = entries.Add("CA", "California", 3, 3, 0);
    Data::UpdateEntry* unknownCurrent = entries.Add("", "", 3, 3, 0, "Soon.");
    Data::EntryList updates{unknown};
    Data::EntryList current{silent, unknownCurrent};
    UpdatesAvailableDlg screen(updates, current);
    QVERIFY(screen.Prepare());
    QCOMPARE(Lines(&screen, 1082), std::vector<std::string>{"\t"});
    QCOMPARE(Lines(&screen, 1083), (std::vector<std::string>{"California\t", "\tSoon."}));
    NoUpdatesAvailDlg noUpdates(current);
    QVERIFY(noUpdates.Prepare());
    QCOMPARE(Lines(&noUpdates, 1026), (std::vector<std::string>{"California\t", "\tSoon."}));
    // The finished screen lists the unknown product by its empty name.
    FinishedDlg finished(updates);
    QVERIFY(finished.Prepare());
    QCOMPARE(Lines(&finished, 1128), std::vector<std::string>{""});
}

void ScreensTest::noUpdatesVariants() {
    ScopedPlatform platform;
    Entries entries;
    Data::EntryList current{entries.Add("US", "Federal", 4, 4, 0, k46),
                            entries.Add("CA", "California", 2, 2, 0, "Soon.")};
    NoUpdatesAvailDlg upToDate(current);
    QVERIFY(upToDate.Prepare());
    QVERIFY(!upToDate.IsAlert());
    for (int id : {1027, 1142, 1026, 1100, 1110, 2})
        QVERIFY2(Shown(&upToDate, id), qPrintable(QString::number(id)));
    for (int id : {1130, 1131, 1133, 1134, 1144, 1132, 1135})
        QVERIFY2(!Shown(&upToDate, id), qPrintable(QString::number(id)));
    QCOMPARE(Text(&upToDate, 1027), QString("All Programs Current"));
    QCOMPARE(Text(&upToDate, 1142),
             QString("All of your programs are currently up to date.  Please check again after "
                     "the expected release dates listed below."));
    QCOMPARE(Lines(&upToDate, 1026),
             (std::vector<std::string>{"Federal\t" + k46, "California\tSoon."}));
    QCOMPARE(Find<ListBox>(&upToDate, 1026)->TabStop(), 113);
    CheckFont(&upToDate, 1027, "Verdana", 32);
    for (int id : {1142, 1100, 1110}) CheckFont(&upToDate, id, "Arial", 16);
    QCOMPARE(Find<PictureButton>(&upToDate, 2)->Pictures(), PictureSet::Close);

    for (const char* name : {"Alert", "ALERT", "aLeRt"}) {
        Entries alertEntries;
        Data::EntryList alerts{alertEntries.Add("ALERT", name, 0, 12, 0, "Read this.")};
        NoUpdatesAvailDlg alert(alerts);
        QVERIFY(alert.Prepare());
        QVERIFY2(alert.IsAlert(), name);
        for (int id : {1130, 1131, 1133, 1134, 1144, 1132, 1135, 1026, 2})
            QVERIFY2(Shown(&alert, id), qPrintable(QString::number(id)));
        for (int id : {1027, 1142, 1100, 1110}) QVERIFY(!Shown(&alert, id));
        QCOMPARE(Text(&alert, 1130), QString("Tessra Alert"));
        QCOMPARE(Text(&alert, 1131),
                 QString("This critical information could impact your tax situation."));
        QCOMPARE(Text(&alert, 1133), QString("For more information please visit "));
        QCOMPARE(Text(&alert, 1134), QString("www.tessra.example/alerts/"));
        QCOMPARE(Text(&alert, 1144), QString("."));
        QCOMPARE(Text(&alert, 1135), QString("Click Close to check for Updates."));
        auto* box = Find<QCheckBox>(&alert, 1132);
        QCOMPARE(box->text(), QString("Do not show me this particular alert again"));
        QVERIFY(!box->isChecked());
        CheckFont(&alert, 1130, "Verdana", 32);
        for (int id : {1131, 1133, 1135, 1134, 1132}) CheckFont(&alert, id, "Arial", 16);
        // The link follows its lead-in text on the same line, the full stop follows the link.
        QVERIFY(Find<QWidget>(&alert, 1134)->x() > Find<QWidget>(&alert, 1133)->x());
        QVERIFY(Find<QWidget>(&alert, 1144)->x() > Find<QWidget>(&alert, 1134)->x());
        QCOMPARE(Find<QWidget>(&alert, 1134)->y(), Find<QWidget>(&alert, 1133)->y());
    }
    // Close ends with 2, Enter with 1; no confirmation either way.
    {
        NoUpdatesAvailDlg screen(current);
        QCOMPARE(ExecWith(screen, [&] { QTest::keyClick(&screen, Qt::Key_Return); }), 1);
    }
}

void ScreensTest::alertSuppressionRules() {
    ScopedPlatform platform;
    const std::string file = platform.fake.appData + "/Tessra/2007/swmgr.cfg";
    Entries entries;
    Data::UpdateEntry* alert7 = entries.Add("ALERT", "Alert", 0, 7, 0, "Seven.");
    Data::UpdateEntry* alert8 = entries.Add("ALERT", "Alert", 0, 8, 0, "Eight.");
    Data::UpdateEntry* federal7 = entries.Add("US", "Federal", 7, 7, 0, "Current.");
    Data::UpdateEntry* alert1000 = entries.Add("ALERT", "Alert", 0, 1000, 0, "");
    auto appears = [](Data::UpdateEntry* first) {
        Data::EntryList list{first};
        NoUpdatesAvailDlg screen(list);
        return screen.Prepare();
    };
    QVERIFY(appears(alert7));  // no file: shown
    WriteFile(file, "currver=7\r\nshow=false\r\n");
    QVERIFY(!appears(alert7));
    QVERIFY(appears(alert8));     // a new alert
    QVERIFY(!appears(federal7));  // the rule also holds for the up-to-date variant
    // Blanks around the remembered version still match.
    WriteFile(file, "currver= 7 \nshow=false\n");
    QVERIFY(!appears(alert7));
    WriteFile(file, "currver=7\r\nshow=true\r\n");
    QVERIFY(appears(alert7));
    WriteFile(file, "currver=7\r\nshow=False\r\n");
    QVERIFY(appears(alert7));
    WriteFile(file, "currver=7\r\n");
    QVERIFY(appears(alert7));
    // Later lines win.
    WriteFile(file, "currver=5\r\nshow=false\r\ncurrver=7\r\n");
    QVERIFY(!appears(alert7));

    // An alert-mode answer without an alert carries version 1000.
    std::filesystem::remove(file);
    QVERIFY(appears(alert1000));
    platform.fake.commandLine = "/opt/tessra/tessra-swm /alert /home/u/req.cfg /N host";
    QVERIFY(!appears(alert1000));
    QVERIFY(appears(alert7));
    // A folder name that merely contains "/alert" is no switch on POSIX.
    platform.fake.commandLine = "/opt/tessra/tessra-swm /home/u/alerts/req.cfg /N host";
    QVERIFY(appears(alert1000));

    // A screen that declines returns 2 from exec() without being shown.
    WriteFile(file, "currver=7\r\nshow=false\r\n");
    Data::EntryList list{alert7};
    NoUpdatesAvailDlg declined(list);
    bool shown = false;
    QTimer::singleShot(0, [&] { shown = declined.isVisible(); });
    QCOMPARE(declined.exec(), 2);
    QVERIFY(!declined.isVisible());
    QCoreApplication::processEvents();
    QVERIFY(!shown);
    QVERIFY(declined.HasEnded());
}

void ScreensTest::alertCheckBoxWritesTheFile() {
    ScopedPlatform platform;
    const std::string file = platform.fake.appData + "/Tessra/2007/swmgr.cfg";
    Entries entries;
    Data::EntryList alerts{entries.Add("ALERT", "Alert", 0, 7, 0, "Seven.")};
    NoUpdatesAvailDlg screen(alerts);
    const int result = ExecWith(screen, [&] {
        auto* box = Find<QCheckBox>(&screen, 1132);
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2));
        QCOMPARE(ReadFile(file), std::string("currver=7\r\nshow=false\r\n"));
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2));
        QCOMPARE(ReadFile(file), std::string("currver=7\r\nshow=true\r\n"));
        box->click();
        QTest::mouseClick(Find<QWidget>(&screen, 2), Qt::LeftButton);
    });
    QCOMPARE(result, 2);
    QCOMPARE(ReadFile(file), std::string("currver=7\r\nshow=false\r\n"));
    // The next run does not show this alert.
    NoUpdatesAvailDlg next(alerts);
    QVERIFY(!next.Prepare());

    // Without the data folder the click writes nothing and nothing breaks.
    std::filesystem::remove_all(platform.fake.appData);
    NoUpdatesAvailDlg noFolder(alerts);
    QVERIFY(noFolder.Prepare());
    Find<QCheckBox>(&noFolder, 1132)->click();
    QVERIFY(!std::filesystem::exists(file));
}

void ScreensTest::connectionIssuesAdvice() {
    ScopedPlatform platform;
    ConnIssueDlg screen;
    QVERIFY(screen.Prepare());
    QCOMPARE(Text(&screen, 1149), QString("Connection Issues"));
    QCOMPARE(Text(&screen, 1150), QString("Checking Your Internet Connection"));
    QCOMPARE(Text(&screen, 1151), QString("Disabling Firewalls"));
    QCOMPARE(Text(&screen, 1152), QString("Changing Proxy Server Connections"));
    QCOMPARE(Text(&screen, 1148), QString("Downloading an Update from www.tessra.example"));
    QCOMPARE(Text(&screen, 1147),
             QString("If you have tried the options above and are still unable to update "
                     "through Tessra, try downloading the update from"));
    QCOMPARE(Text(&screen, 1153), QString("www.tessra.example/updates/"));
    const auto connection = Lines(&screen, 1055);
    const auto firewall = Lines(&screen, 1056);
    const auto proxy = Lines(&screen, 1057);
    QCOMPARE(connection.size(), size_t(10));
    QCOMPARE(firewall.size(), size_t(22));
    QCOMPARE(proxy.size(), size_t(17));
    QCOMPARE(connection.at(5), std::string());
    QCOMPARE(connection.at(8), std::string("and that you are connected to the Internet."));
    QCOMPARE(firewall.at(0),
             std::string("If you are connected to the Internet and still receive this "));
    QCOMPARE(firewall.at(19), std::string("ZoneAlarm and ZoneAlarm Pro:"));
    QVERIFY(firewall.at(20).back() == '?');
    QCOMPARE(proxy.at(13),
             std::string("is set to 'Use automatic configureation script', contact your "));
    QCOMPARE(proxy.at(16), std::string("from www.tessra.example."));
    // The lists show no selection and have no tab stops.
    QCOMPARE(Find<ListBox>(&screen, 1055)->selectionMode(), QAbstractItemView::NoSelection);
    QCOMPARE(Find<ListBox>(&screen, 1056)->TabStop(), 0);
    CheckFont(&screen, 1149, "Verdana", 32);
    for (int id : {1150, 1151, 1152, 1148, 1147, 1153, 2}) CheckFont(&screen, id, "Verdana", 16);
    QCOMPARE(Find<PictureButton>(&screen, 2)->Pictures(), PictureSet::Close);
}

void ScreensTest::noNetworkButtons() {
    ScopedPlatform platform;
    Data::DownloadList failing;
    Data::DownloadItem item;
    item.url = "http://127.0.0.1:9/updates/2007/win/us/3/ver.txt";
    item.localPath = platform.Root() + "/usver.txt";
    failing.AppendItem(item);
    NoNetworkDlg screen(failing);
    QVERIFY(screen.Prepare());
    QCOMPARE(Text(&screen, 1027), QString("Cannot Connect to Server"));
    QVERIFY(Text(&screen, 1095).endsWith("If you are connected to the Internet, "));
    QCOMPARE(Text(&screen, 1096),
             QString("the issue may be fixed by downloading the update directly from the Update "
                     "Center on www.tessra.example"));
    CheckFont(&screen, 1027, "Verdana", 32);
    for (int id : {1095, 1096, 1098, 1012, 1018, 1, 2}) CheckFont(&screen, id, "Arial", 16);

    int advicePages = 0;
    const int result = ExecWith(screen, [&] {
        // Update Center opens the page and keeps the screen.
        QTest::mouseClick(Find<QWidget>(&screen, 1018), Qt::LeftButton);
        // Troubleshooting shows the advice, with no parent, each time it is pressed.
        for (int i = 0; i < 2; ++i) {
            AnswerModal<ConnIssueDlg>([&](ConnIssueDlg* advice) {
                ++advicePages;
                QCOMPARE(advice->parentWidget(), nullptr);
                QTest::mouseClick(Find<QWidget>(advice, 2), Qt::LeftButton);
            });
            QTest::mouseClick(Find<QWidget>(&screen, 1012), Qt::LeftButton);
            QVERIFY(screen.isVisible());
        }
        // Try Again fails against a closed port: 4.
        QTest::mouseClick(Find<QWidget>(&screen, 1), Qt::LeftButton);
    });
    QCOMPARE(advicePages, 2);
    QCOMPARE(result, 4);
    QCOMPARE(platform.fake.opened, std::vector<std::string>{"http://www.tessra.example/updates/"});
}

void ScreensTest::finishedSuccessVariant() {
    ScopedPlatform platform;
    Entries entries;
    Data::UpdateEntry* federal = entries.Add("US", "Federal", 3, 4, 10);
    Data::UpdateEntry* state = entries.Add("CA", "California", 2, 3, 5);
    federal->edition = 1;
    state->edition = 4;
    const std::string federalPath = platform.fake.currentFolder + "/Update/US34cupd.exe";
    const std::string statePath = platform.fake.currentFolder + "/Update/CA23pupd.exe";
    WriteFile(federalPath, "0123456789");
    WriteFile(statePath, "01234");
    Data::EntryList updates{federal, state};
    RecordingRunner runner;
    SetInstallRunner(&runner);
    {
        FinishedDlg screen(updates);
        QVERIFY(screen.Prepare());
        QCOMPARE(screen.ShownVariant(), FinishedDlg::Variant::Success);
        QCOMPARE(Text(&screen, 1077), QString("Update Successfully Downloaded\n\n"));
        QCOMPARE(Text(&screen, 1119),
                 QString("The following updates were downloaded successfully, now we just have "
                         "to install them."));
        for (int id : {1077, 1119, 1129, 1108, 1109, 1138, 1, 2}) QVERIFY(Shown(&screen, id));
        for (int id : {1079, 1120, 1128, 1114, 1115, 1112, 1113}) QVERIFY(!Shown(&screen, id));
        QCOMPARE(Lines(&screen, 1129), (std::vector<std::string>{"Federal", "California"}));
        auto* now = Find<QRadioButton>(&screen, 1108);
        auto* wait = Find<QRadioButton>(&screen, 1109);
        QCOMPARE(now->text(), QString("     Close Tessra and install updates now."));
        QCOMPARE(wait->text(),
                 QString("     Wait until I close Tessra before installing updates."));
        QVERIFY(now->isChecked());
        QVERIFY(!wait->isChecked());
        QCOMPARE(Find<PictureButton>(&screen, 1)->Pictures(), PictureSet::Finish);
        QCOMPARE(Find<PictureButton>(&screen, 1)->size(), QSize(83, 26));
        CheckFont(&screen, 1077, "Verdana", 26);
        for (int id : {1119, 1129, 1108, 1109, 1}) CheckFont(&screen, id, "Arial", 16);
        // The radio buttons pair themselves.
        wait->click();
        QVERIFY(wait->isChecked() && !now->isChecked());
        wait->click();
        QVERIFY(wait->isChecked() && !now->isChecked());
        now->click();
        QVERIFY(now->isChecked() && !wait->isChecked());
        wait->click();
        QCOMPARE(
            ExecWith(screen, [&] { QTest::mouseClick(Find<QWidget>(&screen, 1), Qt::LeftButton); }),
            1);
    }
    QCOMPARE(runner.calls, 1);
    QCOMPARE(runner.closeNow, false);
    QCOMPARE(runner.paths, (std::vector<std::string>{federalPath, statePath}));
    QCOMPARE(runner.headingWhileInstalling, QString("Installing Tessra Updates"));
    QVERIFY(runner.buttonsHidden);
    {
        FinishedDlg screen(updates);
        QCOMPARE(ExecWith(screen, [&] { QTest::keyClick(&screen, Qt::Key_Return); }), 1);
    }
    QCOMPARE(runner.calls, 2);
    QCOMPARE(runner.closeNow, true);
    // Without a runner OK installs nothing and still ends with 1.
    SetInstallRunner(nullptr);
    FinishedDlg screen(updates);
    QCOMPARE(ExecWith(screen, [&] { QTest::keyClick(&screen, Qt::Key_Return); }), 1);
}

void ScreensTest::finishedFailureVariant() {
    ScopedPlatform platform;
    Entries entries;
    Data::UpdateEntry* federal = entries.Add("US", "Federal", 3, 4, 10);
    Data::UpdateEntry* state = entries.Add("CA", "California", 2, 3, 5);
    WriteFile(platform.fake.currentFolder + "/Update/US34cupd.exe", "0123456789");
    WriteFile(platform.fake.currentFolder + "/Update/CA23cupd.exe", "0123");  // one byte short
    Data::EntryList updates{federal, state};
    RecordingRunner runner;
    SetInstallRunner(&runner);
    FinishedDlg screen(updates);
    QVERIFY(screen.Prepare());
    QCOMPARE(screen.ShownVariant(), FinishedDlg::Variant::Failure);
    for (int id : {1079, 1120, 1128, 1114, 1115, 1112, 1113, 1}) QVERIFY(Shown(&screen, id));
    for (int id : {1077, 1119, 1129, 1108, 1109, 1138, 2}) QVERIFY(!Shown(&screen, id));
    QCOMPARE(Text(&screen, 1079), QString("Update Failure"));
    QCOMPARE(Text(&screen, 1120),
             QString("The following updates were not downloaded successfully."));
    QCOMPARE(Text(&screen, 1114),
             QString("Please try to update again later or download the udpate(s)"));
    QCOMPARE(Text(&screen, 1115), QString("from"));
    QCOMPARE(Text(&screen, 1112), QString("www.tessra.example/updates/"));
    QCOMPARE(Text(&screen, 1113), QString("Click Close to return to Tessra."));
    QCOMPARE(Lines(&screen, 1128), std::vector<std::string>{"California"});
    QCOMPARE(Find<PictureButton>(&screen, 1)->Pictures(), PictureSet::Close);
    CheckFont(&screen, 1079, "Verdana", 26);
    for (int id : {1120, 1128, 1114, 1115, 1112, 1113, 1}) CheckFont(&screen, id, "Arial", 16);
    // Close ends with 1 and installs nothing, not even the complete file.
    QCOMPARE(
        ExecWith(screen, [&] { QTest::mouseClick(Find<QWidget>(&screen, 1), Qt::LeftButton); }), 1);
    QCOMPARE(runner.calls, 0);
    SetInstallRunner(nullptr);

    // A missing file fails too.
    std::filesystem::remove(platform.fake.currentFolder + "/Update/US34cupd.exe");
    Data::EntryList onlyFederal{federal};
    FinishedDlg missing(onlyFederal);
    QVERIFY(missing.Prepare());
    QCOMPARE(Lines(&missing, 1128), std::vector<std::string>{"Federal"});
}

void ScreensTest::finishedHelpFilesIncompleteOnly() {
    ScopedPlatform platform;
    Entries entries;
    Data::UpdateEntry* federal = entries.Add("US", "Federal", 3, 4, 10);
    Data::UpdateEntry* help = entries.Add("HLP", "Help Files", 1, 2, 8);
    const std::string federalPath = platform.fake.currentFolder + "/Update/US34cupd.exe";
    WriteFile(federalPath, "0123456789");
    WriteFile(platform.fake.currentFolder + "/Update/HLP12cupd.exe", "0123");
    Data::EntryList updates{federal, help};
    RecordingRunner runner;
    SetInstallRunner(&runner);
    FinishedDlg screen(updates);
    QVERIFY(screen.Prepare());
    // The help files are in neither list; the rest installs as on success.
    QCOMPARE(Lines(&screen, 1129), std::vector<std::string>{"Federal"});
    QCOMPARE(Lines(&screen, 1128), std::vector<std::string>{});
    QCOMPARE(screen.ShownVariant(), FinishedDlg::Variant::Success);
    QCOMPARE(screen.Installers().size(), size_t(1));
    QCOMPARE(screen.Installers()[0].Source(), federalPath);
    QCOMPARE(
        ExecWith(screen, [&] { QTest::mouseClick(Find<QWidget>(&screen, 1), Qt::LeftButton); }), 1);
    QCOMPARE(runner.calls, 1);
    QCOMPARE(runner.paths, std::vector<std::string>{federalPath});
    SetInstallRunner(nullptr);
}

QTEST_MAIN(ScreensTest)
#include "tst_screens.moc"
