// The update check's manifests go out together, over at most six connections,
// and end exactly as one by one: the same files, the same requests, the
// first failure in the list's order decides.

#include <httplib.h>

#include <algorithm>
#include <map>
#include <set>
#include <thread>

#include "tests/integration/download/Fixture.h"

namespace DownloadTest {
namespace {

using ConcurrentCheckTest = TransferFixture;

std::string ManifestOf(int index) {
    return "Product=P" + std::to_string(index) + "\nYEAR=2007\nVERSION=2\n";
}

// Serves /p<i>/ver.txt after `delay`; counts requests in flight at once and
// the connections they came over; /p<failing>/ver.txt answers as told.
class SlowServer {
  public:
    explicit SlowServer(std::chrono::milliseconds delay) {
        server_.Get(R"(/p(\d+)/ver\.txt)", [this, delay](const httplib::Request& request,
                                                         httplib::Response& response) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                maxInFlight_ = std::max(maxInFlight_, ++inFlight_);
                connections_.insert(request.remote_port);
                headers_.push_back(request.get_header_value("Cache-Control") + "|" +
                                   request.get_header_value("Pragma") + "|" +
                                   request.get_header_value("User-Agent") + "|" +
                                   request.get_header_value("Accept-Encoding") + "|" +
                                   request.get_header_value("Range"));
            }
            std::this_thread::sleep_for(delay);
            const int index = std::stoi(request.matches[1]);
            response.set_content(index == failing && failure ? failure(index) : ManifestOf(index),
                                 "text/plain");
            if (index == failing && failure && failure(index).empty()) response.status = 404;
            std::lock_guard<std::mutex> lock(mutex_);
            --inFlight_;
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~SlowServer() {
        server_.stop();
        thread_.join();
    }
    std::string Url(int index) const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/p" + std::to_string(index) +
               "/ver.txt";
    }
    int MaxInFlight() {
        std::lock_guard<std::mutex> lock(mutex_);
        return maxInFlight_;
    }
    size_t Connections() {
        std::lock_guard<std::mutex> lock(mutex_);
        return connections_.size();
    }
    std::vector<std::string> Headers() {
        std::lock_guard<std::mutex> lock(mutex_);
        return headers_;
    }

    int failing = -1;
    std::function<std::string(int)> failure;  // its body; empty: 404

  private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    std::mutex mutex_;
    int inFlight_ = 0, maxInFlight_ = 0;
    std::set<int> connections_;
    std::vector<std::string> headers_;
};

class Check {
  public:
    Check(const SlowServer& server, const std::string& folder, int count) {
        for (int i = 0; i < count; ++i) {
            Data::DownloadItem item;
            item.url = server.Url(i);
            item.localPath = folder + "/p" + std::to_string(i) + "/ver.txt";
            item.productCode = "P" + std::to_string(i);
            list.AppendItem(item);
        }
        list.SetValue("prom", "PR");
        list.SetValue("camp", "CA");
    }
    // One by one is the way RunList fetches a list with progress records.
    bool Run(bool oneByOne) {
        Transfer::DownloadWorker worker;
        worker.list = &list;
        worker.notify = oneByOne;
        return Transfer::RunList(worker);
    }
    Data::DownloadList list;
};

// Every file of the folder and its text; "" for none.
std::map<std::string, std::string> Files(const std::string& folder, int count) {
    std::map<std::string, std::string> out;
    for (int i = 0; i < count; ++i) {
        const std::string path = folder + "/p" + std::to_string(i) + "/ver.txt";
        out[path.substr(folder.size())] = fs::exists(path) ? ReadFile(path) : "";
    }
    return out;
}

TEST_F(ConcurrentCheckTest, ManifestsGoOutTogetherOverAtMostSixConnections) {
    SlowServer server(std::chrono::milliseconds(200));
    Check check(server, local.Path(), 12);
    EXPECT_TRUE(check.Run(false));
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(ReadFile(local / ("p" + std::to_string(i) + "/ver.txt")), ManifestOf(i));
    EXPECT_GT(server.MaxInFlight(), 1);
    EXPECT_LE(server.Connections(), 6u);
    const std::vector<std::string> headers = server.Headers();
    ASSERT_EQ(headers.size(), 12u);
    for (const std::string& h : headers)
        EXPECT_EQ(h, "no-cache|no-cache|TessraSWM PR CA|identity|") << h;
}

// A failure anywhere in the list ends the check as one by one does: the
// items before it written, its own file as one by one leaves it, the items
// after it untouched (an older copy stays, a missing one stays missing).
TEST_F(ConcurrentCheckTest, TheFirstFailureInTheListsOrderDecidesAsOneByOne) {
    constexpr int kCount = 7;
    struct Case {
        const char* name;
        int failing;
        std::function<std::string(int)> failure;
        const char* failedFile;  // what the failing item leaves; "" none
    } cases[] = {
        {"all good", -1, nullptr, ""},
        {"missing in the middle", 3, [](int) { return std::string(); }, ""},
        {"no product line in the middle", 3, [](int) { return std::string("<html>\n"); },
         "<html>\n"},
        {"too long in the middle", 3,
         [](int i) { return ManifestOf(i) + std::string(Transfer::kTextDownloadLimit, 'x'); }, ""},
        {"the first fails", 0, [](int) { return std::string(); }, ""},
        {"the last fails", kCount - 1, [](int) { return std::string(); }, ""},
    };
    SlowServer server(std::chrono::milliseconds(0));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.failing = c.failing;
        server.failure = c.failure;
        std::map<std::string, std::string> outcome[2];
        bool result[2];
        for (const bool oneByOne : {true, false}) {
            TempDir folder;
            // Older copies of some, none of the others.
            for (int i = 0; i < kCount; i += 2)
                WriteFile(folder / ("p" + std::to_string(i) + "/ver.txt"), "older\n");
            Check check(server, folder.Path(), kCount);
            result[oneByOne] = check.Run(oneByOne);
            outcome[oneByOne] = Files(folder.Path(), kCount);
        }
        EXPECT_EQ(result[false], result[true]);
        EXPECT_EQ(outcome[false], outcome[true]);
        EXPECT_EQ(result[false], c.failing < 0);
        for (int i = 0; i < kCount; ++i) {
            const std::string name = "/p" + std::to_string(i) + "/ver.txt";
            if (c.failing < 0 || i < c.failing)
                EXPECT_EQ(outcome[false][name], ManifestOf(i)) << name;
            else if (i > c.failing)
                EXPECT_EQ(outcome[false][name], i % 2 == 0 ? "older\n" : "") << name;
            else
                EXPECT_EQ(outcome[false][name], c.failedFile) << name;
        }
    }
    EXPECT_TRUE(Messages().empty());
}

}  // namespace
}  // namespace DownloadTest
