#pragma once
// Shared set-up of the transfer tests: a served folder, a local folder, a fake
// platform whose per-user data folder holds ts07.cfg, and the update server
// started as a child process on an ephemeral port of 127.0.0.1.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "download/TransferJob.h"
#include "platform/FakePlatform.h"
#include "tests/integration/server/ServerProcess.h"
#include "tests/support/TestFiles.h"

namespace DownloadTest {

using TestSupport::RandomBytes;
using TestSupport::ReadFile;
using TestSupport::TempDir;
using TestSupport::WriteFile;

namespace fs = std::filesystem;

// Records as the progress screen receives them: in posting order, from the worker thread.
class RecordingSink : public Data::DownloadMsgSink {
  public:
    void Post(std::unique_ptr<Data::DownloadMsg> msg) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (auto* p = dynamic_cast<Data::InProgressDownloadMsg*>(msg.get()))
            progressBytes_ += p->chunkBytes;
        records_.push_back(std::move(msg));
        cv_.notify_all();
    }
    // Waits until at least `bytes` progress bytes have arrived.
    bool WaitForProgress(long long bytes, std::chrono::seconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return progressBytes_ >= bytes; });
    }
    std::vector<std::unique_ptr<Data::DownloadMsg>> Take() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::move(records_);
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::unique_ptr<Data::DownloadMsg>> records_;
    long long progressBytes_ = 0;
};

class TransferFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        platform.appData = appData.Path();
        platform.commandLine = "tessra-swm " + (local / "download.cfg") + " /N 127.0.0.1";
        Sys::Install(&platform);
        SetProgramSettings("string:ui_prop_proxy_which=none\n");
    }
    void TearDown() override {
        servers.clear();
        Sys::Install(nullptr);
    }

    // Starts a server on the served folder; extra arguments are fault options.
    ServerTest::ServerProcess& StartServer(std::vector<std::string> extra = {}) {
        logFile = root / ("requests-" + std::to_string(servers.size()) + ".log");
        std::vector<std::string> args{"--root", root.Path(), "--log", logFile};
        args.insert(args.end(), extra.begin(), extra.end());
        servers.push_back(std::make_unique<ServerTest::ServerProcess>(args));
        auto& server = *servers.back();
        EXPECT_TRUE(server.Start()) << server.Error();
        return server;
    }
    ServerTest::ServerProcess& Server() { return *servers.back(); }

    void SetProgramSettings(const std::string& text) {
        WriteFile(appData / "Tessra/2007/ts07.cfg", text);
    }

    // The log of the last server, once it holds at least `count` lines.
    std::vector<nlohmann::json> Log(size_t count = 0) {
        std::vector<nlohmann::json> out;
        for (auto& line : ServerTest::ServerProcess::WaitForLines(logFile, count))
            out.push_back(nlohmann::json::parse(line));
        return out;
    }
    // Requests for one file path (the log of the last server).
    std::vector<nlohmann::json> RequestsFor(const std::string& path, size_t atLeast = 0) {
        std::vector<nlohmann::json> out;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        do {
            out.clear();
            for (auto& entry : Log())
                if (entry["path"].is_string() && entry["path"] == path) out.push_back(entry);
            if (out.size() >= atLeast) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } while (std::chrono::steady_clock::now() < deadline);
        return out;
    }

    Data::DownloadItem Item(const std::string& servedPath, const std::string& localPath,
                            int32_t expected) {
        Data::DownloadItem item;
        item.url = Server().Url(servedPath);
        item.localPath = localPath;
        item.productCode = "US";
        item.expectedSize = expected;
        item.installedVersion = 3;
        item.year = 2007;
        return item;
    }

    bool Run(const Data::DownloadList& list, long lowSpeedTimeSeconds = 30) {
        Transfer::DownloadWorker worker;
        worker.list = &list;
        worker.lowSpeedTimeSeconds = lowSpeedTimeSeconds;
        worker.installerFloorSeconds = lowSpeedTimeSeconds;
        return Transfer::RunList(worker);
    }

    std::vector<Sys::FakePlatform::Message> Messages() {
        std::lock_guard<std::mutex> lock(platform.mutex);
        return platform.messages;
    }

    TempDir root, local, appData;
    Sys::FakePlatform platform;
    std::vector<std::unique_ptr<ServerTest::ServerProcess>> servers;
    std::string logFile;
};

}  // namespace DownloadTest
