#include "download/WorkerThread.h"

#include <chrono>

namespace Transfer {
using namespace Data;

WorkerThread::WorkerThread(std::shared_ptr<const DownloadList> list,
                           std::shared_ptr<DownloadMsgSink> sink, long lowSpeedTimeSeconds)
    : list_(std::move(list)), sink_(std::move(sink)), worker_(std::make_shared<DownloadWorker>()) {
    worker_->list = list_.get();
    worker_->notify = true;
    worker_->sink = sink_.get();
    worker_->lowSpeedTimeSeconds = lowSpeedTimeSeconds;
}

WorkerThread::~WorkerThread() {
    RequestCancel();
    if (thread_.joinable()) thread_.join();
}

void WorkerThread::Start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (started_) return;
    started_ = true;
    // The thread holds its own references, so the list, the sink and the
    // worker's state stay alive for as long as it runs.
    thread_ = std::thread([this, list = list_, sink = sink_, worker = worker_] {
        if (list) RunList(*worker);
        std::lock_guard<std::mutex> done(mutex_);
        finished_ = true;
        done_cv_.notify_all();
    });
}

void WorkerThread::RequestCancel() { worker_->cancelRequested.store(true); }

bool WorkerThread::Started() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return started_;
}

bool WorkerThread::Finished() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return finished_;
}

bool WorkerThread::WaitFor(int timeoutMs) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!started_) return false;
        auto done = [this] { return finished_; };
        if (timeoutMs < 0) {
            done_cv_.wait(lock, done);  // no limit
        } else if (!done_cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), done)) {
            return false;
        }
    }
    if (thread_.joinable()) thread_.join();
    return true;
}

}  // namespace Transfer
