// tessra-update-server: serves a folder over HTTP for tests and demos; see
// docs/man/tessra-update-server.1.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "ServerOptions.h"
#include "UpdateServer.h"

int main(int argc, char** argv) {
    using namespace UpdateSrv;
    std::vector<std::string> args(argv, argv + argc);
    ServerOptions options;
    std::string error;
    switch (ParseOptions(args, options, error)) {
        case ParseResult::Help:
            std::fputs(UsageText().c_str(), stdout);
            return 0;
        case ParseResult::Error:
            std::fprintf(stderr, "tessra-update-server: %s\n%s", error.c_str(),
                         UsageText().c_str());
            return 2;
        case ParseResult::Run:
            break;
    }

    // Termination signals are taken by a watcher thread with sigwait, so the stop runs in
    // ordinary thread context. Block them before any thread exists so every thread inherits it.
    // SIGUSR1 only wakes the watcher when the server ends on its own.
    // A disposition of SIG_IGN inherited from the parent would discard them before sigwait.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    UpdateServer server(std::move(options));
    if (!server.Open(error)) {
        std::fprintf(stderr, "tessra-update-server: %s\n", error.c_str());
        return 1;
    }
    std::printf("listening on %d\n", server.Port());
    std::fflush(stdout);

    std::thread watcher([&] {
        int sig = 0;
        while (sigwait(&signals, &sig) == 0) {
            if (sig == SIGTERM || sig == SIGINT) server.Stop();
            return;
        }
    });
    bool ok = server.Run();
    pthread_kill(watcher.native_handle(), SIGUSR1);
    watcher.join();
    if (!ok) {
        std::fprintf(stderr, "tessra-update-server: serving failed\n");
        return 1;
    }
    return 0;
}
