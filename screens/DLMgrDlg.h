#pragma once
// The download progress screen: builds the download list of the chosen
// updates, starts the download worker and follows its records (product name,
// bar, bytes, rate) until the finished record (1) or Cancel (2).

#include <QObject>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "data/DownloadList.h"
#include "data/Manifest.h"
#include "download/DownloadMsg.h"
#include "screens/ScreenFrame.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace Transfer {
class WorkerThread;
}

namespace Presentation {

// Bytes per second of the first estimate: 90000 on a LAN connection, else 7000.
float EstimateLineRate();

struct RateTracker {
    float rate = 0;            // bytes per second
    int64_t countedBytes = 0;  // starts at the bytes already on disk
    int64_t totalBytes = 0;
    int64_t startMs = 0;
    int64_t lastMs = 0;

    // Counts a chunk; after the first second the rate is the average since the start.
    void Add(int64_t bytes, int64_t nowMs);
};

// "12.3 KBytes/sec", "1.5 MBytes/sec" from 1000 KBytes/sec on, "0.0 KBytes/sec" for none.
std::string FormatRate(const RateTracker& tracker);

// The Qt event type of the worker's records (the registered message originally).
int DownloadRecordEventType();

class RecordReceiver;
class RecordSink;

using DownloadRecords = std::deque<std::unique_ptr<Data::DownloadMsg>>;

class DLMgrDlg : public ScreenFrame {
    Q_OBJECT
  public:
    // Control ids of the screen (object names stay these numbers).
    enum ControlId : int {
        kOkId = 1,
        kCancelId = 2,
        kBarId = 1001,
        kBarLeftId = 1005,
        kBarRightId = 1007,
        kReceivedId = 1011,
        kTotalId = 1012,
        kUpdateHeadingId = 1027,
        kDialUpId = 1075,
        kBroadbandId = 1076,
        kEstimateCaptionId = 1101,
        kProductId = 1106,
        kDownloadingId = 1116,
        kKilobytesId = 1117,
        kOfId = 1123,
        kRateId = 1124,
        kStateHeadingId = 1127,
    };

    DLMgrDlg(const Data::EntryList& entries, int edition, const std::string& prom,
             const std::string& camp, QWidget* parent = nullptr);
    ~DLMgrDlg() override;

    const Data::DownloadList& List() const { return *list_; }
    const RateTracker& Tracker() const { return tracker_; }
    bool WorkerStarted() const;
    // Shortens the worker's stall limit (tests); before the screen is shown.
    void SetStallLimit(long seconds) { stallSeconds_ = seconds; }

    // Records of the worker, on the UI thread, in posting order: each is handled
    // in turn and the counters, bar and rate are shown once after the batch (and
    // before the product label moves on, so they always belong together).
    void HandleRecords(DownloadRecords& records);
    // A batch of one.
    void HandleRecord(std::unique_ptr<Data::DownloadMsg> record);
    // Starts the rate clock now (done when the worker starts; previews use it too).
    void RestartClock();
    // Where the worker posts its records (any thread).
    Data::DownloadMsgSink& Sink();

  protected:
    bool Initialise() override;
    void OnOK() override;
    void OnCancel() override;
    void OnEnding(int result) override;
    void showEvent(QShowEvent* event) override;

  private:
    void StartWorker();
    void WatchWorker();
    void Handle(const Data::DownloadMsg& record, int64_t nowMs);
    void ShowProgress();
    void NextProductName();
    static int64_t NowMs();

    const Data::EntryList& entries_;
    std::shared_ptr<Data::DownloadList> list_;
    std::string prom_;
    std::string camp_;
    std::unique_ptr<Transfer::WorkerThread> worker_;
    bool workerRunning_ = false;  // started and no finished record yet
    bool finishedRecord_ = false;
    RateTracker tracker_;
    int64_t totalBytes_ = 0;
    int64_t presentBytes_ = 0;
    int64_t barPosition_ = 0;
    int64_t arrivedBytes_ = 0;  // chunks reported by this run
    bool progressUnshown_ = false;
    long stallSeconds_ = 30;
    RecordReceiver* receiver_ = nullptr;
    std::shared_ptr<RecordSink> sink_;

    QLabel* product_ = nullptr;
    QProgressBar* bar_ = nullptr;
    QLabel* received_ = nullptr;
    QLabel* total_ = nullptr;
    QLabel* rate_ = nullptr;
    QLabel* dialUp_ = nullptr;
    QLabel* broadband_ = nullptr;
    QPushButton* ok_ = nullptr;
};

}  // namespace Presentation
