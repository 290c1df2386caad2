// tessra-update-server: serves a folder over HTTP for tests and demos; see
// docs/man/tessra-update-server.1.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ServerOptions.h"
#include "UpdateServer.h"

namespace {
UpdateSrv::UpdateServer* gServer = nullptr;
}

int main(int argc, char** argv) {
    using namespace UpdateSrv;
    std::vector<std::string> args(argv, argv + argc);
    ServerOptions options;
    std::string error;
    switch (ParseOptions(args, options, error)) {
        case ParseResult::Help:
            std::fputs(UsageText().c_str(), stdout);
            return 0;
        case ParseResult::Version:
            std::printf("tessra-update-server %s\n", TESSRA_SWM_VERSION);
            return 0;
        case ParseResult::Error:
            std::fprintf(stderr, "tessra-update-server: %s\n%s", error.c_str(),
                         UsageText().c_str());
            return 2;
        case ParseResult::Run:
            break;
    }

    UpdateServer server(std::move(options));
    if (!server.Open(error)) {
        std::fprintf(stderr, "tessra-update-server: %s\n", error.c_str());
        return 1;
    }
    // Stop() only sets a flag and writes to a pipe, so the handler may call it directly.
    gServer = &server;
    struct sigaction stop {};
    stop.sa_handler = [](int) { gServer->Stop(); };
    sigemptyset(&stop.sa_mask);
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // Unblock them in case the parent left them blocked.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);

    std::printf("listening on %d\n", server.Port());
    std::fflush(stdout);
    if (!server.Run()) {
        std::fprintf(stderr, "tessra-update-server: serving failed\n");
        return 1;
    }
    return 0;
}
