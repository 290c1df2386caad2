// Fault options and large files, seen from a real client.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>

#include "tests/integration/server/ServerProcess.h"
#include "tests/integration/server/ServerTestSupport.h"

namespace ServerTest {
namespace {

class Faults : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.Path().empty());
        root_ = dir_ / "root";
        log_ = dir_ / "requests.log";
        installer_ = RandomBytes(200000, 11);
        WriteFile(root_ + "/upd.exe", installer_);
        WriteFile(root_ + "/ver.txt", "PRODUCT=fed\n");
    }

    std::unique_ptr<ServerProcess> Start(std::vector<std::string> faults) {
        std::vector<std::string> args{"--root", root_, "--log", log_};
        args.insert(args.end(), faults.begin(), faults.end());
        auto server = std::make_unique<ServerProcess>(args);
        EXPECT_TRUE(server->Start()) << server->Error();
        return server;
    }

    nlohmann::json LastLogEntry(size_t count) {
        auto lines = ServerProcess::WaitForLines(log_, count);
        EXPECT_EQ(lines.size(), count);
        return lines.size() == count ? nlohmann::json::parse(lines.back()) : nlohmann::json();
    }

    TempDir dir_;
    std::string root_, log_, installer_;
};

TEST_F(Faults, IgnoreRangeAnswersWholeFile) {
    auto server = Start({"--ignore-range"});
    std::string headers = dir_ / "headers";
    Result r = Curl({"-H", "Range: bytes=1000-", "-D", headers, "-o", dir_ / "whole", "-w",
                     "%{http_code}", server->Url("/upd.exe")});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, "200");
    EXPECT_TRUE(SameBytes(ReadFile(dir_ / "whole"), installer_));
    EXPECT_EQ(HeaderValue(ReadFile(headers), "Content-Range"), "");

    // A client resuming refuses the whole-file answer and keeps its partial file.
    std::string partial = dir_ / "partial";
    WriteFile(partial, installer_.substr(0, 5000));
    EXPECT_EQ(Curl({"-C", "-", "-o", partial, server->Url("/upd.exe")}).exitCode, 33);
    EXPECT_TRUE(SameBytes(ReadFile(partial), installer_.substr(0, 5000)));
    EXPECT_EQ(server->Stop(), 0);
}

TEST_F(Faults, StatusOverrideAnswersItsCode) {
    auto server = Start({"--status", "/ver.txt=503", "--status=/not/there.txt=200"});
    Result r = Curl({"-w", "\n%{http_code}", server->Url("/ver.txt")});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, "503 Service Unavailable\n\n503");
    EXPECT_EQ(Curl({"-f", "-o", dir_ / "x", server->Url("/ver.txt")}).exitCode, 22);
    // Matched on the decoded path, whatever the spelling and also through the proxy form.
    EXPECT_EQ(Curl({"-o", "/dev/null", "-w", "%{http_code}", "-x", server->ProxyAddress(),
                    "http://anyhost/./%76er.txt"})
                  .output,
              "503");
    EXPECT_EQ(Curl({"-o", "/dev/null", "-w", "%{http_code}", server->Url("/not/there.txt")}).output,
              "200");
    // Other paths are served as usual.
    EXPECT_EQ(Curl({"-o", dir_ / "upd", server->Url("/upd.exe")}).exitCode, 0);
    EXPECT_TRUE(SameBytes(ReadFile(dir_ / "upd"), installer_));
    EXPECT_EQ(server->Stop(), 0);
}

TEST_F(Faults, DropAfterClosesTheConnectionMidBody) {
    auto server = Start({"--drop-after", "10000"});
    std::string out = dir_ / "short";
    EXPECT_EQ(Curl({"-o", out, server->Url("/upd.exe")}).exitCode, 18);  // partial file
    EXPECT_TRUE(SameBytes(ReadFile(out), installer_.substr(0, 10000)));
    auto entry = LastLogEntry(1);
    EXPECT_EQ(entry["status"], 200);
    EXPECT_EQ(entry["bytesSent"], 10000);

    // Counted from the start of each answer's body; smaller answers go through whole.
    EXPECT_EQ(Curl({"-o", out, "-r", "195000-", server->Url("/upd.exe")}).exitCode, 0);
    EXPECT_TRUE(SameBytes(ReadFile(out), installer_.substr(195000)));
    EXPECT_EQ(Curl({"-o", out, server->Url("/ver.txt")}).exitCode, 0);
    EXPECT_EQ(ReadFile(out), "PRODUCT=fed\n");
    EXPECT_EQ(server->Stop(), 0);
}

TEST_F(Faults, StallWithoutBodyTripsTheLowSpeedLimit) {
    auto server = Start({"--stall-after", "0"});
    EXPECT_EQ(Curl({"--speed-time", "2", "--speed-limit", "1", "-o", dir_ / "out",
                    server->Url("/upd.exe")})
                  .exitCode,
              28);
    EXPECT_EQ(LastLogEntry(1)["bytesSent"], 0);
    EXPECT_EQ(server->Stop(), 0);
}

TEST_F(Faults, StallAfterSendsThatMuchThenHoldsTheConnection) {
    auto server = Start({"--stall-after", "5000"});
    std::string out = dir_ / "stalled";
    EXPECT_EQ(Curl({"--max-time", "2", "-o", out, server->Url("/upd.exe")}).exitCode, 28);
    EXPECT_TRUE(SameBytes(ReadFile(out), installer_.substr(0, 5000)));
    // The server notices the client leaving and logs what it sent.
    EXPECT_EQ(LastLogEntry(1)["bytesSent"], 5000);

    EXPECT_EQ(Curl({"-o", out, server->Url("/ver.txt")}).exitCode, 0);
    EXPECT_EQ(ReadFile(out), "PRODUCT=fed\n");
    EXPECT_EQ(server->Stop(), 0);
}

TEST_F(Faults, ThrottledTransferCompletesByteIdentical) {
    auto server = Start({"--throttle", "1000000"});
    std::string out = dir_ / "slow";
    EXPECT_EQ(Curl({"-o", out, server->Url("/upd.exe")}).exitCode, 0);
    EXPECT_TRUE(SameBytes(ReadFile(out), installer_));
    std::string partial = dir_ / "partial";
    WriteFile(partial, installer_.substr(0, 150000));
    EXPECT_EQ(Curl({"-C", "-", "-o", partial, server->Url("/upd.exe")}).exitCode, 0);
    EXPECT_TRUE(SameBytes(ReadFile(partial), installer_));
    EXPECT_EQ(server->Stop(), 0);
}

TEST_F(Faults, StalledClientsDoNotBlockOthersOrTheStop) {
    auto server = Start({"--stall-after", "1000"});
    std::vector<std::unique_ptr<Child>> stalled;
    for (int i = 0; i < 4; ++i) {
        stalled.push_back(std::make_unique<Child>(CurlArgs(
            {"-N", "-o", dir_ / ("stalled" + std::to_string(i)), server->Url("/upd.exe")})));
    }
    // Wait until all four are held, then fetch alongside them.
    for (int i = 0; i < 200; ++i) {
        bool all = true;
        for (int j = 0; j < 4; ++j) {
            all = all && ReadFile(dir_ / ("stalled" + std::to_string(j))).size() == 1000;
        }
        if (all) break;
        usleep(10000);
    }
    EXPECT_EQ(Curl({"-o", dir_ / "ver", server->Url("/ver.txt")}).exitCode, 0);
    EXPECT_EQ(ReadFile(dir_ / "ver"), "PRODUCT=fed\n");

    EXPECT_EQ(server->Stop(), 0);
    for (auto& child : stalled) EXPECT_EQ(child->Wait(), 18);  // cut short by the stop
    auto lines = ServerProcess::ReadLines(log_);
    ASSERT_EQ(lines.size(), 5u);
    int held = 0;
    for (const auto& line : lines) held += nlohmann::json::parse(line)["bytesSent"] == 1000;
    EXPECT_EQ(held, 4);
}

long PeakResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

TEST_F(Faults, HugeFilesAreStreamedInConstantMemory) {
    // Sparse files: no disk space, but every byte goes through the server.
    const long long big = 512LL << 20;
    const long long huge = 5LL << 30;  // beyond 32-bit sizes
    {
        int fd = open((root_ + "/big.bin").c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, big), 0);
        close(fd);
        fd = open((root_ + "/huge.bin").c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, "TAILMARK", 8, huge - 8), 8);
        close(fd);
    }
    auto server = Start({});
    ASSERT_EQ(Curl({"-o", "/dev/null", server->Url("/upd.exe")}).exitCode, 0);
    long before = PeakResidentKiB(server->Pid());
    ASSERT_GT(before, 0);

    Result r = Curl({"-o", "/dev/null", "-w", "%{size_download}", server->Url("/big.bin")});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, std::to_string(big));
    long after = PeakResidentKiB(server->Pid());
    EXPECT_LT(after - before, 32 * 1024)
        << "peak RSS grew from " << before << " to " << after << " KiB";

    Result head = Curl({"-I", server->Url("/huge.bin")});
    EXPECT_EQ(HeaderValue(head.output, "Content-Length"), std::to_string(huge));
    r = Curl({"-r", std::to_string(huge - 8) + "-", server->Url("/huge.bin")});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, "TAILMARK");
    EXPECT_EQ(server->Stop(), 0);
}

}  // namespace
}  // namespace ServerTest
