// Measures the transfer job as the program runs it.
//
//   download_bench fetch URL OUT          one installer with progress records,
//                                         consumed by a receiver thread
//   download_bench plain URL OUT          the same without records
//   download_bench check BASE OUTDIR N    the update check: N manifests
//                                         BASE/p<i>/ver.txt, no records
//   download_bench check-serial BASE OUTDIR N
//                                         the same one by one, as a list with
//                                         progress records is fetched
//   download_bench load BASE OUTDIR CLIENTS SECONDS N
//                                         CLIENTS copies checking at once, again
//                                         and again for SECONDS: each check is
//                                         one RunList over N manifests
//
// Prints "seconds=S bytes=B records=R peak_rss_kib=K" on one line; load prints
// "clients=C checks=K failures=F seconds=S checks_per_s=X p50_ms=M p99_ms=M".

#include <curl/curl.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
        stderr,
        "usage: download_bench fetch|plain URL OUT | download_bench check|check-serial BASE"
        " OUTDIR N |"
        " download_bench load BASE OUTDIR CLIENTS SECONDS N\n");
    return 2;
}

// The update check of one installed copy: N manifests over one handle.
Data::DownloadList CheckList(const std::string& base, const std::string& outDir, int count) {
    Data::DownloadList list;
    for (int i = 0; i < count; ++i) {
        const std::string name = "p" + std::to_string(i);
        list.AppendItem({base + "/" + name + "/ver.txt", outDir + "/" + name + "/ver.txt", name, "",
                         "", 0, 1, 2007, "", "", 0, ""});
    }
    list.SetValue("prom", "BENCH");
    list.SetValue("camp", "LOAD");
    return list;
}

// Many copies checking at once: each client thread runs checks back to back
// until the time is up; every check must succeed.
int Load(const std::string& base, const std::string& outDir, int clients, double seconds,
         int manifests) {
    curl_global_init(CURL_GLOBAL_ALL);  // once, before the threads
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::atomic<long> failures{0};
    std::vector<std::vector<double>> latencies(static_cast<size_t>(clients));
    std::vector<std::thread> threads;
    std::chrono::steady_clock::time_point start, end;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            const auto list = CheckList(base, outDir + "/c" + std::to_string(c), manifests);
            ++ready;
            while (!go.load()) std::this_thread::yield();
            while (std::chrono::steady_clock::now() < end) {
                const auto t0 = std::chrono::steady_clock::now();
                Transfer::DownloadWorker worker;
                worker.list = &list;
                if (!Transfer::RunList(worker)) ++failures;
                latencies[static_cast<size_t>(c)].push_back(
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                        .count());
            }
        });
    }
    while (ready.load() < clients) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    start = std::chrono::steady_clock::now();
    end = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                      std::chrono::duration<double>(seconds));
    go = true;
    for (auto& t : threads) t.join();
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::vector<double> all;
    for (auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
    std::sort(all.begin(), all.end());
    auto at = [&](double q) {
        return all.empty() ? 0.0
                           : all[std::min(all.size() - 1, static_cast<size_t>(q * all.size()))];
    };
    std::printf(
        "clients=%d checks=%zu failures=%ld seconds=%.3f checks_per_s=%.1f p50_ms=%.1f "
        "p99_ms=%.1f\n",
        clients, all.size(), failures.load(), elapsed, static_cast<double>(all.size()) / elapsed,
        at(0.5), at(0.99));
    return failures.load() == 0 && !all.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return Usage();
    const std::string mode = argv[1];
    if (mode == "load") {
        if (argc < 7) return Usage();
        return Load(argv[2], argv[3], std::stoi(argv[4]), std::stod(argv[5]), std::stoi(argv[6]));
    }
    Data::DownloadList list;
    Transfer::DownloadWorker worker;
    worker.list = &list;
    QueueSink sink;

    if (mode == "fetch" || mode == "plain") {
        list.AppendItem({argv[2], argv[3], "US", "", "", 0, 1, 2007, "", "", 0, ""});
        worker.notify = mode == "fetch";
        worker.sink = &sink;
    } else if ((mode == "check" || mode == "check-serial") && argc >= 5) {
        // Progress records on, but nobody to take them: only the order changes.
        worker.notify = mode == "check-serial";
        const std::string base = argv[2], outDir = argv[3];
        const int count = std::stoi(argv[4]);
        for (int i = 0; i < count; ++i) {
            const std::string name = "p" + std::to_string(i);
            list.AppendItem({base + "/" + name + "/ver.txt", outDir + "/" + name + "/ver.txt", name,
                             "", "", 0, 1, 2007, "", "", 0, ""});
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
