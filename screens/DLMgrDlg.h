#pragma once
// The download progress screen: builds the download list of the chosen
// updates, starts the download worker and follows its records (product name,
// bar, bytes, rate) until the finished record (1) or Cancel (2).

#include <QObject>
#include <cstdint>
#include <memory>
#include <string>

#include "data/DownloadList.h"
#include "data/Manifest.h"
#include "download/DownloadMsg.h"
#include "screens/ScreenFrame.h"

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

class DLMgrDlg : public ScreenFrame {
    Q_OBJECT
  public:
    DLMgrDlg(const Data::EntryList& entries, int edition, const std::string& prom,
             const std::string& camp, QWidget* parent = nullptr);
    ~DLMgrDlg() override;

    const Data::DownloadList& List() const { return *list_; }
    const RateTracker& Tracker() const { return tracker_; }
    bool WorkerStarted() const;
    // Shortens the worker's stall limit (tests); before the screen is shown.
    void SetStallLimit(long seconds) { stallSeconds_ = seconds; }

    // One record of the worker, on the UI thread, in posting order.
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
    long stallSeconds_ = 30;
    RecordReceiver* receiver_ = nullptr;
    std::shared_ptr<RecordSink> sink_;
};

}  // namespace Presentation
