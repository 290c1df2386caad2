// Tessra.exe: a small stand-in for the tax program, to show the Software
// Manager at work. It keeps the installed products in a state file in the
// per-user data folder, writes the request file and ts07.cfg, and starts
// tessra-swm (from its own folder) for the four tasks.
//
//   Tessra.exe [/N SERVER] [/mru] [--click ACTION] [--write-request]
//
// The Software Manager starts it again with " /N SERVER /mru" (or " /mru").
// It closes on a window close request and on SIGTERM.

#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QFile>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <memory>

#include "tools/tessra-demo/DemoHome.h"
#include "tools/tessra-demo/TessraWindow.h"

namespace {

int g_signalPipe[2] = {-1, -1};

void OnSignal(int signal) {
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] ssize_t written = write(g_signalPipe[1], &byte, 1);
}

}  // namespace

int main(int argc, char** argv) {
    // The Software Manager hands its parameters over as one text or as
    // separate arguments; read them as words either way.
    QStringList words;
    for (int i = 1; i < argc; ++i) {
        words << QString::fromLocal8Bit(argv[i]).split(QRegularExpression("\\s+"),
                                                       Qt::SkipEmptyParts);
    }
    Demo::Options options;
    options.unattended = qEnvironmentVariable("TESSRA_DEMO_UNATTENDED") == "1";
    bool writeRequestOnly = false;
    for (qsizetype i = 0; i < words.size(); ++i) {
        const QString& word = words[i];
        if (word == "/N" && i + 1 < words.size()) {
            options.server = words[++i];
            options.server.remove('"');
        } else if (word == "/mru") {
            options.mru = true;
        } else if (word == "--click" && i + 1 < words.size()) {
            options.click = words[++i];
        } else if (word == "--write-request") {
            writeRequestOnly = true;
        } else if (word == "--help" || word == "-h") {
            std::printf(
                "usage: Tessra.exe [/N SERVER] [/mru] [--click ACTION] [--write-request]\n"
                "  ACTION: update | alert | buy[:CODE] | reinstall[:CODE,CODE...] | proxy\n"
                "  --write-request: write the request file for the installed products and exit\n");
            return 0;
        }
    }

    if (writeRequestOnly) {
        // Without a window, for scripts and tests.
        Demo::StateFile state(Demo::UserDataFolder() + "/demo-state.cfg");
        if (!state.Load()) {
            std::fprintf(stderr, "Tessra.exe: cannot read %s\n", qPrintable(state.Path()));
            return 1;
        }
        auto valueOr = [&](const char* key, const char* fallback) {
            const QString value = state.Value(key);
            return value.isEmpty() ? QString(fallback) : value;
        };
        QFile file(Demo::UserDataFolder() + "/download.cfg");
        if (!file.open(QIODevice::WriteOnly) ||
            file.write(Demo::RequestText(valueOr("edition", "premium"), valueOr("prom", "TSRA"),
                                         valueOr("camp", "200701"), state.Products())
                           .toUtf8()) < 0) {
            std::fprintf(stderr, "Tessra.exe: cannot write %s\n", qPrintable(file.fileName()));
            return 1;
        }
        std::printf("%s\n", qPrintable(file.fileName()));
        return 0;
    }

    QApplication app(argc, argv);
    app.setApplicationName("Tessra");

    // SIGTERM (the Software Manager's close request where no display
    // answers) closes the window like its close box does.
    const bool signalPipe = socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) == 0;
    if (signalPipe) {
        struct sigaction action {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);
    }

    Demo::TessraWindow window(options);
    std::unique_ptr<QSocketNotifier> notifier;
    if (signalPipe) {
        notifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, &window, [&window] {
            char byte = 0;
            [[maybe_unused]] ssize_t got = read(g_signalPipe[0], &byte, 1);
            window.CloseFor(byte == SIGINT ? "SIGINT" : "SIGTERM");
        });
    }
    window.show();
    return app.exec();
}
