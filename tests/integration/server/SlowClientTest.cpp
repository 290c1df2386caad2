// Clients that are slow to send their request, or send nothing, against everyone else.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/integration/server/ServerProcess.h"
#include "tests/integration/server/ServerTestSupport.h"

namespace ServerTest {
namespace {

using Clock = std::chrono::steady_clock;

class SlowClients : public ::testing::Test {
  protected:
    void SetUp() override {
        WriteFile(dir_ / "root/ver.txt", "PRODUCT=fed\n");
        server_ =
            std::make_unique<ServerProcess>(std::vector<std::string>{"--root", dir_ / "root"});
        ASSERT_TRUE(server_->Start()) << server_->Error();
    }
    void TearDown() override {
        for (int fd : fds_) close(fd);
        EXPECT_EQ(server_->Stop(), 0);
    }

    int Open() {
        int fd = Connect(server_->Port());
        if (fd >= 0) fds_.push_back(fd);
        return fd;
    }

    // Sends the request and reads until the server closes (at most 20 s).
    std::string Exchange(int fd, const std::string& request) {
        EXPECT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(request.size()));
        std::string got;
        ReadsToEnd(fd, got, 20000);
        return got;
    }

    TempDir dir_;
    std::unique_ptr<ServerProcess> server_;
    std::vector<int> fds_;
};

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST_F(SlowClients, OthersAreAnsweredAtOnceAndTheSlowAreCutOff) {
    // 100 clients that send a byte a second of a head that never ends, 16 that send nothing.
    std::vector<int> slow, silent;
    for (int i = 0; i < 100; ++i) slow.push_back(Open());
    for (int i = 0; i < 16; ++i) silent.push_back(Open());
    for (int fd : slow) ASSERT_GE(fd, 0);
    for (int fd : silent) ASSERT_GE(fd, 0);
    auto opened = Clock::now();
    std::atomic<bool> dripping{true};
    std::thread drip([&] {
        const std::string head = "GET /ver.txt HTTP/1.1\r\nX-Pad: ";
        for (size_t i = 0; dripping; ++i) {
            char byte = i < head.size() ? head[i] : 'a';
            for (int fd : slow) send(fd, &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            for (int step = 0; step < 10 && dripping; ++step)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));

    auto asked = Clock::now();
    std::string answer = Exchange(Open(), "GET /ver.txt HTTP/1.1\r\nConnection: close\r\n\r\n");
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked);
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
    EXPECT_NE(answer.find("\r\n\r\nPRODUCT=fed\n"), std::string::npos) << answer;
    EXPECT_LT(took.count(), 1000) << "a GET beside 116 slow clients took " << took.count() << " ms";
    std::printf("GET answered in %lld ms beside 116 slow clients\n",
                static_cast<long long>(took.count()));

    // Every slow and silent connection is closed once its head time-out is over.
    for (int fd : slow) {
        std::string ignored;
        EXPECT_TRUE(ReadsToEnd(fd, ignored, 15000));
    }
    for (int fd : silent) {
        std::string ignored;
        EXPECT_TRUE(ReadsToEnd(fd, ignored, 15000));
    }
    auto closedAfter = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - opened);
    EXPECT_GE(closedAfter.count(), 4000) << "cut off before the head time-out";
    dripping = false;
    drip.join();
}

TEST_F(SlowClients, HeadsInPiecesAndPipelinedRequestsAreAnswered) {
    int fd = Open();
    ASSERT_GE(fd, 0);
    std::string first = "GET /ver.txt HTTP/1.1\r\nHost: x\r\n";
    ASSERT_EQ(send(fd, first.data(), first.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(first.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::string answer = Exchange(fd,
                                  "\r\nGET /ver.txt HTTP/1.1\r\nRange: bytes=8-\r\n\r\n"
                                  "GET /missing HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(Count(answer, "HTTP/1.1 200 OK\r\n"), 1u) << answer;
    EXPECT_EQ(Count(answer, "HTTP/1.1 206 Partial Content\r\n"), 1u) << answer;
    EXPECT_EQ(Count(answer, "HTTP/1.1 404 Not Found\r\n"), 1u) << answer;
    EXPECT_LT(answer.find("200 OK"), answer.find("206 Partial"));
    EXPECT_LT(answer.find("206 Partial"), answer.find("404 Not"));
}

}  // namespace
}  // namespace ServerTest
