// The proxy password screen: its texts and ids, what it hands back, and the
// platform's request answered on the UI thread also when a worker asks.

#include <QCheckBox>
#include <QLineEdit>
#include <optional>

#include "GuiTestSupport.h"
#include "platform/LinuxPlatform.h"
#include "screens/ProxyAuthDlg.h"
#include "screens/ScreenDriver.h"

using namespace Presentation;
using namespace GuiTest;

namespace {

QLineEdit* Field(QWidget* screen, int id) { return Find<QLineEdit>(screen, id); }

// Types into the open screen and ends it with Enter, as a user would.
void TypeAndEnter(ProxyAuthDlg* screen, const QString& user, const QString& password,
                  bool remember) {
    QLineEdit* name = Field(screen, ProxyAuthDlg::kUser);
    name->clear();
    QTest::keyClicks(name, user);
    QTest::keyClicks(Field(screen, ProxyAuthDlg::kPassword), password);
    if (remember) Find<QCheckBox>(screen, ProxyAuthDlg::kRemember)->click();
    QTest::keyClick(Field(screen, ProxyAuthDlg::kPassword), Qt::Key_Return);
}

}  // namespace

class ProxyAuthTest : public QObject {
    Q_OBJECT
  private slots:
    void init() { Presentation::InstallProxyCredentialsDialog(); }
    void cleanup() { Sys::Linux().SetCredentialsHandler(nullptr); }

    void textsAndControls_data();
    void textsAndControls();
    void typedCredentialsComeBackAndNeverReachTheTranscript();
    void enterWithoutUserNameKeepsTheScreenOpen();
};

void ProxyAuthTest::textsAndControls_data() {
    QTest::addColumn<bool>("refused");
    QTest::addColumn<QString>("user");
    QTest::newRow("first request") << false << QString();
    QTest::newRow("refused, name kept") << true << QString("bob");
}

void ProxyAuthTest::textsAndControls() {
    QFETCH(bool, refused);
    QFETCH(QString, user);
    ScopedPlatform platform;
    ProxyAuthDlg screen("proxy.example:3128", refused, user.toStdString());
    bool shownAsExpected = false;
    auto check = [&] {
        QCOMPARE(Text(&screen, ProxyAuthDlg::kPrompt),
                 QString("The proxy proxy.example:3128 asks for a user name and password."));
        QCOMPARE(Shown(&screen, ProxyAuthDlg::kRefused), refused);
        QCOMPARE(Field(&screen, ProxyAuthDlg::kUser)->text(), user);
        QCOMPARE(Field(&screen, ProxyAuthDlg::kPassword)->echoMode(), QLineEdit::Password);
        QVERIFY(!Find<QCheckBox>(&screen, ProxyAuthDlg::kRemember)->isChecked());
        // A known name leaves the password to type; without one, OK waits for it.
        QCOMPARE(screen.focusWidget(),
                 Field(&screen, user.isEmpty() ? ProxyAuthDlg::kUser : ProxyAuthDlg::kPassword));
        QCOMPARE(Find<QWidget>(&screen, 1)->isEnabled(), !user.isEmpty());
        for (int id : {1, 2, int(ProxyAuthDlg::kUserLabel), int(ProxyAuthDlg::kPasswordLabel)})
            QVERIFY2(Shown(&screen, id), qPrintable(QString::number(id)));
        shownAsExpected = true;
    };
    const int result = ExecWith(screen, [&] {
        check();
        ScreenDriver::Press(&screen, "2");
    });
    QVERIFY(shownAsExpected);
    QCOMPARE(result, 2);
}

void ProxyAuthTest::typedCredentialsComeBackAndNeverReachTheTranscript() {
    ScopedPlatform platform;
    for (bool remember : {false, true}) {
        ProxyAuthDlg screen("127.0.0.1:3128", false, "");
        std::string texts;
        const int result = ExecWith(screen, [&] {
            TypeAndEnter(&screen, "carol", "pa ss:w@rd", remember);
            texts = ScreenDriver::Texts(&screen).dump();
        });
        QCOMPARE(result, 1);
        const Sys::ProxyCredentials typed = screen.Credentials();
        QCOMPARE(typed.user, std::string("carol"));
        QCOMPARE(typed.password, std::string("pa ss:w@rd"));
        QCOMPARE(typed.remember, remember);
        QVERIFY2(texts.find("127.0.0.1:3128") != std::string::npos, texts.c_str());
        QVERIFY2(texts.find("w@rd") == std::string::npos, texts.c_str());
    }
}

void ProxyAuthTest::enterWithoutUserNameKeepsTheScreenOpen() {
    ScopedPlatform platform;
    ProxyAuthDlg screen("127.0.0.1:3128", false, "");
    bool stillOpen = false;
    const int result = ExecWith(screen, [&] {
        QTest::keyClicks(Field(&screen, ProxyAuthDlg::kPassword), "secret");
        QTest::keyClick(Field(&screen, ProxyAuthDlg::kPassword), Qt::Key_Return);
        stillOpen = !screen.HasEnded();
        QTest::keyClicks(Field(&screen, ProxyAuthDlg::kUser), "dave");
        QTest::keyClick(Field(&screen, ProxyAuthDlg::kUser), Qt::Key_Return);
    });
    QVERIFY(stillOpen);
    QCOMPARE(result, 1);
    QCOMPARE(screen.Credentials().user, std::string("dave"));
}

QTEST_MAIN(ProxyAuthTest)
#include "tst_proxyauth.moc"
