// The transfer job against the update server: whole manifests, resume,
// completion, failures and their problem numbers, the User-Agent.

#include <httplib.h>
#include <zlib.h>

#include <climits>
#include <thread>
#include <tuple>

#include "download/InstallerCheck.h"
#include "download/KnownDigest.h"
#include "download/ResumeValidator.h"
#include "tests/integration/download/Fixture.h"
#include "tests/support/TestSigning.h"

namespace DownloadTest {
namespace {

using TransferJobTest = TransferFixture;

constexpr const char* kManifest = "Product=US\nYEAR=2007\nVERSION=4\nSIZE=300000\nMESSAGE=hi\n";

bool HasProblem(const std::vector<Sys::FakePlatform::Message>& messages, int number) {
    const std::string wanted = "Problem number (" + std::to_string(number) + ")";
    for (auto& m : messages)
        if (m.title == "Problem Detected" && m.text.find(wanted) != std::string::npos &&
            m.icon == Sys::MessageIcon::Exclamation)
            return true;
    return false;
}

TEST_F(TransferJobTest, ManifestsAreFetchedWholeAndMustNameTheProduct) {
    WriteFile(root / "updates/2007/win/us/3/ver.txt", kManifest);
    WriteFile(root / "updates/2007/win/ca/2/ver.txt", "<html>Moved</html>\nProduct=CA\n");
    StartServer();

    // A stale, longer manifest on disk is replaced, not resumed; its folder is created.
    const std::string us = local / "req/us/ver.txt";
    WriteFile(us, std::string(400, 'x'));
    Data::DownloadList good;
    good.AppendItem(Item("/updates/2007/win/us/3/ver.txt", us, 0));
    good.AppendItem(Item("/updates/2007/win/us/3/ver.txt", local / "new/folder/ver.txt", 0));
    EXPECT_TRUE(Run(good));
    EXPECT_EQ(ReadFile(us), kManifest);
    EXPECT_EQ(ReadFile(local / "new/folder/ver.txt"), kManifest);
    auto requests = RequestsFor("/updates/2007/win/us/3/ver.txt", 2);
    ASSERT_EQ(requests.size(), 2u);
    for (auto& r : requests) EXPECT_TRUE(r["range"].is_null()) << r.dump();

    // A first line without "roduct" and a missing manifest fail silently.
    Data::DownloadList implausible;
    implausible.AppendItem(Item("/updates/2007/win/ca/2/ver.txt", local / "ca/ver.txt", 0));
    EXPECT_FALSE(Run(implausible));
    Data::DownloadList missing;
    missing.AppendItem(Item("/updates/2007/win/ny/2/ver.txt", local / "ny/ver.txt", 0));
    EXPECT_FALSE(Run(missing));
    EXPECT_FALSE(fs::exists(local / "ny/ver.txt"));  // the error page is not written
    EXPECT_TRUE(Messages().empty());
}

TEST_F(TransferJobTest, PathWithTxtButNotDotTxtIsFetchedWholeAndNotChecked) {
    const std::string source = RandomBytes(20000, 10);
    WriteFile(root / "data.bin", source);
    StartServer();
    const std::string path = local / "txtdata.bin";
    WriteFile(path, source.substr(0, 5000));  // would be resumed if it were not "txt"
    Data::DownloadList list;
    list.AppendItem(Item("/data.bin", path, 20000));
    EXPECT_TRUE(Run(list));
    EXPECT_TRUE(ReadFile(path) == source);
    auto requests = RequestsFor("/data.bin", 1);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(requests[0]["range"].is_null());
}

TEST_F(TransferJobTest, PartialInstallerResumesFromItsSize) {
    const std::string source = RandomBytes(300000, 1);
    WriteFile(root / "upd/cupd.exe", source);
    StartServer();
    const std::string path = local / "Update/US34cupd.exe";
    WriteFile(path, source.substr(0, 100000));

    Data::DownloadList list;
    list.AppendItem(Item("/upd/cupd.exe", path, 300000));
    EXPECT_TRUE(Run(list));
    EXPECT_TRUE(ReadFile(path) == source);
    auto requests = RequestsFor("/upd/cupd.exe", 1);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0]["range"], "bytes=100000-");
    EXPECT_EQ(requests[0]["status"], 206);
    EXPECT_EQ(requests[0]["bytesSent"], 200000);
    EXPECT_TRUE(Messages().empty());

    // With an unknown size a partial file is resumed the same way.
    const std::string other = local / "Update/CA12cupd.exe";
    WriteFile(other, source.substr(0, 1000));
    Data::DownloadList unknown;
    unknown.AppendItem(Item("/upd/cupd.exe", other, 0));
    EXPECT_TRUE(Run(unknown));
    EXPECT_TRUE(ReadFile(other) == source);
    requests = RequestsFor("/upd/cupd.exe", 2);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1]["range"], "bytes=1000-");
}

TEST_F(TransferJobTest, AResumedInstallerIsHashedAsItArrivesAndRecheckedOnceChanged) {
    const std::string source = RandomBytes(300000, 2);
    WriteFile(root / "upd/cupd.exe", source);
    StartServer();
    const std::string path = local / "Update/US34cupd.exe";
    WriteFile(path, source.substr(0, 120000));
    Data::DownloadList list;
    Data::DownloadItem item = Item("/upd/cupd.exe", path, 300000);
    item.sha256 = TestSupport::Sha256Hex(source);
    list.AppendItem(item);
    ASSERT_TRUE(Run(list));
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(Transfer::KnownDigest(path, st), item.sha256);  // the part on disk counted too
    EXPECT_TRUE(Transfer::VerifyInstaller(path, {300000, item.sha256}, true).Ok());
    // Written again since: the digest is no longer known and the bytes are read.
    WriteFile(path, source.substr(0, 299999) + "x");
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(Transfer::KnownDigest(path, st), std::nullopt);
    EXPECT_EQ(Transfer::VerifyInstaller(path, {300000, item.sha256}, true).cause,
              Transfer::InstallerCause::HashMismatch);
}

TEST_F(TransferJobTest, CompleteFilesAreNotFetched) {
    WriteFile(root / "upd/cupd.exe", RandomBytes(5000, 2));
    WriteFile(root / "sentinel.txt", kManifest);
    StartServer();
    WriteFile(local / "done.exe", std::string(5000, 'a'));
    WriteFile(local / "more.exe", std::string(6000, 'b'));

    Data::DownloadList list;
    list.AppendItem(Item("/upd/cupd.exe", local / "done.exe", 5000));
    list.AppendItem(Item("/upd/cupd.exe", local / "more.exe", 5000));
    EXPECT_TRUE(Run(list));
    EXPECT_EQ(ReadFile(local / "done.exe"), std::string(5000, 'a'));

    // Any request of the run would be logged before this one.
    Data::DownloadList sentinel;
    sentinel.AppendItem(Item("/sentinel.txt", local / "sentinel.txt", 0));
    EXPECT_TRUE(Run(sentinel));
    auto log = Log(1);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0]["path"], "/sentinel.txt");
}

TEST_F(TransferJobTest, UnknownOrNegativeSizeAlwaysFetches) {
    const std::string source = RandomBytes(7000, 3);
    WriteFile(root / "upd/upd.exe", source);
    StartServer();
    Data::DownloadList list;
    list.AppendItem(Item("/upd/upd.exe", local / "unknown.exe", 0));
    list.AppendItem(Item("/upd/upd.exe", local / "negative.exe", -1));
    EXPECT_TRUE(Run(list));
    EXPECT_TRUE(ReadFile(local / "unknown.exe") == source);
    EXPECT_TRUE(ReadFile(local / "negative.exe") == source);
}

TEST_F(TransferJobTest, MissingInstallerShowsProblem22AndStopsTheList) {
    WriteFile(root / "a.exe", RandomBytes(3000, 4));
    WriteFile(root / "c.exe", RandomBytes(3000, 5));
    StartServer({"--status", "/b.exe=404"});
    Data::DownloadList list;
    list.AppendItem(Item("/a.exe", local / "a.exe", 3000));
    list.AppendItem(Item("/b.exe", local / "b.exe", 3000));
    list.AppendItem(Item("/c.exe", local / "c.exe", 3000));
    EXPECT_FALSE(Run(list));

    EXPECT_TRUE(fs::exists(local / "a.exe"));
    EXPECT_FALSE(fs::exists(local / "b.exe"));  // no error page in the installer
    EXPECT_FALSE(fs::exists(local / "c.exe"));
    auto messages = Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(HasProblem(messages, 22)) << messages[0].text;
    EXPECT_NE(messages[0].text.find("www.tessra.example/update."), std::string::npos);
    auto log = Log(2);
    EXPECT_EQ(log.size(), 2u);
    EXPECT_TRUE(RequestsFor("/c.exe").empty());
}

// A server without ranges answers a resume with the whole file: written
// from its first byte in the same transfer, with no message.
TEST_F(TransferJobTest, IgnoredRangeRestartsThePartialFileInTheSameTransfer) {
    const std::string source = RandomBytes(50000, 6);
    WriteFile(root / "upd.exe", source);
    StartServer({"--ignore-range"});
    WriteFile(local / "upd.exe", RandomBytes(1234, 60));  // not even the server's bytes

    Data::DownloadList list;
    list.AppendItem(Item("/upd.exe", local / "upd.exe", 50000));
    EXPECT_TRUE(Run(list));
    EXPECT_TRUE(ReadFile(local / "upd.exe") == source);
    EXPECT_TRUE(Messages().empty());
    auto requests = RequestsFor("/upd.exe", 1);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0]["range"], "bytes=1234-");
    EXPECT_EQ(requests[0]["status"], 200);
    EXPECT_FALSE(fs::exists(Transfer::ValidatorPath(local / "upd.exe")));
}

std::string Gzip(const std::string& data) {
    z_stream z{};
    std::string out(data.size() + 1024, '\0');
    EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Resumes that cannot go on where the file ends: a server whose file is
// shorter than the manifest's, one that sends it compressed unasked (and
// counts ranges in the compressed bytes), one without ranges. Each file
// starts again from its first byte in the same run, once; a whole answer that
// is still short is set aside so the next run does not ask for its rest again.
TEST_F(TransferJobTest, ResumesThatCannotGoOnStartTheFileAgainOnce) {
    std::string source;  // compressible, as installers are
    for (int line = 0; source.size() < 50000; ++line)
        source += "installer line " + std::to_string(line * 7919 % 1000) + "\n";
    source.resize(50000);
    const std::string shorter = source.substr(0, 40000), encoded = Gzip(source);
    const std::string path = local / "upd.exe";
    enum class Serve { Ranges, NoRanges, GzipRanges };
    struct Case {
        const char* name;
        Serve serve;
        const std::string* entity;   // the server's bytes (before any encoding)
        const std::string* partial;  // on disk at the start; nullptr: none
        int32_t expected;
        std::vector<std::pair<std::string, int>> requests;  // Range asked, status answered
        bool ok;
        const std::string* after;  // the file afterwards; nullptr: gone
        bool setAside;
    } cases[] = {
        {"encoded unasked, whole",
         Serve::GzipRanges,
         &source,
         nullptr,
         50000,
         {{"", 200}},
         true,
         &source,
         false},
        {"encoded unasked, resumed past its encoded end",
         Serve::GzipRanges,
         &source,
         &encoded,
         50000,
         {{"bytes=" + std::to_string(encoded.size()) + "-", 416}, {"", 200}},
         true,
         &source,
         false},
        {"shorter on the server, resumed at its end",
         Serve::Ranges,
         &shorter,
         &shorter,
         50000,
         {{"bytes=40000-", 416}, {"", 200}},
         true,
         nullptr,
         true},
        {"shorter on the server, no ranges",
         Serve::NoRanges,
         &shorter,
         &shorter,
         50000,
         {{"bytes=40000-", 200}},
         true,
         nullptr,
         true},
        {"416 without a size to compare",
         Serve::Ranges,
         &shorter,
         &shorter,
         0,
         {{"bytes=40000-", 416}},
         false,
         &shorter,
         false},
    };
    std::mutex mutex;
    const Case* now = nullptr;
    std::vector<std::pair<std::string, int>> seen;
    std::vector<std::string> encodings;
    httplib::Server server;
    server.Get("/upd.exe", [&](const httplib::Request& request, httplib::Response& response) {
        std::lock_guard<std::mutex> lock(mutex);
        const std::string range = request.get_header_value("Range");
        encodings.push_back(request.get_header_value("Accept-Encoding"));
        const std::string& body =
            now->serve == Serve::GzipRanges ? Gzip(*now->entity) : *now->entity;
        size_t from = 0;
        response.status = 200;
        if (!range.empty() && now->serve != Serve::NoRanges) {
            from = std::stoul(range.substr(6));
            response.status = from < body.size() ? 206 : 416;
            if (response.status == 206)
                response.set_header("Content-Range", "bytes " + std::to_string(from) + "-" +
                                                         std::to_string(body.size() - 1) + "/" +
                                                         std::to_string(body.size()));
        }
        seen.emplace_back(range, response.status);
        if (response.status == 416) return;
        if (now->serve == Serve::GzipRanges) response.set_header("Content-Encoding", "gzip");
        auto shared = std::make_shared<std::string>(body.substr(from));
        response.set_chunked_content_provider("", [shared](size_t at, httplib::DataSink& sink) {
            if (at >= shared->size()) sink.done();
            return at >= shared->size() ||
                   sink.write(&(*shared)[at], std::min<size_t>(8192, shared->size() - at));
        });
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { server.listen_after_bind(); });
    StartServer();  // Item() builds addresses on it; the port is replaced below

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard<std::mutex> lock(mutex);
            now = &c;
            seen.clear();
            encodings.clear();
        }
        platform.messages.clear();
        fs::remove(path);
        fs::remove(Transfer::RejectedPath(path));
        if (c.partial) WriteFile(path, *c.partial);
        Data::DownloadItem item = Item("/", path, c.expected);
        item.url = "http://127.0.0.1:" + std::to_string(port) + "/upd.exe";
        Data::DownloadList list;
        list.AppendItem(item);
        EXPECT_EQ(Run(list), c.ok);
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(seen, c.requests);
        for (const std::string& e : encodings) EXPECT_EQ(e, "identity");
        EXPECT_EQ(fs::exists(path), c.after != nullptr);
        if (c.after) {
            EXPECT_TRUE(ReadFile(path) == *c.after);
        }
        EXPECT_EQ(fs::exists(Transfer::RejectedPath(path)), c.setAside);
        if (c.setAside) {
            EXPECT_TRUE(ReadFile(Transfer::RejectedPath(path)) == *c.entity);
        }
        EXPECT_EQ(Messages().size(), c.ok ? 0u : 1u);
        EXPECT_EQ(HasProblem(Messages(), 22), !c.ok);
        EXPECT_FALSE(fs::exists(Transfer::ValidatorPath(path)));
    }
    server.stop();
    serving.join();
}

TEST_F(TransferJobTest, StalledTransferEndsWithProblem28) {
    WriteFile(root / "upd.exe", RandomBytes(200000, 7));
    StartServer({"--stall-after", "40000"});
    Data::DownloadList list;
    list.AppendItem(Item("/upd.exe", local / "upd.exe", 200000));
    EXPECT_FALSE(Run(list, 2));
    auto messages = Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(HasProblem(messages, 28)) << messages[0].text;
    // What arrived before the stall stays for the next run.
    EXPECT_EQ(fs::file_size(local / "upd.exe"), 40000u);
}

TEST_F(TransferJobTest, TricklesEndWithProblem28WhileDialUpSpeedPasses) {
    for (auto [name, rate, size] :
         {std::tuple{"ver.txt", "2", 60}, {"upd.exe", "50", 2500}, {"upd.exe", "6000", 18000}}) {
        const bool passes = size == 18000;
        platform.messages.clear();
        const std::string body = "Product=US\n" + RandomBytes(size, 42);
        WriteFile(root / name, body);
        StartServer({"--throttle", rate});
        Data::DownloadList list;
        list.AppendItem(
            Item(std::string("/") + name, local / name, name[0] == 'u' ? body.size() : 0));
        Transfer::DownloadWorker worker;
        worker.list = &list;
        worker.textDeadlineSeconds = worker.installerFloorSeconds = 2;
        EXPECT_EQ(Transfer::RunList(worker), passes) << rate;
        EXPECT_EQ(ReadFile(local / name) == body, passes) << rate;
        EXPECT_EQ(HasProblem(Messages(), 28), name[0] == 'u' && !passes) << rate;
    }
}

TEST_F(TransferJobTest, LongerInstallersEndWithProblem63AndAreSetAside) {
    const std::string longer = RandomBytes(300000, 41), path = local / "upd.exe";
    WriteFile(root / "long.exe", longer);
    StartServer();
    httplib::Server chunked;  // /N: the first N bytes, without a stated length
    chunked.Get("/(\\d+)", [&](const httplib::Request& request, httplib::Response& response) {
        const size_t n = std::stoul(request.matches[1]);
        response.set_chunked_content_provider("", [&longer, n](size_t at, httplib::DataSink& sink) {
            if (at >= n) sink.done();
            return at >= n || sink.write(&longer[at], std::min<size_t>(4096, n - at));
        });
    });
    const std::string other =
        "http://127.0.0.1:" + std::to_string(chunked.bind_to_any_port("127.0.0.1"));
    std::thread serving([&] { chunked.listen_after_bind(); });
    // {address, bytes on disk before}: 100000 fit the manifest
    for (const auto& [url, present] : {std::pair{Server().Url("/long.exe"), 0},
                                       {Server().Url("/long.exe"), 5000},
                                       {other + "/300000", 0},
                                       {other + "/100001", 0},
                                       {other + "/100000", 0}}) {
        const bool fits = url.ends_with("/100000");
        platform.messages.clear();
        WriteFile(path + ".rejected", "older");
        fs::remove(path);
        if (present) WriteFile(path, longer.substr(0, present));
        Data::DownloadItem item = Item("/", path, 100000);
        item.url = url;
        Data::DownloadList list;
        list.AppendItem(item);
        EXPECT_EQ(Run(list), fits) << url;
        EXPECT_EQ(HasProblem(Messages(), 63), !fits) << url;
        EXPECT_EQ(fs::exists(path), fits) << url;
        // A prefix of the answer: the installer, or what was written, set aside.
        const std::string kept = ReadFile(fits ? path : path + ".rejected");
        const bool refusedAtOnce = present == 0 && url.ends_with(".exe");
        EXPECT_TRUE(refusedAtOnce
                        ? kept == "older"
                        : longer.starts_with(kept) && kept.size() >= static_cast<size_t>(present))
            << url;
        EXPECT_TRUE(fits ? kept.size() == 100000 : kept.size() <= 100000) << url;
    }
    chunked.stop();
    serving.join();
}

TEST_F(TransferJobTest, DroppedConnectionEndsWithProblem18Or56) {
    WriteFile(root / "upd.exe", RandomBytes(200000, 8));
    StartServer({"--drop-after", "40000"});
    Data::DownloadList list;
    list.AppendItem(Item("/upd.exe", local / "upd.exe", 200000));
    EXPECT_FALSE(Run(list));
    auto messages = Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(HasProblem(messages, 18) || HasProblem(messages, 56)) << messages[0].text;
    EXPECT_EQ(fs::file_size(local / "upd.exe"), 40000u);
}

TEST_F(TransferJobTest, LocalFileThatCannotBeWrittenGivesProblem23) {
    WriteFile(root / "upd.exe", RandomBytes(1000, 9));
    StartServer();
    WriteFile(local / "blocker", "x");  // a file where the folder should be
    Data::DownloadList list;
    list.AppendItem(Item("/upd.exe", local / "blocker/upd.exe", 1000));
    EXPECT_FALSE(Run(list));
    auto messages = Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].text.find("\n\nProblem number (23)"), std::string::npos);
    EXPECT_NE(messages[0].text.find("www.tessra.example/downloads/"), std::string::npos);
}

TEST_F(TransferJobTest, UserAgentCarriesPromAndCamp) {
    WriteFile(root / "ver.txt", kManifest);
    StartServer();
    Data::DownloadList list;
    list.AppendItem(Item("/ver.txt", local / "one/ver.txt", 0));
    EXPECT_TRUE(Run(list));
    ASSERT_EQ(Log(1).size(), 1u);  // logged before the next run's request
    list.SetValue("prom", "spring07");
    list.SetValue("CAMP", "Mail 2");
    EXPECT_TRUE(Run(list));
    auto log = Log(2);
    ASSERT_EQ(log.size(), 2u);
    // The server drops the trailing blanks of a header value; the exact text
    // "TessraSWM" and two blanks is checked where the text is built.
    EXPECT_EQ(log[0]["userAgent"], "TessraSWM");
    EXPECT_EQ(log[1]["userAgent"], "TessraSWM spring07 Mail 2");
}

TEST_F(TransferJobTest, FilesAbove2GiBAreReportedClamped) {
    // A sparse local file larger than any 32-bit size: complete, and its
    // present size reaches the records clamped rather than wrapped.
    const std::string big = local / "big.exe";
    WriteFile(big, "");
    fs::resize_file(big, 3ull << 30);
    StartServer();
    RecordingSink sink;
    Data::DownloadList list;
    list.AppendItem(Item("/big.exe", big, INT32_MAX));
    Transfer::DownloadWorker worker;
    worker.list = &list;
    worker.notify = true;
    worker.sink = &sink;
    EXPECT_TRUE(Transfer::RunList(worker));
    auto records = sink.Take();
    ASSERT_EQ(records.size(), 2u);
    auto* start = dynamic_cast<Data::StartDownloadMsg*>(records[0].get());
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(start->presentBytes, INT32_MAX);
    EXPECT_EQ(records[1]->kind, Data::kFinishedKind);
}

// The resume rule as a server sees it: a kept validator goes out as If-Range
// with the server's own Range; a 200 answer is the new file, written from its
// first byte; a 206 must start where the file ends; without a validator (the
// server sends none) the resume is the plain one.
TEST_F(TransferJobTest, KeptValidatorGuardsTheResume) {
    const std::string older = RandomBytes(50000, 51), newer = RandomBytes(50000, 52);
    const std::string path = local / "upd.exe";
    struct Case {
        const char* name;
        const char* kept;  // nullptr: no validator file
        const char* etag;  // what the server sends; "" none
        int status;        // 206 from `start`, or 200 with the newer file
        long start;
        const char* range;  // what the request asked for
        bool ok;
    } cases[] = {
        {"no validators", nullptr, "", 206, 1234, "bytes=1234-", true},
        {"unchanged", "\"v1\"", "\"v1\"", 206, 1234, "bytes=1234-", true},
        {"changed", "\"v1\"", "\"v2\"", 200, 0, "bytes=1234-", true},
        {"other bytes", "\"v1\"", "\"v1\"", 206, 1000, "bytes=1234-", false},
        {"unusable", "\"v1\"\r\nX-Planted: 1", "\"v2\"", 200, 0, "", true},
    };
    std::mutex mutex;
    const Case* now = nullptr;
    std::string range, ifRange;
    httplib::Server server;
    server.Get("/upd.exe", [&](const httplib::Request& request, httplib::Response& response) {
        std::lock_guard<std::mutex> lock(mutex);
        range = request.get_header_value("Range");
        ifRange = request.get_header_value("If-Range");
        if (*now->etag) response.set_header("ETag", now->etag);
        const std::string& body = now->status == 200 ? newer : older;
        if (now->status == 206)
            response.set_header("Content-Range",
                                "bytes " + std::to_string(now->start) + "-49999/50000");
        response.status = now->status;
        // Chunked: httplib leaves the answer's range to the handler.
        const size_t from = now->start;
        response.set_chunked_content_provider("", [&body, from](size_t at,
                                                                httplib::DataSink& sink) {
            if (from + at >= body.size()) sink.done();
            return from + at >= body.size() ||
                   sink.write(&body[from + at], std::min<size_t>(8192, body.size() - from - at));
        });
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { server.listen_after_bind(); });
    StartServer();  // Item() builds addresses on it; the port is replaced below

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard<std::mutex> lock(mutex);
            now = &c;
        }
        platform.messages.clear();
        WriteFile(path, older.substr(0, 1234));
        fs::remove(Transfer::ValidatorPath(path));
        if (c.kept) WriteFile(Transfer::ValidatorPath(path), c.kept);
        Data::DownloadItem item = Item("/", path, 50000);
        item.url = "http://127.0.0.1:" + std::to_string(port) + "/upd.exe";
        Data::DownloadList list;
        list.AppendItem(item);
        EXPECT_EQ(Run(list), c.ok);
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(range, c.range);
        EXPECT_EQ(ifRange, c.kept && c.range[0] ? c.kept : "");
        EXPECT_TRUE(ReadFile(path) == (!c.ok             ? older.substr(0, 1234)
                                       : c.status == 200 ? newer
                                                         : older));
        EXPECT_EQ(HasProblem(Messages(), 33), !c.ok);
        EXPECT_EQ(Messages().size(), c.ok ? 0u : 1u);
        // Kept only beside a partial file.
        EXPECT_EQ(Transfer::ReadValidator(path),
                  c.ok ? std::nullopt : std::optional<std::string>(c.kept));
    }
    server.stop();
    serving.join();
}

}  // namespace
}  // namespace DownloadTest
