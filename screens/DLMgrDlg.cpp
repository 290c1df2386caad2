#include "screens/DLMgrDlg.h"

#include <QCoreApplication>
#include <QEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <limits>
#include <mutex>

#include "download/DeltaFetch.h"
#include "download/UpdateAddress.h"
#include "download/WorkerThread.h"
#include "platform/CommandLine.h"
#include "platform/Platform.h"
#include "screens/EntryText.h"
#include "screens/PictureButton.h"

namespace Presentation {

float EstimateLineRate() { return Sys::Current().LanConnected() ? 90000.0f : 7000.0f; }

void RateTracker::Add(int64_t bytes, int64_t nowMs) {
    countedBytes += bytes;
    lastMs = nowMs;
    const double elapsed = static_cast<double>(nowMs - startMs) * 0.001;
    if (elapsed > 1.0) rate = static_cast<float>(static_cast<double>(countedBytes) / elapsed);
}

std::string FormatRate(const RateTracker& tracker) {
    const double kilobytes = static_cast<double>(tracker.rate) * 0.001;
    char text[64];
    if (kilobytes <= 0) return "0.0 KBytes/sec";
    if (kilobytes >= 1000)
        std::snprintf(text, sizeof text, "%.1f MBytes/sec", kilobytes * 0.001);
    else
        std::snprintf(text, sizeof text, "%.1f KBytes/sec", kilobytes);
    return text;
}

int DownloadRecordEventType() {
    // Registered once per process, like the registered window message it stands for.
    static const int type = QEvent::registerEventType();
    return type;
}

namespace {
int64_t FileSize(const std::string& path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? 0 : static_cast<int64_t>(size);
}

int ClampToInt(int64_t value) {
    return static_cast<int>(std::clamp<int64_t>(value, 0, std::numeric_limits<int32_t>::max()));
}
}  // namespace

// Records cross from the worker to the UI thread through this queue, in
// posting order. Waking the UI thread for every 16 KiB chunk would cost the
// transfer more than the screen can show, so progress records wake it at most
// every kWakeInterval (start and finished records at once) and a timer picks
// up what is left.
struct RecordHandoff {
    static constexpr std::chrono::milliseconds kWakeInterval{20};
    std::mutex mutex;
    DownloadRecords queue;
    RecordReceiver* receiver = nullptr;  // null once the screen no longer takes records
    bool wakePosted = false;
    std::chrono::steady_clock::time_point lastWake;
};

// Lives on the UI thread; hands records to the screen while it is open and
// frees them unhandled once it has closed.
class RecordReceiver : public QObject {
  public:
    RecordReceiver(DLMgrDlg* screen, std::shared_ptr<RecordHandoff> handoff)
        : QObject(screen), screen_(screen), handoff_(std::move(handoff)) {
        auto* timer = new QTimer(this);
        timer->setInterval(30);
        connect(timer, &QTimer::timeout, this, [this] { Drain(); });
        timer->start();
    }
    void Close() { screen_ = nullptr; }

    // Handles every record queued so far, in order.
    void Drain() {
        DownloadRecords batch;
        {
            std::lock_guard<std::mutex> lock(handoff_->mutex);
            handoff_->wakePosted = false;
            batch.swap(handoff_->queue);
        }
        if (screen_ && !batch.empty()) screen_->HandleRecords(batch);
    }

    bool event(QEvent* event) override {
        if (event->type() != DownloadRecordEventType()) return QObject::event(event);
        Drain();
        return true;
    }

  private:
    DLMgrDlg* screen_;
    std::shared_ptr<RecordHandoff> handoff_;
};

// Called on the worker thread: queues each record and wakes the receiver.
class RecordSink : public Data::DownloadMsgSink {
  public:
    explicit RecordSink(std::shared_ptr<RecordHandoff> handoff) : handoff_(std::move(handoff)) {}
    void Post(std::unique_ptr<Data::DownloadMsg> record) override {
        std::lock_guard<std::mutex> lock(handoff_->mutex);
        if (!handoff_->receiver) return;  // the record is freed here
        const bool progress = record->kind == Data::kProgressKind;
        handoff_->queue.push_back(std::move(record));
        const auto now = std::chrono::steady_clock::now();
        if (handoff_->wakePosted) return;
        if (progress && now - handoff_->lastWake < RecordHandoff::kWakeInterval) return;
        handoff_->wakePosted = true;
        handoff_->lastWake = now;
        QCoreApplication::postEvent(
            handoff_->receiver, new QEvent(static_cast<QEvent::Type>(DownloadRecordEventType())));
    }
    // Frees what is still queued; later records are freed as they come.
    void Detach() {
        DownloadRecords dropped;
        std::lock_guard<std::mutex> lock(handoff_->mutex);
        handoff_->receiver = nullptr;
        dropped.swap(handoff_->queue);
    }

  private:
    std::shared_ptr<RecordHandoff> handoff_;
};

DLMgrDlg::DLMgrDlg(const Data::EntryList& entries, int /*edition*/, const std::string& prom,
                   const std::string& camp, QWidget* parent)
    : ScreenFrame(parent, 313, 258, Banner::Large),
      entries_(entries),
      list_(std::make_shared<Data::DownloadList>()),
      prom_(prom),
      camp_(camp) {
    AddText(kUpdateHeadingId, "Update Download Progress", Dlu(10, 30, 293, 24))->hide();
    AddText(kStateHeadingId, "State Download Progress", Dlu(10, 30, 293, 24))->hide();
    AddText(kDownloadingId, "Downloading:", Dlu(10, 66, 70, 11));
    product_ = AddText(kProductId, "Program Name", Dlu(82, 66, 220, 11));
    bar_ = new QProgressBar(this);
    bar_->setObjectName(QString::number(kBarId));
    bar_->setGeometry(Dlu(10, 82, 293, 12));
    bar_->setTextVisible(false);
    AddText(kBarLeftId, "0%", Dlu(10, 97, 60, 11));
    AddText(kBarRightId, "100% complete", Dlu(203, 97, 100, 11), Qt::AlignRight | Qt::AlignTop);
    received_ = AddText(kReceivedId, "0", Dlu(10, 116, 46, 11), Qt::AlignRight | Qt::AlignTop);
    AddText(kOfId, "of", Dlu(60, 116, 14, 11), Qt::AlignHCenter | Qt::AlignTop);
    total_ = AddText(kTotalId, "0", Dlu(76, 116, 46, 11));
    AddText(kKilobytesId, "KBytes downloaded", Dlu(124, 116, 120, 11));
    rate_ = AddText(kRateId, "KBytes Per Second", Dlu(10, 132, 200, 11));
    AddText(kEstimateCaptionId, "Estimated total download time:", Dlu(10, 158, 88, 23));
    broadband_ = AddText(kBroadbandId, "Less than 1 minutes on Broadband", Dlu(100, 158, 203, 11));
    dialUp_ = AddText(kDialUpId, "Less than 1 minutes on Dial-up", Dlu(100, 169, 203, 11));
    AddButton(kCancelId, "Cancel", PictureSet::Cancel, 250, 232);
    // Never visible: the finished record enables it and ends the screen through it.
    ok_ = new QPushButton("OK", this);
    ok_->setObjectName(QString::number(kOkId));
    ok_->setGeometry(Dlu(190, 232, 50, 16));
    ok_->hide();
    connect(ok_, &QPushButton::clicked, this, [this] { OnOK(); });

    auto handoff = std::make_shared<RecordHandoff>();
    receiver_ = new RecordReceiver(this, handoff);
    handoff->receiver = receiver_;
    sink_ = std::make_shared<RecordSink>(handoff);
}

DLMgrDlg::~DLMgrDlg() {
    sink_->Detach();
    receiver_->Close();
    if (worker_ && worker_->Started()) {
        // The worker stops at its next chunk. Keep handling events meanwhile: a
        // message box it asks for is shown on this thread.
        worker_->RequestCancel();
        while (!worker_->WaitFor(20)) QCoreApplication::processEvents();
    }
}

Data::DownloadMsgSink& DLMgrDlg::Sink() { return *sink_; }

bool DLMgrDlg::WorkerStarted() const { return worker_ && worker_->Started(); }

bool DLMgrDlg::Initialise() {
    CreateFonts("Verdana", 32, "Arial", 16);
    const bool stateDownload = Sys::HasWord(Sys::Current().CommandLine(), "http");
    const int heading = stateDownload ? kStateHeadingId : kUpdateHeadingId;
    UseHeadingFont({heading});
    ShowControls({heading}, true);
    UseBodyFont({kDownloadingId, kProductId, kBarLeftId, kBarRightId, kEstimateCaptionId, kDialUpId,
                 kBroadbandId, kKilobytesId, kOfId, kRateId, kReceivedId, kTotalId, kOkId});

    totalBytes_ = 0;
    presentBytes_ = 0;
    for (const Data::UpdateEntry* entry : entries_) {
        if (!entry || !Data::OffersUpdate(*entry)) continue;
        Transfer::AddUpdateItem(*list_, *entry, prom_, camp_);
        list_->SetValue("prom", prom_);
        list_->SetValue("camp", camp_);
        // A patch or packed frame counts its own bytes: what will really arrive.
        const Data::DownloadItem& item = list_->Item(list_->Count() - 1);
        const int64_t toFetch = Data::BytesToFetch(*entry);
        totalBytes_ += toFetch;
        presentBytes_ +=
            item.patchUrl.empty() ? FileSize(item.localPath)
            : FileSize(item.localPath) >= entry->size && item.basePath != item.localPath
                ? toFetch
                : FileSize(Transfer::PatchPath(item));
        product_->clear();
    }

    const DownloadEstimate estimate = EstimateDownload(totalBytes_);
    dialUp_->setText(QString::fromStdString(estimate.dialUp));
    broadband_->setText(QString::fromStdString(estimate.broadband));

    QPalette colours = bar_->palette();
    colours.setColor(QPalette::Highlight, QColor(152, 189, 75));
    bar_->setPalette(colours);
    bar_->setRange(0, std::max(ClampToInt(totalBytes_), 1));
    barPosition_ = std::min(presentBytes_, totalBytes_);
    bar_->setValue(ClampToInt(barPosition_));
    // Kilobytes, the unit of the caption and of the rate.
    total_->setText(QString::number(totalBytes_ / 1000));

    tracker_ = RateTracker{};
    tracker_.rate = EstimateLineRate();
    tracker_.countedBytes = presentBytes_;
    tracker_.totalBytes = totalBytes_;
    return true;
}

void DLMgrDlg::showEvent(QShowEvent* event) {
    ScreenFrame::showEvent(event);
    if (!HasEnded()) StartWorker();
}

void DLMgrDlg::StartWorker() {
    if (worker_) return;  // one worker per screen
    ok_->setEnabled(false);
    worker_ = std::make_unique<Transfer::WorkerThread>(list_, sink_, stallSeconds_);
    RestartClock();
    workerRunning_ = true;
    worker_->Start();
    WatchWorker();
}

void DLMgrDlg::WatchWorker() {
    // A worker that ends without its finished record (a failed transfer)
    // leaves the screen waiting for Cancel; the unattended mode needs to know.
    auto* timer = new QTimer(this);
    timer->setInterval(50);
    connect(timer, &QTimer::timeout, this, [this, timer] {
        if (HasEnded()) {
            timer->stop();
            return;
        }
        if (!worker_ || !worker_->Finished()) return;
        timer->stop();
        // Records posted before the worker ended are handled first.
        receiver_->Drain();
        emit workerEnded(finishedRecord_);
    });
    timer->start();
}

void DLMgrDlg::RestartClock() { tracker_.startMs = tracker_.lastMs = NowMs(); }

int64_t DLMgrDlg::NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void DLMgrDlg::HandleRecord(std::unique_ptr<Data::DownloadMsg> record) {
    DownloadRecords batch;
    batch.push_back(std::move(record));
    HandleRecords(batch);
}

void DLMgrDlg::HandleRecords(DownloadRecords& records) {
    // One clock reading per batch: its records have all arrived by now.
    const int64_t now = NowMs();
    for (auto& record : records) {
        if (HasEnded()) break;
        if (record) Handle(*record, now);
        record.reset();
    }
    if (!HasEnded()) ShowProgress();
    records.clear();
}

void DLMgrDlg::Handle(const Data::DownloadMsg& record, int64_t nowMs) {
    switch (record.kind) {
        case Data::kStartKind:
            // The counters shown so far belong to the product before.
            ShowProgress();
            NextProductName();
            break;
        case Data::kProgressKind: {
            auto* progress = dynamic_cast<const Data::InProgressDownloadMsg*>(&record);
            if (!progress) break;
            barPosition_ = std::clamp<int64_t>(barPosition_ + progress->chunkBytes, 0, totalBytes_);
            tracker_.Add(progress->chunkBytes, nowMs);
            arrivedBytes_ += progress->chunkBytes;
            progressUnshown_ = true;
            break;
        }
        case Data::kFinishedKind:
            ShowProgress();
            finishedRecord_ = true;
            workerRunning_ = false;
            ok_->setEnabled(true);
            ok_->setFocus();
            ok_->setText("Install");
            done(1);
            break;
        default:
            break;
    }
}

void DLMgrDlg::ShowProgress() {
    if (!progressUnshown_) return;
    progressUnshown_ = false;
    bar_->setValue(ClampToInt(barPosition_));
    received_->setText(QString::number(barPosition_ / 1000));
    rate_->setText(QString::fromStdString(FormatRate(tracker_)));
    emit bytesArrived(arrivedBytes_);
}

void DLMgrDlg::NextProductName() {
    QLabel* label = product_;
    std::vector<std::string> names;
    for (const Data::UpdateEntry* entry : entries_)
        names.push_back(entry ? DisplayName(*entry) : std::string());
    if (names.empty()) return;
    const std::string current = label->text().toStdString();
    if (current.empty()) {
        label->setText(QString::fromStdString(names.front()));
        return;
    }
    size_t i = 0;
    while (i < names.size() && names[i] != current) ++i;
    if (i == names.size()) return;
    while (i < names.size() && names[i] == current) ++i;
    if (i < names.size()) label->setText(QString::fromStdString(names[i]));
}

void DLMgrDlg::OnOK() { done(1); }

void DLMgrDlg::OnCancel() {
    // No confirmation here; the worker stops at its next chunk and is not waited for.
    if (worker_ && workerRunning_) worker_->RequestCancel();
    done(2);
}

void DLMgrDlg::OnEnding(int) {
    // Records that still arrive are freed without being handled.
    receiver_->Close();
    sink_->Detach();
}

}  // namespace Presentation
