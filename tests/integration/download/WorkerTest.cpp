// The download worker thread: its records in posting order, a failed item,
// and cancel mid-file and during a stall.

#include "download/WorkerThread.h"
#include "tests/integration/download/Fixture.h"

namespace DownloadTest {
namespace {

using Records = std::vector<std::unique_ptr<Data::DownloadMsg>>;

class WorkerTest : public TransferFixture {
  protected:
    // Runs the worker over the list to its end.
    Records RunWorker(std::shared_ptr<const Data::DownloadList> list) {
        auto sink = std::make_shared<RecordingSink>();
        Transfer::WorkerThread worker(std::move(list), sink);
        worker.Start();
        EXPECT_TRUE(worker.WaitFor(60000));
        EXPECT_TRUE(worker.Finished());
        return sink->Take();
    }
};

// Checks one item's part of the records: its start record, then progress
// records of at most 16384 bytes adding up to `bytes`. Returns the index after them.
size_t ExpectItemRecords(const Records& records, size_t at, const std::string& path,
                         int32_t present, int32_t expected, long long bytes) {
    EXPECT_LT(at, records.size());
    if (at >= records.size()) return at;
    auto* start = dynamic_cast<Data::StartDownloadMsg*>(records[at].get());
    EXPECT_NE(start, nullptr) << "kind " << records[at]->kind;
    if (!start) return at + 1;
    EXPECT_EQ(start->kind, Data::kStartKind);
    EXPECT_EQ(start->text, path);
    EXPECT_EQ(start->presentBytes, present);
    EXPECT_EQ(start->expectedBytes, expected);
    long long sum = 0;
    size_t i = at + 1;
    for (; i < records.size() && records[i]->kind == Data::kProgressKind; ++i) {
        auto* progress = dynamic_cast<Data::InProgressDownloadMsg*>(records[i].get());
        EXPECT_NE(progress, nullptr);
        if (!progress) continue;
        EXPECT_GT(progress->chunkBytes, 0);
        EXPECT_LE(progress->chunkBytes, 16384);
        EXPECT_EQ(progress->text, path);
        sum += progress->chunkBytes;
    }
    EXPECT_EQ(sum, bytes) << path;
    return i;
}

int CountFinished(const Records& records) {
    int n = 0;
    for (auto& r : records) n += r->kind == Data::kFinishedKind;
    return n;
}

TEST_F(WorkerTest, RecordsArriveInPostingOrder) {
    const std::string first = RandomBytes(70000, 21), second = RandomBytes(40000, 22);
    WriteFile(root / "us/cupd.exe", first);
    WriteFile(root / "ca/upd.exe", second);
    StartServer();
    WriteFile(local / "CA12cupd.exe", second.substr(0, 10000));

    auto list = std::make_shared<Data::DownloadList>();
    list->AppendItem(Item("/us/cupd.exe", local / "US34cupd.exe", 70000));
    list->AppendItem(Item("/ca/upd.exe", local / "CA12cupd.exe", 40000));
    Records records = RunWorker(list);

    size_t at = ExpectItemRecords(records, 0, local / "US34cupd.exe", 0, 70000, 70000);
    at = ExpectItemRecords(records, at, local / "CA12cupd.exe", 10000, 40000, 30000);
    ASSERT_EQ(at + 1, records.size());
    EXPECT_EQ(records[at]->kind, Data::kFinishedKind);
    EXPECT_EQ(records[at]->text, "");
    EXPECT_TRUE(ReadFile(local / "US34cupd.exe") == first);
    EXPECT_TRUE(ReadFile(local / "CA12cupd.exe") == second);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(WorkerTest, FailedItemEndsTheRecordsWithoutFinishedRecord) {
    WriteFile(root / "a.exe", RandomBytes(3000, 23));
    WriteFile(root / "c.exe", RandomBytes(3000, 24));
    StartServer({"--status", "/b.exe=404"});
    auto list = std::make_shared<Data::DownloadList>();
    list->AppendItem(Item("/a.exe", local / "a.exe", 3000));
    list->AppendItem(Item("/b.exe", local / "b.exe", 3000));
    list->AppendItem(Item("/c.exe", local / "c.exe", 3000));
    Records records = RunWorker(list);

    size_t at = ExpectItemRecords(records, 0, local / "a.exe", 0, 3000, 3000);
    at = ExpectItemRecords(records, at, local / "b.exe", 0, 3000, 0);
    EXPECT_EQ(at, records.size());
    EXPECT_EQ(CountFinished(records), 0);
    EXPECT_FALSE(fs::exists(local / "c.exe"));
    auto messages = Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].text.find("Problem number (22)"), std::string::npos);
}

TEST_F(WorkerTest, NoListEndsAtOnceAndEmptyListPostsOnlyTheFinishedRecord) {
    auto sink = std::make_shared<RecordingSink>();
    {
        Transfer::WorkerThread worker(nullptr, sink);
        EXPECT_FALSE(worker.Started());
        worker.Start();
        EXPECT_TRUE(worker.Started());
        EXPECT_TRUE(worker.WaitFor(10000));
    }
    EXPECT_TRUE(sink->Take().empty());
    Records records = RunWorker(std::make_shared<Data::DownloadList>());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]->kind, Data::kFinishedKind);
}

TEST_F(WorkerTest, CancelMidFileKeepsThePartAndTheNextRunResumesIt) {
    const std::string source = RandomBytes(2000000, 25);
    WriteFile(root / "big/cupd.exe", source);
    StartServer({"--throttle", "200000"});  // about 10 s for the whole file
    const std::string path = local / "Update/US34cupd.exe";
    auto list = std::make_shared<Data::DownloadList>();
    list->AppendItem(Item("/big/cupd.exe", path, 2000000));

    auto sink = std::make_shared<RecordingSink>();
    {
        Transfer::WorkerThread worker(list, sink);
        worker.Start();
        ASSERT_TRUE(sink->WaitForProgress(30000, std::chrono::seconds(20)));
        worker.RequestCancel();
        EXPECT_TRUE(worker.WaitFor(10000));
    }
    Records records = sink->Take();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(CountFinished(records), 1);
    EXPECT_EQ(records.back()->kind, Data::kFinishedKind);
    EXPECT_TRUE(Messages().empty());
    const auto kept = fs::file_size(path);
    EXPECT_GE(kept, 30000u);
    EXPECT_LT(kept, 2000000u);
    EXPECT_TRUE(ReadFile(path) == source.substr(0, kept));

    // The next run, from a server at full speed, asks for the rest.
    StartServer();
    auto resumed = std::make_shared<Data::DownloadList>();
    resumed->AppendItem(Item("/big/cupd.exe", path, 2000000));
    records = RunWorker(resumed);
    size_t at = ExpectItemRecords(records, 0, path, static_cast<int32_t>(kept), 2000000,
                                  2000000 - static_cast<long long>(kept));
    EXPECT_EQ(at + 1, records.size());
    EXPECT_TRUE(ReadFile(path) == source);
    auto requests = RequestsFor("/big/cupd.exe", 1);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0]["range"], "bytes=" + std::to_string(kept) + "-");
    EXPECT_TRUE(Messages().empty());
}

TEST_F(WorkerTest, CancelStopsAStalledTransferWithoutWaitingForTheStallLimit) {
    WriteFile(root / "upd.exe", RandomBytes(500000, 26));
    StartServer({"--stall-after", "30000"});
    auto list = std::make_shared<Data::DownloadList>();
    list->AppendItem(Item("/upd.exe", local / "upd.exe", 500000));
    auto sink = std::make_shared<RecordingSink>();
    Transfer::WorkerThread worker(list, sink, 30);
    worker.Start();
    ASSERT_TRUE(sink->WaitForProgress(30000, std::chrono::seconds(20)));
    worker.RequestCancel();
    // No byte arrives any more, so only the progress poll can see the cancel;
    // the stall limit alone would take 30 s.
    EXPECT_TRUE(worker.WaitFor(10000));
    Records records = sink->Take();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(CountFinished(records), 1);
    EXPECT_EQ(records.back()->kind, Data::kFinishedKind);
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(fs::file_size(local / "upd.exe"), 30000u);
}

TEST_F(WorkerTest, WorkerOutlivesTheListAndSinkReferencesOfItsCreator) {
    WriteFile(root / "upd.exe", RandomBytes(1000000, 27));
    StartServer({"--throttle", "200000"});
    auto list = std::make_shared<Data::DownloadList>();
    list->AppendItem(Item("/upd.exe", local / "upd.exe", 1000000));
    auto sink = std::make_shared<RecordingSink>();
    std::weak_ptr<RecordingSink> watch = sink;
    auto worker = std::make_unique<Transfer::WorkerThread>(std::move(list), sink);
    worker->Start();
    ASSERT_TRUE(sink->WaitForProgress(1, std::chrono::seconds(20)));
    sink.reset();  // the screen is gone; the worker keeps what it uses
    EXPECT_FALSE(watch.expired());
    worker.reset();  // cancels and joins
    EXPECT_TRUE(watch.expired());
    EXPECT_TRUE(Messages().empty());
    EXPECT_LT(fs::file_size(local / "upd.exe"), 1000000u);
}

}  // namespace
}  // namespace DownloadTest
