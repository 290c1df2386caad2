// Measures the transfer job as the program runs it.
//
//   download_bench fetch URL OUT          one installer with progress records,
//                                         consumed by a receiver thread
//   download_bench plain URL OUT          the same without records
//   download_bench check BASE OUTDIR N    the update check: N manifests
//                                         BASE/p<i>/ver.txt, no records
//
// Prints "seconds=S bytes=B records=R peak_rss_kib=K" on one line.

#include <sys/resource.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "download/TransferJob.h"

namespace {

// Hands records to another thread the way the progress screen takes them:
// start and finished records wake the receiver at once, progress records at
// most every 20 ms, and the receiver also looks every 30 ms; it takes
// everything queued at once, in order.
class QueueSink : public Data::DownloadMsgSink {
  public:
    void Post(std::unique_ptr<Data::DownloadMsg> msg) override {
        const bool progress = msg->kind == Data::kProgressKind;
        bool wake = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(std::move(msg));
            const auto now = std::chrono::steady_clock::now();
            if (sleeping_ && (!progress || now - lastWake_ >= std::chrono::milliseconds(20))) {
                wake = true;
                lastWake_ = now;
            }
        }
        if (wake) cv_.notify_one();
    }

    // Receiver loop: handles records until the finished record or Close().
    void Receive() {
        std::deque<std::unique_ptr<Data::DownloadMsg>> batch;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                sleeping_ = true;
                cv_.wait_for(lock, std::chrono::milliseconds(30),
                             [this] { return !queue_.empty() || closed_; });
                sleeping_ = false;
                if (queue_.empty()) {
                    if (closed_) return;
                    continue;
                }
                batch.swap(queue_);
            }
            for (auto& msg : batch) {
                ++records_;
                if (auto* progress = dynamic_cast<Data::InProgressDownloadMsg*>(msg.get()))
                    bytes_ += progress->chunkBytes;
                if (msg->kind == Data::kFinishedKind) return;
            }
            batch.clear();
        }
    }

    void Close() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
        }
        cv_.notify_one();
    }

    long long Bytes() const { return bytes_; }
    long long Records() const { return records_; }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::unique_ptr<Data::DownloadMsg>> queue_;
    bool sleeping_ = false;
    std::chrono::steady_clock::time_point lastWake_;
    bool closed_ = false;
    long long bytes_ = 0;
    long long records_ = 0;
};

long PeakRssKib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

int Usage() {
    std::fprintf(
        stderr, "usage: download_bench fetch|plain URL OUT | download_bench check BASE OUTDIR N\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return Usage();
    const std::string mode = argv[1];
    Data::DownloadList list;
    Transfer::DownloadWorker worker;
    worker.list = &list;
    QueueSink sink;

    if (mode == "fetch" || mode == "plain") {
        list.AppendItem({argv[2], argv[3], "US", "", "", 0, 1, 2007});
        worker.notify = mode == "fetch";
        worker.sink = &sink;
    } else if (mode == "check" && argc >= 5) {
        const std::string base = argv[2], outDir = argv[3];
        const int count = std::stoi(argv[4]);
        for (int i = 0; i < count; ++i) {
            const std::string name = "p" + std::to_string(i);
            list.AppendItem({base + "/" + name + "/ver.txt", outDir + "/" + name + "/ver.txt", name,
                             "", "", 0, 1, 2007});
        }
    } else {
        return Usage();
    }

    const auto start = std::chrono::steady_clock::now();
    std::thread receiver;
    if (worker.notify) receiver = std::thread([&] { sink.Receive(); });
    const bool ok = Transfer::RunList(worker);
    sink.Close();
    if (receiver.joinable()) receiver.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    long long bytes = sink.Bytes();
    if (mode != "fetch") {
        for (int i = 0; i < list.Count(); ++i) {
            std::error_code ec;
            auto size = std::filesystem::file_size(list.Item(i).localPath, ec);
            if (!ec) bytes += static_cast<long long>(size);
        }
    }
    std::printf("seconds=%.4f bytes=%lld records=%lld peak_rss_kib=%ld\n", seconds, bytes,
                sink.Records(), PeakRssKib());
    return ok ? 0 : 1;
}
