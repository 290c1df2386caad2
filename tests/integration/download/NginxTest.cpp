// The transfer job against nginx, the static server a publisher runs:
// manifests, resume with nginx's own 206 answers, resume across a changed
// file (nginx's ETag and If-Range), and missing files.

#include <curl/curl.h>
#include <unistd.h>

#include "download/ResumeValidator.h"
#include "tests/integration/download/Fixture.h"

namespace DownloadTest {
namespace {

constexpr const char* kManifest = "Product=US\nYEAR=2007\nVERSION=4\nSIZE=300000\nMESSAGE=hi\n";

bool NginxInstalled() {
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/sbin:/usr/local/sbin:/sbin";
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t end = path.find(':', pos);
        if (end == std::string::npos) end = path.size();
        if (end > pos && access((path.substr(pos, end - pos) + "/nginx").c_str(), X_OK) == 0)
            return true;
        pos = end + 1;
    }
    return false;
}

// nginx started by tests/support/nginx_server.py, which answers like
// tessra-update-server: "listening on PORT", a JSON request log, SIGTERM stops it.
class NginxTest : public TransferFixture {
  protected:
    void SetUp() override {
        if (!NginxInstalled()) GTEST_SKIP() << "nginx is not installed (make deps installs it)";
        TransferFixture::SetUp();
    }
    ServerTest::ServerProcess& StartNginx() {
        logFile = root / "access.log";
        servers.push_back(std::make_unique<ServerTest::ServerProcess>(
            std::vector<std::string>{NGINX_SERVER_SCRIPT, "--root", root.Path(), "--log", logFile},
            PYTHON_EXECUTABLE));
        auto& server = *servers.back();
        EXPECT_TRUE(server.Start(std::chrono::seconds(60))) << server.Error();
        return server;
    }
    bool RunWithRecords(const Data::DownloadList& list, RecordingSink& sink) {
        Transfer::DownloadWorker worker;
        worker.list = &list;
        worker.notify = true;
        worker.sink = &sink;
        return Transfer::RunList(worker);
    }
};

TEST_F(NginxTest, ManifestsAreFetchedWholeWithTheUserAgent) {
    WriteFile(root / "updates/2007/win/us/3/ver.txt", kManifest);
    WriteFile(root / "updates/2007/win/ca/2/ver.txt", "<html>Moved</html>\n");
    StartNginx();
    const std::string us = local / "us/ver.txt";
    WriteFile(us, std::string(400, 'x'));  // stale: replaced, never resumed
    Data::DownloadList list;
    list.AppendItem(Item("/updates/2007/win/us/3/ver.txt", us, 0));
    list.SetValue("prom", "P1");
    list.SetValue("camp", "C1");
    EXPECT_TRUE(Run(list));
    EXPECT_EQ(ReadFile(us), kManifest);

    Data::DownloadList implausible;
    implausible.AppendItem(Item("/updates/2007/win/ca/2/ver.txt", local / "ca/ver.txt", 0));
    EXPECT_FALSE(Run(implausible));

    auto requests = RequestsFor("/updates/2007/win/us/3/ver.txt", 1);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0]["range"], "");
    EXPECT_EQ(requests[0]["userAgent"], "TessraSWM P1 C1");
    EXPECT_EQ(requests[0]["status"], 200);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(NginxTest, PartialInstallerResumesByteForByte) {
    const std::string source = RandomBytes(3000000, 7);
    WriteFile(root / "updates/2007/win/us/3/cupd.exe", source);
    StartNginx();
    const std::string path = local / "Update/US34cupd.exe";
    WriteFile(path, source.substr(0, 1000000));
    Data::DownloadList list;
    list.AppendItem(Item("/updates/2007/win/us/3/cupd.exe", path, 3000000));
    RecordingSink sink;
    EXPECT_TRUE(RunWithRecords(list, sink));
    EXPECT_TRUE(ReadFile(path) == source);

    auto requests = RequestsFor("/updates/2007/win/us/3/cupd.exe", 1);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0]["range"], "bytes=1000000-");
    EXPECT_EQ(requests[0]["status"], 206);
    EXPECT_EQ(requests[0]["bytesSent"], 2000000);

    // One record per chunk libcurl hands over, never more than 16384 bytes each.
    long long total = 0;
    size_t chunks = 0;
    for (auto& record : sink.Take()) {
        auto* progress = dynamic_cast<Data::InProgressDownloadMsg*>(record.get());
        if (!progress) continue;
        EXPECT_GT(progress->chunkBytes, 0);
        EXPECT_LE(progress->chunkBytes, 16384);
        total += progress->chunkBytes;
        ++chunks;
    }
    EXPECT_EQ(total, 2000000);
    EXPECT_GE(chunks, 2000000u / 16384u);
    EXPECT_TRUE(Messages().empty());
}

// Cancels the worker once `left` bytes have arrived: a run the user stopped.
struct StopAfter : Data::DownloadMsgSink {
    Transfer::DownloadWorker* worker = nullptr;
    long long left = 0;
    void Post(std::unique_ptr<Data::DownloadMsg> msg) override {
        auto* progress = dynamic_cast<Data::InProgressDownloadMsg*>(msg.get());
        if (progress && (left -= progress->chunkBytes) <= 0) worker->cancelRequested = true;
    }
};

TEST_F(NginxTest, ResumeOfAChangedFileStartsAgainWithTheNewFile) {
    const std::string served = root / "updates/2007/win/us/3/cupd.exe";
    const std::string path = local / "Update/US34cupd.exe";
    const std::string older = RandomBytes(3000000, 21), newer = RandomBytes(3000000, 22);
    WriteFile(served, older);
    StartNginx();
    Data::DownloadList list;
    list.AppendItem(Item("/updates/2007/win/us/3/cupd.exe", path, 3000000));

    for (const bool replaced : {false, true}) {
        SCOPED_TRACE(replaced ? "replaced" : "unchanged");
        fs::remove(path);
        StopAfter stop;
        Transfer::DownloadWorker stopped;
        stopped.list = &list;
        stopped.notify = true;
        stopped.sink = &stop;
        stop.worker = &stopped;
        stop.left = 1000000;
        EXPECT_FALSE(Transfer::RunList(stopped));
        const auto present = static_cast<long long>(fs::file_size(path));
        ASSERT_GE(present, 1000000);
        ASSERT_LT(present, 3000000);
        // The validator beside the partial file is the one nginx sent for it.
        CURL* head = curl_easy_init();
        curl_easy_setopt(head, CURLOPT_URL, list.Item(0).url.c_str());
        curl_easy_setopt(head, CURLOPT_NOBODY, 1L);
        ASSERT_EQ(curl_easy_perform(head), CURLE_OK);
        const std::string etag = Transfer::AnswerValidator(head);
        curl_easy_cleanup(head);
        EXPECT_TRUE(etag.starts_with('"')) << etag;
        EXPECT_EQ(Transfer::ReadValidator(path), etag);

        if (replaced) {  // the same size; nginx's ETag also counts whole seconds
            WriteFile(served, newer);
            fs::last_write_time(served, fs::last_write_time(served) - std::chrono::hours(1));
        }
        RecordingSink sink;
        EXPECT_TRUE(RunWithRecords(list, sink));
        EXPECT_TRUE(ReadFile(path) == (replaced ? newer : older));
        EXPECT_FALSE(fs::exists(Transfer::ValidatorPath(path)));
        // Stopped, HEAD and resumed requests of each round, logged as each ends.
        nlohmann::json resumed;
        for (auto& r : RequestsFor("/updates/2007/win/us/3/cupd.exe", replaced ? 6 : 3))
            if (r["range"] == "bytes=" + std::to_string(present) + "-") resumed = r;
        ASSERT_FALSE(resumed.is_null());
        EXPECT_EQ(resumed["status"], replaced ? 200 : 206);
        EXPECT_EQ(resumed["bytesSent"], replaced ? 3000000 : 3000000 - present);
        EXPECT_TRUE(Messages().empty());
    }
}

TEST_F(NginxTest, MissingFilesFailAsProblem22OrSilentlyForText) {
    StartNginx();
    Data::DownloadList manifest;
    manifest.AppendItem(Item("/updates/2007/win/ny/2/ver.txt", local / "ny/ver.txt", 0));
    EXPECT_FALSE(Run(manifest));
    EXPECT_FALSE(fs::exists(local / "ny/ver.txt"));
    EXPECT_TRUE(Messages().empty());

    Data::DownloadList installer;
    installer.AppendItem(Item("/updates/2007/win/ny/2/upd.exe", local / "Update/NY23upd.exe", 5));
    EXPECT_FALSE(Run(installer));
    EXPECT_FALSE(fs::exists(local / "Update/NY23upd.exe"));  // the error page is not written
    auto messages = Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].title, "Problem Detected");
    EXPECT_NE(messages[0].text.find("Problem number (22)"), std::string::npos);
    auto requests = RequestsFor("/updates/2007/win/ny/2/upd.exe", 1);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0]["status"], 404);
}

}  // namespace
}  // namespace DownloadTest
