// Start-up, arguments and stopping on signals.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/integration/server/ServerProcess.h"
#include "tests/integration/server/ServerTestSupport.h"

namespace ServerTest {
namespace {

TEST(Lifecycle, StopsCleanlyOnTermAndInterrupt) {
    TempDir dir;
    WriteFile(dir / "root/ver.txt", "PRODUCT=fed\n");
    for (int sig : {SIGTERM, SIGINT}) {
        ServerProcess server({"--root", dir / "root", "--log", dir / "log"});
        ASSERT_TRUE(server.Start()) << server.Error();

        // One connection that never sends a request, one idle after a kept-alive answer.
        int silent = Connect(server.Port());
        int idle = Connect(server.Port());
        ASSERT_GE(silent, 0);
        ASSERT_GE(idle, 0);
        std::string request = "GET /ver.txt HTTP/1.1\r\nHost: x\r\n\r\n";
        ASSERT_EQ(send(idle, request.data(), request.size(), 0),
                  static_cast<ssize_t>(request.size()));
        std::string answer;
        pollfd p{idle, POLLIN, 0};
        while (answer.find("PRODUCT=fed\n") == std::string::npos && poll(&p, 1, 5000) > 0) {
            char buf[1024];
            ssize_t n = recv(idle, buf, sizeof buf, 0);
            if (n <= 0) break;
            answer.append(buf, static_cast<size_t>(n));
        }
        ASSERT_NE(answer.find("PRODUCT=fed\n"), std::string::npos) << answer;
        EXPECT_EQ(answer.find("Connection: close"), std::string::npos);  // still open

        EXPECT_TRUE(server.Running());
        EXPECT_EQ(server.Stop(sig, std::chrono::seconds(5)), 0) << "signal " << sig;
        std::string rest;
        EXPECT_TRUE(ReadsToEnd(silent, rest));
        EXPECT_TRUE(ReadsToEnd(idle, rest));
        close(silent);
        close(idle);
    }
}

TEST(Lifecycle, RefusesBadArguments) {
    TempDir dir;
    WriteFile(dir / "root/ver.txt", "PRODUCT=fed\n");
    const std::string bin = ServerProcess::DefaultBinary();
    const std::string root = dir / "root";
    for (const auto& args :
         std::vector<std::vector<std::string>>{{},
                                               {"--root"},
                                               {"--root", dir / "missing"},
                                               {"--root", root + "/ver.txt"},
                                               {"--root", root, "--port", "70000"},
                                               {"--root", root, "--port", "-1"},
                                               {"--root", root, "--throttle", "0"},
                                               {"--root", root, "--stall-after", "many"},
                                               {"--root", root, "--status", "/ver.txt"},
                                               {"--root", root, "--status", "/ver.txt=99"},
                                               {"--root", root, "--status", "ver.txt=404"},
                                               {"--root", root, "--redirect", "/old"},
                                               {"--root", root, "--redirect", "old=/new"},
                                               {"--root", root, "--ignore-range=yes"},
                                               {"--root", root, "--unknown"}}) {
        std::vector<std::string> cmd{bin};
        cmd.insert(cmd.end(), args.begin(), args.end());
        Result r = RunCommand(cmd);
        std::string shown;
        for (const auto& a : args) shown += a + " ";
        EXPECT_EQ(r.exitCode, 2) << shown;
        EXPECT_EQ(r.output, "") << shown;  // nothing that looks like a port announcement
    }
    Result help = RunCommand({bin, "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.output.find("--stall-after"), std::string::npos);
    Result version = RunCommand({bin, "--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.output.rfind("tessra-update-server ", 0), 0u) << version.output;

    // A log that cannot be opened, a port that is taken: no announcement, failure.
    EXPECT_EQ(RunCommand({bin, "--root", root, "--log", dir / "no/such/folder/log"}).exitCode, 1);
    ServerProcess first({"--root", root});
    ASSERT_TRUE(first.Start()) << first.Error();
    Result taken = RunCommand({bin, "--root", root, "--port", std::to_string(first.Port())});
    EXPECT_EQ(taken.exitCode, 1);
    EXPECT_EQ(taken.output, "");
    EXPECT_EQ(first.Stop(), 0);
}

}  // namespace
}  // namespace ServerTest
