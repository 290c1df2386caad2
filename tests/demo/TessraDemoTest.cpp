// Tessra.exe's files as the Software Manager reads them: the proxy choice the
// dialog writes into ts07.cfg, and the state file's products.
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QtTest>

#include "data/Proxy.h"
#include "tools/tessra-demo/DemoHome.h"
#include "tools/tessra-demo/ProxyDialog.h"

namespace {

QStringList ReadLines(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

void WriteText(const QString& path, const QByteArray& text) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
}

}  // namespace

class TessraDemoTest : public QObject {
    Q_OBJECT
  private slots:
    void init() {
        QVERIFY(dir_.isValid());
        path_ = dir_.filePath("ts07.cfg");
        QFile::remove(path_);
    }

    void settingsReplaceInPlaceAndKeepOtherLines() {
        WriteText(path_,
                  "string:ui_prop_user_name=Demo User\r\n"
                  "bool:ui_prop_tessra_updated=true\r\n"
                  "string:ui_prop_proxy_which=none\r\n"
                  "string:ui_prop_proxy_which=pac\r\n"
                  "string:ui_prop_proxy_which_other=x\r\n");
        Demo::ProgramSettings settings(path_);
        QVERIFY(settings.Load());
        QCOMPARE(settings.Value("ui_prop_proxy_which"), QString("none"));
        QCOMPARE(settings.Line("ui_prop_tessra_updated"),
                 QString("bool:ui_prop_tessra_updated=true"));
        settings.Set("string", "ui_prop_proxy_which", "tessra");
        settings.Set("bool", "ui_prop_tessra_updated", "false");
        settings.Set("string", "ui_prop_proxy_http_server", "proxyhost");
        QVERIFY(settings.Save());
        QCOMPARE(ReadLines(path_), (QStringList{
                                       "string:ui_prop_user_name=Demo User",
                                       "bool:ui_prop_tessra_updated=false",
                                       "string:ui_prop_proxy_which=tessra",
                                       "string:ui_prop_proxy_which_other=x",
                                       "string:ui_prop_proxy_http_server=proxyhost",
                                   }));
    }

    void missingSettingsFileIsCreatedOnSave() {
        Demo::ProgramSettings settings(path_);
        QVERIFY(settings.Load());
        bool found = true;
        QCOMPARE(settings.Value("ui_prop_proxy_which", &found), QString());
        QVERIFY(!found);
        settings.Set("string", "ui_prop_proxy_which", "system");
        QVERIFY(settings.Save());
        QCOMPARE(ReadLines(path_), QStringList{"string:ui_prop_proxy_which=system"});
    }

    // What the dialog saves is what the Software Manager's next transfer uses.
    void proxyDialogChoiceReachesTheTransfer_data() {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("port");
        QTest::addColumn<int>("expectedMode");
        QTest::addColumn<QString>("expectedAddress");
        QTest::newRow("own proxy, default port") << "tessra"
                                                 << "proxyhost"
                                                 << "" << 2 << "proxyhost:80";
        QTest::newRow("signature with port") << "signature"
                                             << "gate.example"
                                             << "3128" << 3 << "gate.example:3128";
        QTest::newRow("none") << "none"
                              << ""
                              << "" << 0 << "";
    }

    void proxyDialogChoiceReachesTheTransfer() {
        QFETCH(QString, mode);
        QFETCH(QString, host);
        QFETCH(QString, port);
        QFETCH(int, expectedMode);
        QFETCH(QString, expectedAddress);
        WriteText(path_, "string:ui_prop_user_name=Demo User\nstring:ui_prop_proxy_which=pac\n");
        Demo::ProgramSettings settings(path_);
        QVERIFY(settings.Load());
        Demo::ProxyDialog dialog(settings);
        dialog.findChild<QRadioButton*>("proxy-" + mode)->click();
        auto* server = dialog.findChild<QLineEdit*>("ui_prop_proxy_http_server");
        auto* serverPort = dialog.findChild<QLineEdit*>("ui_prop_proxy_http_port");
        QVERIFY(server && serverPort);
        if (!host.isEmpty()) QTest::keyClicks(server, host);
        if (!port.isEmpty()) QTest::keyClicks(serverPort, port);
        const auto buttons = dialog.findChildren<QPushButton*>();
        auto save = std::find_if(buttons.begin(), buttons.end(),
                                 [](QPushButton* b) { return b->text().contains("Save"); });
        QVERIFY(save != buttons.end());
        (*save)->click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QVERIFY(ReadLines(path_).contains("string:ui_prop_user_name=Demo User"));

        const Data::ProxyChoice choice = Data::ChooseProxy(path_.toStdString());
        QCOMPARE(choice.mode, expectedMode);
        if (expectedMode != 0) QCOMPARE(QString::fromStdString(choice.address), expectedAddress);
    }

    // A ':' would end the value early: "host:8080" must not reach the file.
    void proxyHostCannotHoldAColon() {
        Demo::ProgramSettings settings(path_);
        QVERIFY(settings.Load());
        Demo::ProxyDialog dialog(settings);
        dialog.findChild<QRadioButton*>("proxy-tessra")->click();
        auto* server = dialog.findChild<QLineEdit*>("ui_prop_proxy_http_server");
        QTest::keyClicks(server, "host:8080");
        QVERIFY(!server->text().contains(':'));
    }

    void ownProxyWithoutHostIsRefused() {
        Demo::ProgramSettings settings(path_);
        QVERIFY(settings.Load());
        Demo::ProxyDialog dialog(settings);
        dialog.findChild<QRadioButton*>("proxy-tessra")->click();
        const auto buttons = dialog.findChildren<QPushButton*>();
        for (QPushButton* button : buttons) {
            if (button->text().contains("Save")) button->click();
        }
        QVERIFY(dialog.result() != QDialog::Accepted);
        QVERIFY(!QFile::exists(path_));
    }

    void stateFileProducts() {
        const QString path = dir_.filePath("demo-state.cfg");
        WriteText(path,
                  "# comment US=1\n"
                  "server=127.0.0.1:80\n"
                  "US=4\n"
                  "seen-US=3\n"
                  "TX=2\n"
                  "ALERT=7\n"
                  "ny=5\n"
                  "NJ=101\n"
                  "CA=removed\n");
        Demo::StateFile state(path);
        QVERIFY(state.Load());
        const std::vector<Demo::Product> products = state.Products();
        QCOMPARE(products.size(), size_t(2));
        QCOMPARE(products[0].code, QString("US"));
        QCOMPARE(products[0].name, QString("Federal"));
        QCOMPARE(products[0].version, 4);
        QCOMPARE(products[1].name, QString("New Jersey"));
        QCOMPARE(state.Value("seen-US"), QString("3"));
        state.SetValue("US", "5");
        state.Remove("seen-US");
        QVERIFY(state.Save());
        QCOMPARE(ReadLines(path).at(2), QString("US=5"));
        QVERIFY(!ReadLines(path).contains("seen-US=3"));
        QVERIFY(ReadLines(path).contains("# comment US=1"));
    }

  private:
    QTemporaryDir dir_;
    QString path_;
};

QTEST_MAIN(TessraDemoTest)
#include "TessraDemoTest.moc"
