// The common frame: sizes, banner, colours, fonts, picture buttons, the
// hyperlink control, Cancel with its confirmation, Enter and Escape, and the
// Qt message box behind the platform's.

#include <QCheckBox>
#include <QFontDatabase>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QRadioButton>
#include <QThread>
#include <atomic>
#include <thread>

#include "GuiTestSupport.h"
#include "data/DownloadList.h"
#include "platform/LinuxPlatform.h"
#include "screens/AllUpdsAvailDlg.h"
#include "screens/ConnIssueDlg.h"
#include "screens/DLMgrDlg.h"
#include "screens/FinishedDlg.h"
#include "screens/NoNetworkDlg.h"
#include "screens/NoUpdatesAvailDlg.h"
#include "screens/PictureButton.h"
#include "screens/QtMessageBox.h"
#include "screens/Resources.h"
#include "screens/ResumeCancelDlg.h"
#include "screens/StaticLink.h"
#include "screens/UpdatesAvailableDlg.h"
#include "screens/WelcomeDlg.h"

using namespace Presentation;
using namespace GuiTest;

class FrameTest : public QObject {
    Q_OBJECT

  private slots:
    void screensHaveTheTemplateSizesBannersAndTitles();
    void pageIsWhiteAndListsLightGrey();
    void pictureButtonsTakeTheSizeOfTheirPictures();
    void pictureButtonsDrawTheirStates();
    void linkOpensItsStringTableEntryElseItsText();
    void linkBeepsWhenTheOpenFails();
    void linkWithoutTargetOrTextDoesNothing();
    void linkLooksLikeALink();
    void addressesWithoutASchemeOpenAsWebPages_data();
    void addressesWithoutASchemeOpenAsWebPages();
    void linksAndButtonsWorkFromTheKeyboard();
    void mnemonicPressesTheButtonOfItsLetter_data();
    void mnemonicPressesTheButtonOfItsLetter();
    void cancelAsksForConfirmationOnFiveScreens_data();
    void cancelAsksForConfirmationOnFiveScreens();
    void escapeAndCloseBoxCancelAtOnceWhereNoConfirmation();
    void enterIsOk();
    void confirmationChoosesItsMessageFromTheCommandLine();
    void messageBoxFromAWorkerThreadShowsOnTheUiThread();
    void messageBoxHasTheIconAndRoomForItsTitle();
};

namespace {
QImage Drawn(QWidget& widget) {
    QImage image(widget.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

// Presses Tab until `target` has the focus; false when a round of the
// screen's controls never reaches it.
bool TabTo(QWidget& screen, QWidget* target) {
    for (int i = 0; i < 30 && QApplication::focusWidget() != target; ++i)
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &screen,
                        Qt::Key_Tab);
    return QApplication::focusWidget() == target;
}
}  // namespace

void FrameTest::screensHaveTheTemplateSizesBannersAndTitles() {
    ScopedPlatform platform;
    Data::DownloadList check;
    Data::EntryList none;
    WelcomeDlg welcome(check);
    ConnIssueDlg issues;
    ResumeCancelDlg confirm;
    // 313 x 258, 234 x 314 and 230 x 143 dialog units.
    QCOMPARE(welcome.size(), QSize(470, 419));
    QCOMPARE(issues.size(), QSize(351, 510));
    QCOMPARE(confirm.size(), QSize(345, 232));
    QCOMPARE(welcome.windowTitle(), QString("Tessra Software Manager"));
    QCOMPARE(issues.windowTitle(), QString("Connection Issues"));
    QCOMPARE(confirm.windowTitle(), QString("Tessra Software Manager"));
    QVERIFY(!welcome.windowIcon().isNull());

    auto* banner = Find<QLabel>(&welcome, 1136);
    QVERIFY(banner);
    QCOMPARE(banner->pixmap().size(), QSize(467, 42));
    QCOMPARE(banner->pos(), QPoint(0, 0));
    QCOMPARE(Find<QLabel>(&issues, 1136)->pixmap().size(), QSize(344, 30));
    QCOMPARE(Find<QLabel>(&confirm, 1136)->pixmap().size(), QSize(344, 30));
    // The large banner carries the logo at its right end; the small one is plain band there.
    const QImage large = banner->pixmap().toImage();
    const QImage small = Find<QLabel>(&issues, 1136)->pixmap().toImage();
    auto brightPixels = [](const QImage& image, int fromX) {
        int bright = 0;
        for (int y = 0; y < image.height() - 3; ++y)
            for (int x = fromX; x < image.width(); ++x)
                if (qGray(image.pixel(x, y)) > 200) ++bright;
        return bright;
    };
    QVERIFY(brightPixels(large, large.width() - 100) > 50);
    QCOMPARE(brightPixels(small, small.width() - 100), 0);
}

void FrameTest::pageIsWhiteAndListsLightGrey() {
    ScopedPlatform platform;
    Entries entries;
    Data::EntryList updates{entries.Add("US", "Federal", 1, 2, 1000)};
    Data::EntryList current{entries.Add("NY", "New York", 2, 2, 0, "Soon.")};
    UpdatesAvailableDlg screen(updates, current);
    QVERIFY(screen.Prepare());
    QCOMPARE(screen.palette().color(QPalette::Window), QColor(Qt::white));
    auto* list = Find<QListWidget>(&screen, 1082);
    QCOMPARE(list->palette().color(QPalette::Base), QColor(235, 235, 235));
    QCOMPARE(Find<QLabel>(&screen, 1031)->palette().color(QPalette::WindowText), QColor(Qt::black));
    // Rendered: the page around the texts is white, the list's inside grey.
    const QImage image = screen.grab().toImage();
    QCOMPARE(QColor(image.pixel(2, image.height() - 4)), QColor(Qt::white));
    const QPoint inside = list->geometry().bottomRight() - QPoint(30, 6);
    QCOMPARE(QColor(image.pixel(inside)), QColor(235, 235, 235));
}

void FrameTest::pictureButtonsTakeTheSizeOfTheirPictures() {
    const struct {
        PictureSet set;
        QSize size;
    } sets[] = {{PictureSet::Cancel, {84, 26}},
                {PictureSet::Next, {90, 26}},
                {PictureSet::Close, {90, 26}},
                {PictureSet::Finish, {83, 26}},
                {PictureSet::Troubleshooting, {130, 26}},
                {PictureSet::TryAgain, {83, 26}},
                {PictureSet::UpdateCenter, {130, 26}},
                {PictureSet::Resume, {85, 26}}};
    for (const auto& s : sets) {
        const ButtonPictures pictures = LoadButtonPictures(s.set);
        QCOMPARE(pictures.normal.size(), s.size);
        QCOMPARE(pictures.pressed.size(), s.size);
        QCOMPARE(pictures.focused.size(), s.size);
        QCOMPARE(pictures.disabled.size(), s.size);
        PictureButton button("x", nullptr);
        button.resize(10, 10);
        button.SetPictures(s.set);
        QCOMPARE(button.size(), s.size);
    }
    // Which set each screen's buttons use.
    ScopedPlatform platform;
    Data::DownloadList check;
    NoNetworkDlg screen(check);
    QCOMPARE(Find<PictureButton>(&screen, 1018)->Pictures(), PictureSet::UpdateCenter);
    QCOMPARE(Find<PictureButton>(&screen, 1012)->Pictures(), PictureSet::Troubleshooting);
    QCOMPARE(Find<PictureButton>(&screen, 1)->Pictures(), PictureSet::TryAgain);
    QCOMPARE(Find<PictureButton>(&screen, 2)->Pictures(), PictureSet::Cancel);
    ResumeCancelDlg confirm;
    QCOMPARE(Find<PictureButton>(&confirm, 1)->Pictures(), PictureSet::Resume);
    QCOMPARE(Find<PictureButton>(&confirm, 1)->size(), QSize(85, 26));
}

void FrameTest::pictureButtonsDrawTheirStates() {
    const ButtonPictures pictures = LoadButtonPictures(PictureSet::Next);
    // Four different pictures: pressed, focused (dotted rectangle) and disabled differ from normal.
    QVERIFY(pictures.pressed.toImage() != pictures.normal.toImage());
    QVERIFY(pictures.focused.toImage() != pictures.normal.toImage());
    QVERIFY(pictures.disabled.toImage() != pictures.normal.toImage());
    PictureButton button("Next", nullptr);
    button.SetPictures(PictureSet::Next);
    auto drawn = [&button] {
        QImage image(button.size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        button.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
        return image;
    };
    auto picture = [](const QPixmap& pixmap) {
        return pixmap.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    };
    QCOMPARE(drawn(), picture(pictures.normal));
    button.setEnabled(false);
    QCOMPARE(drawn(), picture(pictures.disabled));
    button.setEnabled(true);
    button.setDown(true);
    QCOMPARE(drawn(), picture(pictures.pressed));
}

void FrameTest::linkOpensItsStringTableEntryElseItsText() {
    ScopedPlatform platform;
    Entries entries;
    Data::EntryList updates{entries.Add("US", "Federal", 1, 2, 1000)};
    Data::EntryList none;
    UpdatesAvailableDlg screen(updates, none);
    QVERIFY(screen.Prepare());
    auto* federal = Find<CStaticLink>(&screen, 1100);
    auto* state = Find<CStaticLink>(&screen, 1110);
    QVERIFY(federal && state);
    QTest::mouseClick(federal, Qt::LeftButton);
    QTest::mouseClick(state, Qt::LeftButton);
    ConnIssueDlg issues;
    QVERIFY(issues.Prepare());
    auto* center = Find<CStaticLink>(&issues, 1153);
    QCOMPARE(center->text(), QString("www.tessra.example/updates/"));
    QTest::mouseClick(center, Qt::LeftButton);
    // A right click opens nothing.
    QTest::mouseClick(center, Qt::RightButton);
    const std::vector<std::string> expected{
        "http://www.tessra.example/updates/federalavailability/",
        "http://www.tessra.example/updates/stateavailability/",
        "http://www.tessra.example/updates/"};
    QCOMPARE(platform.fake.opened, expected);
    QCOMPARE(platform.fake.beeps, 0);
    QCOMPARE(federal->CurrentColor(), QColor(74, 104, 9));

    // The alerts link and the update-center link of the finished screen.
    CStaticLink alerts(1134, "www.tessra.example/alerts/", nullptr);
    alerts.Open();
    CStaticLink updateCenter(1112, "www.tessra.example/updates/", nullptr);
    updateCenter.Open();
    QCOMPARE(platform.fake.opened.at(3), std::string("http://www.tessra.example/alerts/"));
    QCOMPARE(platform.fake.opened.at(4), std::string("http://www.tessra.example/updates/"));
}

void FrameTest::linkBeepsWhenTheOpenFails() {
    ScopedPlatform platform;
    platform.fake.openSucceeds = false;
    CStaticLink link(1153, "www.tessra.example/updates/", nullptr);
    link.Open();
    QCOMPARE(platform.fake.beeps, 1);
    QCOMPARE(platform.fake.opened.size(), size_t(1));
    QCOMPARE(link.CurrentColor(), CStaticLink::kUnvisitedColor);
    platform.fake.openSucceeds = true;
    link.Open();
    QCOMPARE(platform.fake.beeps, 1);
    QCOMPARE(link.CurrentColor(), CStaticLink::kVisitedColor);
    QCOMPARE(CStaticLink::kVisitedColor, CStaticLink::kUnvisitedColor);
}

void FrameTest::linkWithoutTargetOrTextDoesNothing() {
    ScopedPlatform platform;
    CStaticLink link(1153, QString(), nullptr);
    QTest::mouseClick(&link, Qt::LeftButton);
    QVERIFY(platform.fake.opened.empty());
    QCOMPARE(platform.fake.beeps, 0);
    // A target given by the creator wins over the string table.
    CStaticLink given(1100, "text", nullptr, "http://given.example/");
    given.Open();
    QCOMPARE(platform.fake.opened.back(), std::string("http://given.example/"));
}

void FrameTest::linkLooksLikeALink() {
    ScopedPlatform platform;
    Entries entries;
    Data::EntryList list{entries.Add("US", "Federal", 2, 2, 0, "Soon.")};
    NoUpdatesAvailDlg screen(list);
    QVERIFY(screen.Prepare());
    for (int id : {1100, 1110}) {
        auto* link = Find<CStaticLink>(&screen, id);
        QVERIFY(link->font().underline());
        QCOMPARE(link->font().family(), QString("Arial"));
        QCOMPARE(link->font().pixelSize(), PixelSizeForCellHeight("Arial", 16));
        QCOMPARE(link->palette().color(QPalette::WindowText), QColor(74, 104, 9));
        QCOMPARE(link->cursor().shape(), Qt::PointingHandCursor);
    }
    // Setting another font keeps the underline.
    auto* link = Find<CStaticLink>(&screen, 1100);
    link->setFont(ScreenFont("Verdana", 16));
    QVERIFY(link->font().underline());
}

void FrameTest::addressesWithoutASchemeOpenAsWebPages_data() {
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("opened");
    QTest::newRow("host and path") << "www.tessra.example/updates/"
                                   << "http://www.tessra.example/updates/";
    QTest::newRow("host and port") << "localhost:8080/updates/"
                                   << "http://localhost:8080/updates/";
    QTest::newRow("dotted host and port") << "www.tessra.example:8080/"
                                          << "http://www.tessra.example:8080/";
    QTest::newRow("http") << "http://www.tessra.example/"
                          << "http://www.tessra.example/";
    QTest::newRow("https") << "https://www.tessra.example/a"
                           << "https://www.tessra.example/a";
    QTest::newRow("mail") << "mailto:help@tessra.example"
                          << "mailto:help@tessra.example";
}

void FrameTest::addressesWithoutASchemeOpenAsWebPages() {
    QFETCH(QString, address);
    QFETCH(QString, opened);
    ScopedPlatform platform;
    CStaticLink link(1153, address, nullptr);
    QTest::mouseClick(&link, Qt::LeftButton);
    QCOMPARE(platform.fake.opened, std::vector<std::string>{opened.toStdString()});
    QCOMPARE(link.text(), address);  // the text shown stays as it is
}

void FrameTest::linksAndButtonsWorkFromTheKeyboard() {
    ScopedPlatform platform;
    Entries entries;
    Data::EntryList updates{entries.Add("US", "Federal", 1, 2, 1000)};
    Data::EntryList current{entries.Add("NY", "New York", 2, 2, 0, "Soon.")};
    UpdatesAvailableDlg screen(updates, current);
    screen.show();
    QApplication::setActiveWindow(&screen);
    QVERIFY(QTest::qWaitForWindowActive(&screen));
    auto* federal = Find<CStaticLink>(&screen, 1100);
    auto* state = Find<CStaticLink>(&screen, 1110);
    const QImage unfocused = Drawn(*federal);
    QVERIFY(TabTo(screen, federal));
    QVERIFY2(Drawn(*federal) != unfocused, "the focused link looks the same");
    QTest::keyClick(federal, Qt::Key_Space);
    QVERIFY(TabTo(screen, state));
    // Enter on a link opens it and does not press Next.
    QTest::keyClick(state, Qt::Key_Return);
    QCOMPARE(platform.fake.opened,
             (std::vector<std::string>{"http://www.tessra.example/updates/federalavailability/",
                                       "http://www.tessra.example/updates/stateavailability/"}));
    QVERIFY(!screen.HasEnded());
    // The picture buttons show the focused picture when Tab reaches them.
    auto* next = Find<PictureButton>(&screen, 1);
    const QImage focusedPicture = LoadButtonPictures(PictureSet::Next)
                                      .focused.toImage()
                                      .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QVERIFY(Drawn(*next) != focusedPicture.copy());
    QVERIFY(TabTo(screen, next));
    QImage drawn(next->size(), QImage::Format_ARGB32_Premultiplied);
    drawn.fill(Qt::transparent);
    next->render(&drawn, QPoint(), QRegion(), QWidget::DrawChildren);
    QCOMPARE(drawn, focusedPicture);
    screen.hide();
}

void FrameTest::mnemonicPressesTheButtonOfItsLetter_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("result");
    QTest::newRow("Alt+R: &Resume") << int(Qt::Key_R) << 1;
    QTest::newRow("Alt+C: &Cancel") << int(Qt::Key_C) << 2;
}

void FrameTest::mnemonicPressesTheButtonOfItsLetter() {
    QFETCH(int, key);
    QFETCH(int, result);
    ScopedPlatform platform;
    ResumeCancelDlg confirm;
    QCOMPARE(ExecWith(confirm,
                      [&] {
                          // Unanswered, the screen ends with 0 after a while.
                          QTimer::singleShot(5000, &confirm, [&] { confirm.done(0); });
                          QVERIFY(QTest::qWaitForWindowActive(&confirm));
                          // A letter that no caption underlines does nothing.
                          QTest::keyClick(&confirm, Qt::Key_X, Qt::AltModifier);
                          QVERIFY(!confirm.HasEnded());
                          QTest::keyClick(&confirm, Qt::Key(key), Qt::AltModifier);
                      }),
             result);
}

void FrameTest::cancelAsksForConfirmationOnFiveScreens_data() {
    QTest::addColumn<QString>("screen");
    for (const char* name :
         {"WelcomeDlg", "UpdatesAvailableDlg", "AllUpdsAvailDlg", "FinishedDlg", "NoNetworkDlg"})
        QTest::newRow(name) << QString(name);
}

void FrameTest::cancelAsksForConfirmationOnFiveScreens() {
    QFETCH(QString, screen);
    ScopedPlatform platform;
    Entries entries;
    Data::UpdateEntry* federal = entries.Add("US", "Federal", 3, 4, 10);
    WriteFile(platform.fake.currentFolder + "/Update/US34cupd.exe", "0123456789");
    Data::EntryList updates{federal, entries.Add("CA", "California", 1, 2, 20)};
    Data::EntryList current;
    Data::DownloadList check;
    std::unique_ptr<ScreenFrame> dlg;
    if (screen == "WelcomeDlg") dlg = std::make_unique<WelcomeDlg>(check);
    if (screen == "UpdatesAvailableDlg")
        dlg = std::make_unique<UpdatesAvailableDlg>(updates, current);
    if (screen == "AllUpdsAvailDlg") dlg = std::make_unique<AllUpdsAvailDlg>(updates);
    if (screen == "FinishedDlg") {
        updates.pop_back();  // only the complete download: the success variant with Cancel
        dlg = std::make_unique<FinishedDlg>(updates);
    }
    if (screen == "NoNetworkDlg") dlg = std::make_unique<NoNetworkDlg>(check);
    QVERIFY(dlg);
    ScreenFrame* frame = dlg.get();
    QCOMPARE(QString::fromStdString(frame->ScreenName()), screen);

    int confirmations = 0;
    bool stillOpenAfterResume = false;
    QString radioAfterResume;
    auto cancelViaButton = [&] { QTest::mouseClick(Find<QWidget>(frame, 2), Qt::LeftButton); };
    // 1: Resume keeps the screen and its state. 2: Escape, then Cancel in the confirmation.
    int result = ExecWith(*frame, [&] {
        if (screen == "FinishedDlg") Find<QRadioButton>(frame, 1109)->click();
        AnswerModal<ResumeCancelDlg>(
            [&](ResumeCancelDlg* confirm) {
                ++confirmations;
                QVERIFY(Shown(confirm, 1118));
                QCOMPARE(confirm->parentWidget(), frame);
                QTest::mouseClick(Find<QWidget>(confirm, 1), Qt::LeftButton);
            },
            frame);
        cancelViaButton();
        stillOpenAfterResume = frame->isVisible() && !frame->HasEnded();
        if (screen == "FinishedDlg")
            radioAfterResume = Find<QRadioButton>(frame, 1109)->isChecked() ? "1109" : "1108";
        AnswerModal<ResumeCancelDlg>(
            [&](ResumeCancelDlg* confirm) {
                ++confirmations;
                QTest::keyClick(confirm, Qt::Key_Escape);
            },
            frame);
        QTest::keyClick(frame, Qt::Key_Escape);
    });
    QVERIFY(stillOpenAfterResume);
    if (screen == "FinishedDlg") QCOMPARE(radioAfterResume, QString("1109"));
    QCOMPARE(confirmations, 2);
    QCOMPARE(result, 2);
}

void FrameTest::escapeAndCloseBoxCancelAtOnceWhereNoConfirmation() {
    ScopedPlatform platform;
    {
        ConnIssueDlg issues;
        QCOMPARE(ExecWith(issues, [&] { QTest::keyClick(&issues, Qt::Key_Escape); }), 2);
    }
    {
        ConnIssueDlg issues;
        QCOMPARE(ExecWith(issues, [&] { issues.close(); }), 2);
    }
    {
        Entries entries;
        Data::EntryList list{entries.Add("US", "Federal", 2, 2, 0, "Soon.")};
        NoUpdatesAvailDlg screen(list);
        QCOMPARE(
            ExecWith(screen, [&] { QTest::mouseClick(Find<QWidget>(&screen, 2), Qt::LeftButton); }),
            2);
    }
    {
        // The close box on a confirming screen asks too; Cancel in the confirmation ends it.
        Data::DownloadList check;
        WelcomeDlg welcome(check);
        const int result = ExecWith(welcome, [&] {
            AnswerModal<ResumeCancelDlg>([](ResumeCancelDlg* confirm) { confirm->close(); },
                                         &welcome);
            welcome.close();
        });
        QCOMPARE(result, 2);
    }
}

void FrameTest::enterIsOk() {
    ScopedPlatform platform;
    {
        ConnIssueDlg issues;
        QCOMPARE(ExecWith(issues, [&] { QTest::keyClick(&issues, Qt::Key_Return); }), 1);
    }
    {
        ResumeCancelDlg confirm;
        QCOMPARE(ExecWith(confirm,
                          [&] { QTest::keyClick(&confirm, Qt::Key_Enter, Qt::KeypadModifier); }),
                 1);
    }
    {
        Entries entries;
        Data::EntryList updates{entries.Add("US", "Federal", 1, 2, 1000)};
        AllUpdsAvailDlg screen(updates);
        QCOMPARE(ExecWith(screen, [&] { QTest::keyClick(&screen, Qt::Key_Return); }), 1);
    }
}

void FrameTest::confirmationChoosesItsMessageFromTheCommandLine() {
    ScopedPlatform platform;
    {
        ResumeCancelDlg confirm;
        QVERIFY(confirm.Prepare());
        QVERIFY(Shown(&confirm, 1118));
        QVERIFY(!Shown(&confirm, 1129));
        QCOMPARE(Text(&confirm, 1118), QString(ResumeCancelDlg::kUpdateMessage));
        QCOMPARE(Find<QLabel>(&confirm, 1118)->font().family(), QString("Arial"));
        QCOMPARE(Find<QLabel>(&confirm, 1118)->font().pixelSize(),
                 PixelSizeForCellHeight("Arial", 16));
        QCOMPARE(Find<QWidget>(&confirm, 1)->property("text").toString(), QString("&Resume"));
    }
    platform.fake.commandLine =
        "/opt/tessra/tessra-swm /purchase http://updates.example/states/2007/CA.exe";
    {
        ResumeCancelDlg confirm;
        QVERIFY(confirm.Prepare());
        QVERIFY(!Shown(&confirm, 1118));
        QVERIFY(Shown(&confirm, 1129));
        QVERIFY(Text(&confirm, 1129).startsWith("State purchase has not been completed."));
    }
}

void FrameTest::messageBoxFromAWorkerThreadShowsOnTheUiThread() {
    InstallQtMessageBox();
    QThread* seenOn = nullptr;
    QString seenTitle, seenText;
    QMessageBox::Icon seenIcon = QMessageBox::NoIcon;
    bool seenProgramIcon = false;
    AnswerModal<QMessageBox>([&](QMessageBox* box) {
        seenOn = QThread::currentThread();
        seenTitle = box->windowTitle();
        seenText = box->text();
        seenIcon = box->icon();
        seenProgramIcon =
            box->windowIcon().pixmap(32).toImage() == WindowIcon().pixmap(32).toImage();
        QCOMPARE(box->parentWidget(), nullptr);
        QCOMPARE(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
        box->button(QMessageBox::Ok)->click();
    });
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        Sys::Linux().ShowMessage("Problem number (7)", "Problem Detected",
                                 Sys::MessageIcon::Exclamation);
        returned = true;
    });
    // The UI thread keeps handling events while the worker waits for the box.
    QTRY_VERIFY_WITH_TIMEOUT(returned, 10000);
    worker.join();
    QCOMPARE(seenOn, qApp->thread());
    QCOMPARE(seenTitle, QString("Problem Detected"));
    QCOMPARE(seenText, QString("Problem number (7)"));
    QCOMPARE(seenIcon, QMessageBox::Warning);
    QVERIFY(seenProgramIcon);
    Sys::Linux().SetMessageHandler(nullptr);
}

void FrameTest::messageBoxHasTheIconAndRoomForItsTitle() {
    const QString title = "State Download Complete";
    QMessageBox box(QMessageBox::NoIcon, title,
                    "Your State Download is complete.\n\n                Click OK to install.",
                    QMessageBox::Ok);
    FitMessageBox(box);
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    QVERIFY(!box.windowIcon().isNull());
    QVERIFY(box.windowIcon().availableSizes().contains(QSize(256, 256)));
    // A title bar shows the title in bold beside an icon and up to three buttons.
    QFont titleFont = QFontDatabase::systemFont(QFontDatabase::TitleFont);
    titleFont.setBold(true);
    const int titleBar = QFontMetrics(titleFont).horizontalAdvance(title) + 16 + 3 * 24;
    QVERIFY2(box.width() >= titleBar,
             qPrintable(QString("%1 wide, the title bar needs %2").arg(box.width()).arg(titleBar)));
    box.close();
}

QTEST_MAIN(FrameTest)
#include "tst_frame.moc"
