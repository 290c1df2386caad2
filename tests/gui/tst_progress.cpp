// The download progress screen, fed by a real worker against the update
// server on 127.0.0.1: product label, bar, counters, rate, the finished
// record, Cancel, and records that arrive after the screen closed.

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <cstdlib>

#include "GuiTestSupport.h"
#include "screens/DLMgrDlg.h"
#include "tests/integration/server/ServerProcess.h"

using namespace Presentation;
using namespace GuiTest;

namespace {
struct Snapshot {
    QString product;
    int bar;
    QString kilobytes;
    qint64 arrived;
};

// Serves installer files from a temporary folder, as the update server lays them out.
class ServedUpdates {
  public:
    explicit ServedUpdates(ScopedPlatform& platform) : platform_(platform) {
        root_ = platform.Root() + "/server";
        std::filesystem::create_directories(root_);
    }
    void Add(const std::string& path, size_t bytes) {
        std::string content(bytes, '\0');
        for (size_t i = 0; i < bytes; ++i) content[i] = static_cast<char>('a' + i % 26);
        WriteFile(root_ + path, content);
    }
    bool Start(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"--root", root_};
        args.insert(args.end(), extra.begin(), extra.end());
        server_ = std::make_unique<ServerTest::ServerProcess>(args);
        if (!server_->Start()) return false;
        platform_.fake.commandLine =
            "/opt/tessra/tessra-swm /tmp/download.cfg /N " + server_->ProxyAddress();
        return true;
    }
    std::string Error() const { return server_ ? server_->Error() : std::string(); }

  private:
    ScopedPlatform& platform_;
    std::string root_;
    std::unique_ptr<ServerTest::ServerProcess> server_;
};

QString Text(DLMgrDlg& screen, int id) { return GuiTest::Text(&screen, id); }
int Bar(DLMgrDlg& screen) { return Find<QProgressBar>(&screen, 1001)->value(); }
}  // namespace

class ProgressTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase();
    void openingShowsTotalsEstimatesAndPresentBytes();
    void estimates_data();
    void estimates();
    void headingFollowsTheKindOfDownload();
    void rateFormatAndTracker();
    void firstRateIsTheLineEstimate();
    void productLabelWalksTheEntries();
    void batchIsShownOnceAfterItsRecords();
    void labelsAndBarFollowARealWorker();
    void completeFilesStillStartTheWorker();
    void failedTransferKeepsTheScreenUntilCancel();
    void cancelStopsTheWorkerAndLaterRecordsAreFreed();
};

void ProgressTest::initTestCase() {
    // Transfers to 127.0.0.1 go direct.
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy"})
        unsetenv(name);
}

void ProgressTest::openingShowsTotalsEstimatesAndPresentBytes() {
    ScopedPlatform platform;
    Entries entries;
    Data::UpdateEntry* federal = entries.Add("US", "Federal", 3, 4, 1500000);
    Data::UpdateEntry* state = entries.Add("CA", "California", 2, 3, 500000);
    Data::UpdateEntry* current = entries.Add("NY", "New York", 5, 5, 700000);  // no update
    WriteFile(platform.fake.currentFolder + "/Update/CA23cupd.exe", std::string(500000, 'x'));
    Data::EntryList list{federal, current, state};
    DLMgrDlg screen(list, 1, "prom1", "camp1");
    QVERIFY(screen.Prepare());
    QCOMPARE(screen.List().Count(), 2);
    QCOMPARE(screen.List().Item(0).localPath, platform.fake.currentFolder + "/Update/US34cupd.exe");
    QCOMPARE(screen.List().GetValue("prom"), std::string("prom1"));
    QCOMPARE(screen.List().GetValue("camp"), std::string("camp1"));
    // The bar starts at the bytes on disk; the counter waits for the first chunk.
    QCOMPARE(Find<QProgressBar>(&screen, 1001)->maximum(), 2000000);
    QCOMPARE(Bar(screen), 500000);
    QCOMPARE(Text(screen, 1011), QString("0"));
    QCOMPARE(Text(screen, 1012), QString("2000"));  // kilobytes, like the caption says
    QCOMPARE(Text(screen, 1117), QString("KBytes downloaded"));
    QCOMPARE(Text(screen, 1106), QString(""));  // emptied once an entry qualified
    QCOMPARE(Text(screen, 1116), QString("Downloading:"));
    QCOMPARE(Text(screen, 1005), QString("0%"));
    QCOMPARE(Text(screen, 1007), QString("100% complete"));
    QCOMPARE(Text(screen, 1123), QString("of"));
    QCOMPARE(Text(screen, 1124), QString("KBytes Per Second"));
    QCOMPARE(Text(screen, 1101), QString("Estimated total download time:"));
    QCOMPARE(Find<QProgressBar>(&screen, 1001)->palette().color(QPalette::Highlight),
             QColor(152, 189, 75));
    QCOMPARE(screen.Tracker().countedBytes, 500000);
    QCOMPARE(screen.Tracker().totalBytes, 2000000);
    QVERIFY(!Shown(&screen, 1));  // the OK button is never visible
    QVERIFY(!screen.WorkerStarted());
    for (int id : {1116, 1106, 1005, 1007, 1101, 1075, 1076, 1117, 1123, 1124, 1011, 1012}) {
        QCOMPARE(Find<QWidget>(&screen, id)->font().family(), QString("Arial"));
        QCOMPARE(Find<QWidget>(&screen, id)->font().pixelSize(),
                 PixelSizeForCellHeight("Arial", 16));
    }

    // Nothing to download: the template's label stays.
    Data::EntryList none{current};
    DLMgrDlg empty(none, 1, "", "");
    QVERIFY(empty.Prepare());
    QCOMPARE(Text(empty, 1106), QString("Program Name"));
    QCOMPARE(empty.List().Count(), 0);
}

void ProgressTest::estimates_data() {
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

void ProgressTest::estimates() {
    QFETCH(int, total);
    QFETCH(QString, dialUp);
    QFETCH(QString, broadband);
    ScopedPlatform platform;
    Entries entries;
    Data::EntryList list{entries.Add("US", "Federal", 3, 4, total)};
    DLMgrDlg screen(list, 1, "", "");
    QVERIFY(screen.Prepare());
    QCOMPARE(Text(screen, 1075), dialUp);
    QCOMPARE(Text(screen, 1076), broadband);
}

void ProgressTest::headingFollowsTheKindOfDownload() {
    ScopedPlatform platform;
    Entries entries;
    Data::EntryList list{entries.Add("CA", "California", 0, 1, 100)};
    {
        DLMgrDlg screen(list, 1, "", "");
        QVERIFY(screen.Prepare());
        QVERIFY(Shown(&screen, 1027) && !Shown(&screen, 1127));
        QCOMPARE(Text(screen, 1027), QString("Update Download Progress"));
        QCOMPARE(Find<QWidget>(&screen, 1027)->font().family(), QString("Verdana"));
        QCOMPARE(Find<QWidget>(&screen, 1027)->font().pixelSize(),
                 PixelSizeForCellHeight("Verdana", 32));
    }
    platform.fake.commandLine = "/opt/tessra/tessra-swm /purchase http://h.example/s/CA.exe";
    DLMgrDlg screen(list, 1, "", "");
    QVERIFY(screen.Prepare());
    QVERIFY(!Shown(&screen, 1027) && Shown(&screen, 1127));
    QCOMPARE(Text(screen, 1127), QString("State Download Progress"));
    QCOMPARE(screen.List().Item(0).localPath,
             platform.fake.commonAppData + "/Tessra/2007/Downloads/CA.exe");
}

void ProgressTest::rateFormatAndTracker() {
    RateTracker tracker;
    tracker.rate = 0;
    QCOMPARE(FormatRate(tracker), std::string("0.0 KBytes/sec"));
    tracker.rate = -5;
    QCOMPARE(FormatRate(tracker), std::string("0.0 KBytes/sec"));
    tracker.rate = 12345;
    QCOMPARE(FormatRate(tracker), std::string("12.3 KBytes/sec"));
    tracker.rate = 999000;
    QCOMPARE(FormatRate(tracker), std::string("999.0 KBytes/sec"));
    tracker.rate = 1000000;
    QCOMPARE(FormatRate(tracker), std::string("1.0 MBytes/sec"));
    tracker.rate = 1500000;
    QCOMPARE(FormatRate(tracker), std::string("1.5 MBytes/sec"));
    tracker.rate = 12340000;
    QCOMPARE(FormatRate(tracker), std::string("12.3 MBytes/sec"));

    // The estimate holds for the first second; then the average since the start, which
    // counts the bytes already on disk.
    RateTracker t;
    t.rate = 7000;
    t.countedBytes = 50000;
    t.startMs = 10000;
    t.Add(16384, 10900);
    QCOMPARE(t.rate, 7000.0f);
    QCOMPARE(t.countedBytes, int64_t(66384));
    QCOMPARE(t.lastMs, int64_t(10900));
    t.Add(13616, 12000);
    QCOMPARE(t.rate, 40000.0f);  // 80000 bytes in 2 seconds

    ScopedPlatform platform;
    platform.fake.lan = true;
    QCOMPARE(EstimateLineRate(), 90000.0f);
    platform.fake.lan = false;
    QCOMPARE(EstimateLineRate(), 7000.0f);
}

void ProgressTest::firstRateIsTheLineEstimate() {
    ScopedPlatform platform;
    Entries entries;
    Data::EntryList list{entries.Add("US", "Federal", 3, 4, 1000000)};
    for (bool lan : {true, false}) {
        platform.fake.lan = lan;
        DLMgrDlg screen(list, 1, "", "");
        QVERIFY(screen.Prepare());
        screen.RestartClock();
        screen.HandleRecord(std::make_unique<Data::StartDownloadMsg>("", 0, 1000000));
        screen.HandleRecord(std::make_unique<Data::InProgressDownloadMsg>("", 16384));
        QCOMPARE(Text(screen, 1124), lan ? QString("90.0 KBytes/sec") : QString("7.0 KBytes/sec"));
        QCOMPARE(Text(screen, 1011), QString("16"));
        QCOMPARE(Bar(screen), 16384);
    }
}

void ProgressTest::productLabelWalksTheEntries() {
    ScopedPlatform platform;
    Entries entries;
    // Names repeat (two federal entries) and one entry has no product at all.
    Data::EntryList list{entries.Add("US", "Federal", 3, 4, 10),
                         entries.Add("US", "Federal", 4, 5, 10),
                         entries.Add("CA", "California", 2, 3, 10), entries.Add("", "", 1, 2, 10)};
    DLMgrDlg screen(list, 1, "", "");
    QVERIFY(screen.Prepare());
    QStringList seen;
    for (int i = 0; i < 5; ++i) {
        screen.HandleRecord(std::make_unique<Data::StartDownloadMsg>("", 0, 10));
        seen << Text(screen, 1106);
    }
    // Equal names are skipped together; an empty name starts the walk again from the first.
    QCOMPARE(seen, (QStringList{"Federal", "California", "", "Federal", "California"}));
    // A record without a derived part is ignored.
    screen.HandleRecord(std::make_unique<Data::DownloadMsg>("", Data::kProgressKind));
    QCOMPARE(Bar(screen), 0);
}

void ProgressTest::batchIsShownOnceAfterItsRecords() {
    ScopedPlatform platform;
    platform.fake.lan = true;
    Entries entries;
    Data::EntryList list{entries.Add("US", "Federal", 3, 4, 700000),
                         entries.Add("CA", "California", 2, 3, 300000)};
    DLMgrDlg screen(list, 1, "", "");
    QVERIFY(screen.Prepare());
    screen.RestartClock();
    std::vector<Snapshot> shown;
    connect(&screen, &ScreenFrame::bytesArrived, [&](qint64 arrived) {
        shown.push_back({Text(screen, 1106), Bar(screen), Text(screen, 1011), arrived});
    });
    auto progress = [](int n, int bytes, DownloadRecords& batch) {
        for (int i = 0; i < n; ++i)
            batch.push_back(std::make_unique<Data::InProgressDownloadMsg>("", bytes));
    };
    // Federal's 40 chunks, California's start and 5 chunks, the finished record and a
    // chunk after it: handled in order, shown when the product changes and at the end.
    DownloadRecords batch;
    batch.push_back(std::make_unique<Data::StartDownloadMsg>("", 0, 700000));
    progress(40, 16384, batch);
    batch.push_back(std::make_unique<Data::StartDownloadMsg>("", 0, 300000));
    progress(5, 10000, batch);
    screen.HandleRecords(batch);
    QVERIFY(batch.empty());
    QCOMPARE(shown.size(), size_t(2));
    QCOMPARE(shown[0].product, QString("Federal"));
    QCOMPARE(shown[0].arrived, qint64(655360));
    QCOMPARE(shown[0].bar, 655360);
    QCOMPARE(shown[0].kilobytes, QString("655"));
    QCOMPARE(shown[1].product, QString("California"));
    QCOMPARE(shown[1].bar, 705360);
    QCOMPARE(shown[1].kilobytes, QString("705"));
    QCOMPARE(Text(screen, 1124), QString("90.0 KBytes/sec"));  // still the first second
    QCOMPARE(screen.Tracker().countedBytes, int64_t(705360));

    batch.push_back(std::make_unique<Data::InProgressDownloadMsg>("", 5000));
    batch.push_back(Data::MakeFinishedMsg());
    progress(1, 16384, batch);
    screen.HandleRecords(batch);
    QCOMPARE(screen.result(), 1);
    QCOMPARE(shown.size(), size_t(3));
    QCOMPARE(shown[2].arrived, qint64(710360));
    QCOMPARE(Bar(screen), 710360);  // the chunk after the finished record is not counted
    QCOMPARE(Find<QPushButton>(&screen, 1)->text(), QString("Install"));
}

void ProgressTest::labelsAndBarFollowARealWorker() {
    ScopedPlatform platform;
    ServedUpdates served(platform);
    served.Add("/updates/2007/win/us/3/cupd.exe", 70000);
    served.Add("/updates/2007/win/ca/2/upd.exe", 50000);
    QVERIFY2(served.Start(), served.Error().c_str());
    Entries entries;
    Data::EntryList list{entries.Add("US", "Federal", 3, 4, 70000),
                         entries.Add("CA", "California", 2, 3, 50000)};
    DLMgrDlg screen(list, 1, "", "");
    std::vector<Snapshot> snapshots;
    connect(&screen, &ScreenFrame::bytesArrived, [&](qint64 arrived) {
        snapshots.push_back({Text(screen, 1106), Bar(screen), Text(screen, 1011), arrived});
    });
    const int result = screen.exec();
    QCOMPARE(result, 1);
    QVERIFY(platform.fake.messages.empty());
    // Shown once per batch of records, and before the product label moves on.
    QVERIFY(snapshots.size() >= 2);
    qint64 previous = 0;
    bool sawState = false;
    for (const Snapshot& s : snapshots) {
        QVERIFY(s.arrived > previous);
        QCOMPARE(qint64(s.bar), s.arrived);  // nothing was on disk
        QCOMPARE(s.kilobytes, QString::number(s.arrived / 1000));
        // The federal file comes first, then the state file.
        QCOMPARE(s.product, s.arrived <= 70000 ? QString("Federal") : QString("California"));
        sawState = sawState || s.product == "California";
        previous = s.arrived;
    }
    QVERIFY(sawState);
    QCOMPARE(previous, qint64(120000));
    QCOMPARE(Text(screen, 1011), QString("120"));
    QCOMPARE(Text(screen, 1012), QString("120"));
    QVERIFY(Text(screen, 1124).endsWith("Bytes/sec"));
    auto* ok = Find<QPushButton>(&screen, 1);
    QVERIFY(ok->isEnabled());
    QCOMPARE(ok->text(), QString("Install"));
    QCOMPARE(std::filesystem::file_size(platform.fake.currentFolder + "/Update/US34cupd.exe"),
             uintmax_t(70000));
    QCOMPARE(std::filesystem::file_size(platform.fake.currentFolder + "/Update/CA23cupd.exe"),
             uintmax_t(50000));
}

void ProgressTest::completeFilesStillStartTheWorker() {
    ScopedPlatform platform;
    ServedUpdates served(platform);
    QVERIFY2(served.Start(), served.Error().c_str());
    WriteFile(platform.fake.currentFolder + "/Update/US34cupd.exe", std::string(100, 'x'));
    WriteFile(platform.fake.currentFolder + "/Update/CA23cupd.exe", std::string(50, 'x'));
    Entries entries;
    Data::EntryList list{entries.Add("US", "Federal", 3, 4, 100),
                         entries.Add("CA", "California", 2, 3, 50)};
    DLMgrDlg screen(list, 1, "", "");
    int progressRecords = 0;
    connect(&screen, &ScreenFrame::bytesArrived, [&] { ++progressRecords; });
    QCOMPARE(screen.exec(), 1);
    QVERIFY(screen.WorkerStarted());
    QCOMPARE(progressRecords, 0);
    QCOMPARE(Text(screen, 1106), QString("California"));
    QCOMPARE(Bar(screen), 150);
    QCOMPARE(Text(screen, 1011), QString("0"));
}

void ProgressTest::failedTransferKeepsTheScreenUntilCancel() {
    ScopedPlatform platform;
    ServedUpdates served(platform);  // serves nothing: the server answers 404
    QVERIFY2(served.Start(), served.Error().c_str());
    Entries entries;
    Data::EntryList list{entries.Add("US", "Federal", 3, 4, 1000)};
    DLMgrDlg screen(list, 1, "", "");
    bool endedWithoutFinish = false;
    bool openWhenEnded = false;
    connect(&screen, &ScreenFrame::workerEnded, [&](bool finished) {
        endedWithoutFinish = !finished;
        openWhenEnded = screen.isVisible() && !screen.HasEnded();
        // Cancel after the worker has ended still closes the screen with 2.
        QTest::mouseClick(Find<QWidget>(&screen, 2), Qt::LeftButton);
    });
    QCOMPARE(screen.exec(), 2);
    QVERIFY(endedWithoutFinish);
    QVERIFY(openWhenEnded);
    QCOMPARE(platform.fake.messages.size(), size_t(1));
    QVERIFY(platform.fake.messages[0].text.find("Problem number (22)") != std::string::npos);
    QCOMPARE(Text(screen, 1106), QString("Federal"));
}

void ProgressTest::cancelStopsTheWorkerAndLaterRecordsAreFreed() {
    ScopedPlatform platform;
    ServedUpdates served(platform);
    const size_t size = 4000000;
    served.Add("/updates/2007/win/us/3/cupd.exe", size);
    QVERIFY2(served.Start({"--throttle", "200000"}), served.Error().c_str());
    Entries entries;
    Data::EntryList list{entries.Add("US", "Federal", 3, 4, static_cast<int32_t>(size))};
    const std::string path = platform.fake.currentFolder + "/Update/US34cupd.exe";
    QString kilobytesAtClose;
    int barAtClose = -1;
    {
        DLMgrDlg screen(list, 1, "", "");
        connect(&screen, &ScreenFrame::bytesArrived, [&](qint64 arrived) {
            if (arrived < 30000 || screen.HasEnded()) return;
            QTest::mouseClick(Find<QWidget>(&screen, 2), Qt::LeftButton);  // no confirmation
            kilobytesAtClose = Text(screen, 1011);
            barAtClose = Bar(screen);
        });
        QCOMPARE(screen.exec(), 2);
        QVERIFY(screen.HasEnded());
        // Records still on their way, or posted now, are freed without touching the closed
        // screen.
        screen.Sink().Post(std::make_unique<Data::StartDownloadMsg>("", 0, 10));
        screen.Sink().Post(std::make_unique<Data::InProgressDownloadMsg>("", 16384));
        screen.Sink().Post(Data::MakeFinishedMsg());
        QTest::qWait(300);
        QCOMPARE(Text(screen, 1011), kilobytesAtClose);
        QCOMPARE(Text(screen, 1106), QString("Federal"));
        QCOMPARE(Bar(screen), barAtClose);
        QCOMPARE(screen.result(), 2);
        QCOMPARE(Find<QPushButton>(&screen, 1)->text(), QString("OK"));
    }
    // The worker has been joined: the partial file stays, well short of the whole.
    const auto partial = std::filesystem::file_size(path);
    QVERIFY(partial >= 30000);
    QVERIFY(partial < size);
    QVERIFY(platform.fake.messages.empty());  // a cancelled transfer shows no problem
}

QTEST_MAIN(ProgressTest)
#include "tst_progress.moc"
