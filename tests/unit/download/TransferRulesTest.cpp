// Rules of the transfer job that need no server: the plausibility check of
// text downloads, folder creation, the user agent, the write callbacks and
// the problem messages.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "download/TransferJob.h"
#include "platform/FakePlatform.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestSigning.h"

namespace fs = std::filesystem;

namespace {

using TestSupport::ReadFile;
using TestSupport::TempDir;
using TestSupport::WriteFile;

// The request a text download answers; it matters only under a key.
bool Check(const std::string& path) {
    Data::DownloadItem item;
    item.productCode = "us";
    item.year = 2007;
    return Transfer::CheckTextDownload(path, item);
}

struct CollectingSink : Data::DownloadMsgSink {
    void Post(std::unique_ptr<Data::DownloadMsg> msg) override {
        records.push_back(std::move(msg));
    }
    std::vector<std::unique_ptr<Data::DownloadMsg>> records;
};

TEST(CheckTextDownloadTest, FirstLineMustNameTheProduct) {
    TempDir dir;
    WriteFile(dir / "capital.txt", "Product=US\nVERSION=4\n");
    WriteFile(dir / "lower.txt", "product=us\r\nversion=4\r\n");
    WriteFile(dir / "upper.txt", "PRODUCT=US\nVERSION=4\n");  // the letters must be lower case
    WriteFile(dir / "second.txt", "VERSION=4\nproduct=US\n");
    WriteFile(dir / "empty.txt", "");
    WriteFile(dir / "page.txt", "<html><body>Not Found</body></html>\n");
    EXPECT_TRUE(Check(dir / "capital.txt"));
    EXPECT_TRUE(Check(dir / "lower.txt"));
    EXPECT_FALSE(Check(dir / "upper.txt"));
    EXPECT_FALSE(Check(dir / "second.txt"));
    EXPECT_FALSE(Check(dir / "empty.txt"));
    EXPECT_FALSE(Check(dir / "page.txt"));
    EXPECT_FALSE(Check(dir / "missing.txt"));
}

TEST(CheckTextDownloadTest, OnlyTheFirst254CharactersCountAsTheFirstLine) {
    TempDir dir;
    WriteFile(dir / "long.txt", std::string(254, 'x') + "product=US\n");
    WriteFile(dir / "fits.txt", std::string(248, 'x') + "roduct\n");
    EXPECT_FALSE(Check(dir / "long.txt"));
    EXPECT_TRUE(Check(dir / "fits.txt"));
}

TEST(CheckTextDownloadTest, PathsWithoutDotTxtPassUnread) {
    TempDir dir;
    EXPECT_TRUE(Check(dir / "missing.exe"));
    EXPECT_TRUE(Check(dir / "txtfile"));  // "txt" but not ".txt"
}

TEST(CheckTextDownloadTest, WithAKeyTheFirstLineAndTheSignatureMustBothHold) {
    TempDir dir;
    TestSupport::TestKey key;
    WriteFile(dir / "key.pub", key.PublicLine() + "\n");
    WriteFile(dir / "signed.txt", key.Sign("Product=US\r\nYEAR=2007\r\nVERSION=4\r\n"));
    WriteFile(dir / "unsigned.txt", "Product=US\r\nYEAR=2007\r\nVERSION=4\r\n");
    WriteFile(dir / "upper.txt", key.Sign("PRODUCT=US\r\nYEAR=2007\r\nVERSION=4\r\n"));
    TestSupport::KeyVariable variable(dir / "key.pub");
    EXPECT_TRUE(Check(dir / "signed.txt"));
    EXPECT_FALSE(Check(dir / "unsigned.txt"));
    EXPECT_FALSE(Check(dir / "upper.txt"));
}

TEST(MakeParentDirectoriesTest, CreatesTheMissingChainLevelByLevel) {
    TempDir dir;
    Transfer::MakeParentDirectories(dir / "a/b/c/file.exe");
    EXPECT_TRUE(fs::is_directory(dir / "a/b/c"));
    EXPECT_FALSE(fs::exists(dir / "a/b/c/file.exe"));
    // An existing chain is left alone; a doubled separator adds no level.
    WriteFile(dir / "a/b/keep", "x");
    Transfer::MakeParentDirectories(dir / "a//b/d/file.exe");
    EXPECT_TRUE(fs::is_directory(dir / "a/b/d"));
    EXPECT_EQ(ReadFile(dir / "a/b/keep"), "x");
}

TEST(MakeParentDirectoriesTest, StopsSilentlyAtAFileInTheWay) {
    TempDir dir;
    WriteFile(dir / "plain", "x");
    Transfer::MakeParentDirectories(dir / "plain/sub/file.exe");
    EXPECT_TRUE(fs::is_regular_file(dir / "plain"));
    EXPECT_FALSE(fs::exists(dir / "plain/sub"));
}

TEST(MakeParentDirectoriesTest, RelativeFoldersAndBareNames) {
    TempDir dir;
    std::string cwd = fs::current_path().string();
    ASSERT_EQ(::chdir(dir.Path().c_str()), 0);
    Transfer::MakeParentDirectories("rel/deeper/file.txt");
    Transfer::MakeParentDirectories("bare.txt");  // no folder part: nothing to do
    EXPECT_TRUE(fs::is_directory(dir / "rel/deeper"));
    EXPECT_FALSE(fs::exists(dir / "bare.txt"));
    ASSERT_EQ(::chdir(cwd.c_str()), 0);
}

TEST(UserAgentTextTest, PromAndCampWithBlanks) {
    Data::DownloadList list;
    EXPECT_EQ(Transfer::UserAgentText(list), "TessraSWM  ");
    list.SetValue("PROM", "spring");
    EXPECT_EQ(Transfer::UserAgentText(list), "TessraSWM spring ");
    list.SetValue("camp", "c42");
    EXPECT_EQ(Transfer::UserAgentText(list), "TessraSWM spring c42");
}

TEST(WriteCallbackTest, PlainAppendsToTheLocalFile) {
    TempDir dir;
    WriteFile(dir / "part.exe", "abc");
    Transfer::TransferFile file;
    file.path = dir / "part.exe";
    char chunk1[] = "defg";
    char chunk2[] = "hi";
    EXPECT_EQ(Transfer::WritePlain(chunk1, 1, 4, &file), 4u);
    EXPECT_EQ(Transfer::WritePlain(chunk2, 1, 2, &file), 2u);
    ASSERT_NE(file.stream, nullptr);
    std::fclose(file.stream);
    EXPECT_EQ(ReadFile(dir / "part.exe"), "abcdefghi");
}

TEST(WriteCallbackTest, FolderThatCannotBeOpenedFailsTheWrite) {
    TempDir dir;
    Transfer::TransferFile file;
    file.path = dir / "no/such/folder/file.exe";
    char chunk[] = "data";
    EXPECT_NE(Transfer::WritePlain(chunk, 1, 4, &file), 4u);
    Transfer::DownloadWorker worker;
    file.worker = &worker;
    EXPECT_NE(Transfer::WriteWithProgress(chunk, 1, 4, &file), 4u);
}

TEST(WriteCallbackTest, ProgressRecordPerChunkThenCancelPostsOneFinishedRecord) {
    TempDir dir;
    CollectingSink sink;
    Transfer::DownloadWorker worker;
    worker.notify = true;
    worker.sink = &sink;
    Transfer::TransferFile file;
    file.path = dir / "big.exe";
    file.worker = &worker;

    std::vector<char> chunk(16384, 'z');
    EXPECT_EQ(Transfer::WriteWithProgress(chunk.data(), 1, chunk.size(), &file), chunk.size());
    EXPECT_EQ(Transfer::WriteWithProgress(chunk.data(), 1, 100, &file), 100u);
    EXPECT_EQ(file.pendingBytes, 0);

    worker.cancelRequested = true;
    EXPECT_NE(Transfer::WriteWithProgress(chunk.data(), 1, 100, &file), 100u);
    EXPECT_NE(Transfer::WriteWithProgress(chunk.data(), 1, 100, &file), 100u);  // sticky
    std::fclose(file.stream);

    ASSERT_EQ(sink.records.size(), 3u);
    auto* first = dynamic_cast<Data::InProgressDownloadMsg*>(sink.records[0].get());
    auto* second = dynamic_cast<Data::InProgressDownloadMsg*>(sink.records[1].get());
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->chunkBytes, 16384);
    EXPECT_EQ(first->text, dir / "big.exe");
    EXPECT_EQ(second->chunkBytes, 100);
    EXPECT_EQ(sink.records[2]->kind, Data::kFinishedKind);
    EXPECT_EQ(sink.records[2]->text, "");
    // Nothing of the cancelled chunks reached the file.
    EXPECT_EQ(fs::file_size(dir / "big.exe"), 16384u + 100u);
}

TEST(RunListTest, EmptyAndCompleteListsFinishWithoutAnyConnection) {
    TempDir dir;
    Sys::FakePlatform platform;
    platform.appData = dir.Path();
    Sys::Install(&platform);

    Data::DownloadList empty;
    CollectingSink sink;
    Transfer::DownloadWorker worker;
    worker.list = &empty;
    worker.notify = true;
    worker.sink = &sink;
    EXPECT_TRUE(Transfer::RunList(worker));
    ASSERT_EQ(sink.records.size(), 1u);
    EXPECT_EQ(sink.records[0]->kind, Data::kFinishedKind);

    // Files already complete: no transfer (the address could not be fetched).
    Data::DownloadList complete;
    WriteFile(dir / "one.exe", std::string(10, 'a'));
    WriteFile(dir / "two.exe", std::string(30, 'b'));
    complete.AppendItem(
        {"http://127.0.0.1:1/one.exe", dir / "one.exe", "US", "", "", 10, 1, 2007, "", "", 0, ""});
    complete.AppendItem(
        {"http://127.0.0.1:1/two.exe", dir / "two.exe", "CA", "", "", 20, 1, 2007, "", "", 0, ""});
    sink.records.clear();
    worker.list = &complete;
    EXPECT_TRUE(Transfer::RunList(worker));
    ASSERT_EQ(sink.records.size(), 3u);
    auto* start = dynamic_cast<Data::StartDownloadMsg*>(sink.records[1].get());
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(start->text, dir / "two.exe");
    EXPECT_EQ(start->presentBytes, 30);
    EXPECT_EQ(start->expectedBytes, 20);
    EXPECT_EQ(sink.records[2]->kind, Data::kFinishedKind);
    EXPECT_TRUE(platform.messages.empty());
    Sys::Install(nullptr);
}

TEST(ConfigureTransferTest, NoHandleSetsNothing) {
    Sys::FakePlatform platform;
    Sys::Install(&platform);
    Transfer::DownloadWorker worker;
    Transfer::TransferFile file;
    Data::DownloadItem item;
    EXPECT_EQ(Transfer::ConfigureTransfer(nullptr, worker, item, file, 0, "", "TessraSWM  "),
              nullptr);
    EXPECT_TRUE(platform.messages.empty());
    Sys::Install(nullptr);
}

TEST(ShowProblemTest, ListedNumbersGetTheirTextsAndOthersTheGeneralOne) {
    Sys::FakePlatform platform;
    Sys::Install(&platform);
    Transfer::ShowProblem(22);
    Transfer::ShowProblem(23);
    Transfer::ShowProblem(35);
    Sys::Install(nullptr);

    ASSERT_EQ(platform.messages.size(), 3u);
    for (auto& m : platform.messages) EXPECT_EQ(m.icon, Sys::MessageIcon::Exclamation);
    EXPECT_EQ(platform.messages[0].title, "Problem Detected");
    EXPECT_EQ(platform.messages[0].text,
              "A problem was encountered while trying to get your download.\nPlease try again "
              "later.\nProblem number (22)\n\nFor help troubleshooting download errors, visit our "
              "website at \nwww.tessra.example/update.");
    EXPECT_EQ(platform.messages[1].title, "Problem Detected");
    EXPECT_EQ(platform.messages[1].text,
              "A problem was encountered while trying to get your download.\n\nProblem number "
              "(23)\n\nFor help troubleshooting download errors, visit our website at "
              "\nwww.tessra.example/downloads/");
    EXPECT_EQ(platform.messages[2].title, "Unexpected error");
    EXPECT_EQ(platform.messages[2].text, "An unexpected error occurred");
}

}  // namespace
