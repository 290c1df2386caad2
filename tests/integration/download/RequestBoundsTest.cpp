// What a hostile server cannot make the transfer do: leave plain web
// requests through a redirect, loop on redirects, or fill memory and disk
// with an endless text answer; and the folders it creates stay closed to
// other users.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "tests/integration/download/Fixture.h"

namespace DownloadTest {
namespace {

using RequestBoundsTest = TransferFixture;

// A port on 127.0.0.1 that counts the connections made to it and closes each
// at once: where a refused scheme would have gone.
class CountingPort {
  public:
    CountingPort() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
            ::listen(fd_, 8) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            while (!stop_) {
                pollfd p{fd_, POLLIN, 0};
                if (::poll(&p, 1, 50) != 1) continue;
                int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (client < 0) continue;
                ++connections_;
                ::close(client);
            }
        });
    }
    ~CountingPort() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    int Port() const { return port_; }
    int Connections() const { return connections_; }

  private:
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

TEST_F(RequestBoundsTest, OnlyHttpIsRequestedAndRedirectsAreBounded) {
    CountingPort other;
    ASSERT_GT(other.Port(), 0);
    const std::string elsewhere = "ftp://127.0.0.1:" + std::to_string(other.Port()) + "/upd.exe";
    const std::string source = RandomBytes(40000, 31);
    WriteFile(root / "upd.exe", source);
    StartServer({"--redirect", "/moved.exe=/upd.exe", "--redirect", "/ftp.exe=" + elsewhere,
                 "--redirect", "/loop.exe=/loop.exe"});

    struct Case {
        std::string name, url;
        int problem;  // 0: the download succeeds
    } cases[] = {
        {"moved", Server().Url("/moved.exe"), 0},
        {"redirect to ftp", Server().Url("/ftp.exe"), 1},
        {"ftp address", elsewhere, 1},
        {"redirect loop", Server().Url("/loop.exe"), 47},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        platform.messages.clear();
        const std::string path = local / (c.name + ".exe");
        Data::DownloadItem item = Item("/", path, 40000);
        item.url = c.url;
        Data::DownloadList list;
        list.AppendItem(item);
        EXPECT_EQ(Run(list), c.problem == 0);
        auto messages = Messages();
        if (c.problem == 0) {
            EXPECT_TRUE(messages.empty());
            EXPECT_TRUE(ReadFile(path) == source);
        } else {
            ASSERT_EQ(messages.size(), 1u);
            EXPECT_NE(messages[0].text.find("Problem number (" + std::to_string(c.problem) + ")"),
                      std::string::npos)
                << messages[0].text;
            EXPECT_FALSE(fs::exists(path));
        }
    }
    EXPECT_EQ(other.Connections(), 0);
    // The first request and 20 redirects followed.
    EXPECT_EQ(RequestsFor("/loop.exe", 21).size(), 21u);
}

TEST_F(RequestBoundsTest, TextAnswersEndAt64KiB) {
    const std::string head = "Product=US\nVERSION=4\n";
    WriteFile(root / "fits.txt", head + std::string(65536 - head.size(), '\n'));
    WriteFile(root / "long.txt", head + std::string(65537 - head.size(), '\n'));
    WriteFile(root / "huge.txt", head + std::string(8 << 20, '\n'));
    StartServer();

    struct Case {
        const char* served;
        bool progress;
        bool passes;
    } cases[] = {
        {"/fits.txt", false, true}, {"/long.txt", false, false}, {"/huge.txt", false, false},
        {"/fits.txt", true, true},  {"/huge.txt", true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.served) + (c.progress ? " with progress" : ""));
        const std::string path = local / "ver.txt";
        Data::DownloadList list;
        list.AppendItem(Item(c.served, path, 0));
        RecordingSink sink;
        Transfer::DownloadWorker worker;
        worker.list = &list;
        worker.notify = c.progress;
        worker.sink = &sink;
        EXPECT_EQ(Transfer::RunList(worker), c.passes);
        // What was refused is not left behind for a reader.
        if (c.passes)
            EXPECT_EQ(fs::file_size(path), 65536u);
        else
            EXPECT_FALSE(fs::exists(path));
    }
    EXPECT_TRUE(Messages().empty());  // failed text downloads are silent
}

TEST_F(RequestBoundsTest, CreatedFoldersAreNotWritableByOthers) {
    WriteFile(root / "ver.txt", "Product=US\n");
    StartServer();
    const mode_t old = ::umask(0);
    Data::DownloadList list;
    list.AppendItem(Item("/ver.txt", local / "Tessra/2007/Downloads/ver.txt", 0));
    const bool fetched = Run(list);
    ::umask(old);
    EXPECT_TRUE(fetched);
    for (const char* folder : {"Tessra", "Tessra/2007", "Tessra/2007/Downloads"}) {
        struct stat st {};
        ASSERT_EQ(::stat((local / folder).c_str(), &st), 0) << folder;
        EXPECT_EQ(st.st_mode & 07777, 0755u) << folder;
    }
    struct stat st {};
    ASSERT_EQ(::stat((local / "Tessra/2007/Downloads/ver.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0022, 0u);
}

}  // namespace
}  // namespace DownloadTest
