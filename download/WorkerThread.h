#pragma once
// The download worker thread: runs RunList with progress records on over a
// list it co-owns, so it may safely outlive the screen that started it.

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "data/DownloadList.h"
#include "download/DownloadMsg.h"
#include "download/TransferJob.h"

namespace Transfer {

class WorkerThread {
  public:
    WorkerThread(std::shared_ptr<const Data::DownloadList> list,
                 std::shared_ptr<Data::DownloadMsgSink> sink, long lowSpeedTimeSeconds = 30);
    // Requests cancel and joins.
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    void Start();          // once; later calls do nothing
    void RequestCancel();  // sticky; the transfer stops at its next chunk or progress poll
    bool Started() const;
    bool Finished() const;  // RunList has returned
    // Waits up to timeoutMs for RunList to return (joins then); true when it has.
    bool WaitFor(int timeoutMs);

  private:
    std::shared_ptr<const Data::DownloadList> list_;
    std::shared_ptr<Data::DownloadMsgSink> sink_;
    std::shared_ptr<DownloadWorker> worker_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable done_cv_;
    bool started_ = false;
    bool finished_ = false;
};

}  // namespace Transfer
