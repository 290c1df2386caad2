// tessra-swm: the Software Manager program.
#include <unistd.h>

#include <QApplication>
#include <QString>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/DLMgrApp.h"
#include "app/Flows.h"
#include "app/Installation.h"
#include "app/QtScreenFactory.h"
#include "platform/LinuxPlatform.h"
#include "platform/SupportLog.h"
#include "platform/Transcript.h"
#include "screens/DesktopNotify.h"
#include "screens/InstallRunner.h"
#include "screens/ProxyAuthDlg.h"
#include "screens/QtMessageBox.h"

DLMgrApp theApp;

namespace {

constexpr const char* kHelp =
    "usage: tessra-swm REQUEST_FILE /N SERVER                  update\n"
    "       tessra-swm /alert [/hide] REQUEST_FILE /N SERVER   alert, then update\n"
    "       tessra-swm http://SERVER/PATH/TessraCA.exe /purchase   purchase\n"
    "       tessra-swm -reinstall CA [NY ...]                  reinstall of states\n"
    "       tessra-swm --help | --version\n"
    "\n"
    "Tessra starts the Software Manager with one of these command lines. The words\n"
    "\"-reinstall\", \"alert\", \"hide\" and \"http\" are found anywhere in it, also inside\n"
    "folder names; switches that begin with \"/\" count where the \"/\" begins a word.\n"
    "The screens need a graphical session (DISPLAY or WAYLAND_DISPLAY).\n"
    "\n"
    "Environment:\n"
    "  TESSRA_APPDATA, TESSRA_COMMON_APPDATA  the per-user and all-users data folders\n"
    "  TESSRA_REGISTRY             the registry stand-in file\n"
    "  TESSRA_SWM_TRANSCRIPT=FILE  one JSON line per event of the run\n"
    "  TESSRA_SWM_AUTOPILOT=FILE   answers the screens (offscreen, no display needed)\n"
    "  TESSRA_SWM_LOG=0            no support log (else it is\n"
    "                              $XDG_STATE_HOME/tessra-swm/swm.log, by default\n"
    "                              ~/.local/state/tessra-swm/swm.log)\n"
    "\n"
    "See man tessra-swm.\n";

bool IsSet(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

// Unattended runs need no display unless one is asked for.
void ChoosePlatformPlugin() {
    if (!IsSet("TESSRA_SWM_AUTOPILOT") || IsSet("QT_QPA_PLATFORM")) return;
    const char* display = std::getenv("TESSRA_SWM_DISPLAY");
    if (display && std::strcmp(display, "1") == 0) return;
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

// A display to show the screens on, or a Qt platform that needs none.
bool GraphicalSession() {
    if (IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY")) return true;
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    std::string names = platform ? platform : "";
    for (size_t start = 0; start <= names.size();) {
        size_t end = names.find(';', start);
        if (end == std::string::npos) end = names.size();
        std::string name = names.substr(start, end - start);
        name = name.substr(0, name.find(':'));  // options follow a colon
        for (const char* headless :
             {"offscreen", "minimal", "minimalegl", "vnc", "linuxfb", "eglfs", "vkkhrdisplay"}) {
            if (name == headless) return true;
        }
        start = end + 1;
    }
    return false;
}

std::string LogHint() {
    std::string log = Sys::SupportLog::Path();
    return log.empty() ? "the support log is off (TESSRA_SWM_LOG=0)" : "see " + log;
}

// Watches the run's events: a run that ended with a status other than 0, or
// showed a message other than the confirmations before installing, or could
// not use a file it needed, has failed, and says where its events are.
class RunWatch {
  public:
    RunWatch() {
        Sys::Transcript::SetObserver([this](const nlohmann::json& event) { See(event); });
    }
    ~RunWatch() { Sys::Transcript::SetObserver(nullptr); }
    RunWatch(const RunWatch&) = delete;
    RunWatch& operator=(const RunWatch&) = delete;

    // The reason is already on stderr, with the log's place.
    void Reported() { reported_ = true; }

  private:
    void See(const nlohmann::json& event) {
        const std::string name = event.value("event", "");
        if (name == "message") {
            std::string title = event.value("title", "");
            if (title != App::kStateDownloadCompleteTitle && title != App::kInstallUpdatesTitle)
                failed_ = true;
        } else if (name == "file-problem" || name == "autopilot-error" || name == "proxy-auth") {
            failed_ = true;
        } else if (name == "end") {
            if (event.value("status", 0) != 0) failed_ = true;
            if (failed_ && !reported_)
                std::fprintf(stderr, "tessra-swm: the run ended with a problem; %s\n",
                             LogHint().c_str());
            reported_ = true;
        }
    }

    bool failed_ = false;
    bool reported_ = false;
};

[[noreturn]] void NoDisplay(RunWatch& watch) {
    std::fprintf(stderr,
                 "tessra-swm: needs a graphical session, and no display answers (DISPLAY, "
                 "WAYLAND_DISPLAY); %s\n",
                 LogHint().c_str());
    watch.Reported();
    Sys::Transcript::Write("no-display", {{"reason", "needs a graphical session"}});
    Sys::Transcript::Write("end", {{"status", 1}});
    std::fflush(nullptr);
    _exit(1);
}

// While QApplication starts, Qt's messages are held back: a display that
// does not answer ends in a fatal message (and an abort) inside Qt, which
// becomes the one-line refusal instead. Other messages are passed on after.
struct HeldMessage {
    QtMsgType type;
    std::string category;
    QString text;
};
RunWatch* gWatch = nullptr;
std::vector<HeldMessage>* gHeld = nullptr;

void HoldQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg) NoDisplay(*gWatch);
    gHeld->push_back({type, context.category ? context.category : "", text});
}

QApplication* StartQt(int& argc, char** argv, RunWatch& watch) {
    std::vector<HeldMessage> held;
    gWatch = &watch;
    gHeld = &held;
    QtMessageHandler previous = qInstallMessageHandler(&HoldQtMessage);
    auto* application = new QApplication(argc, argv);
    qInstallMessageHandler(previous);
    for (const HeldMessage& m : held) {
        QMessageLogContext context(nullptr, 0, nullptr, m.category.c_str());
        if (previous)
            previous(m.type, context, m.text);
        else
            std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(m.type, context, m.text)));
    }
    gHeld = nullptr;
    return application;
}

}  // namespace

int main(int argc, char** argv) {
    Sys::Linux().SetArguments(argc, argv);
    // Only the whole argument text: any other text is a request, as Tessra writes it.
    const std::string arguments = Sys::Linux().ArgumentText();
    if (arguments == "--help") {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (arguments == "--version") {
        std::printf("tessra-swm %s\n", TESSRA_SWM_VERSION);
        return 0;
    }

    ChoosePlatformPlugin();
    Sys::SupportLog::Enable(Sys::SupportLog::DefaultPath());
    RunWatch watch;

    nlohmann::json argvJson = nlohmann::json::array();
    for (int i = 0; i < argc; ++i) argvJson.push_back(argv[i]);
    Sys::Transcript::Write("start",
                           {{"argv", argvJson}, {"commandLine", Sys::Linux().CommandLine()}});
    if (!GraphicalSession()) NoDisplay(watch);

    // Qt is given only the program name: every word of the command line is
    // this program's, and none may be taken as a Qt option.
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    std::unique_ptr<QApplication> application(StartQt(qtArgc, qtArgv, watch));
    QApplication::setDesktopFileName("tessra-swm");  // name and icon from tessra-swm.desktop
    Presentation::InstallQtMessageBox();
    Presentation::InstallDesktopNotifications();
    Presentation::InstallProxyCredentialsDialog();

    App::QtScreenFactory screens;
    App::Installation installation;
    Presentation::SetInstallRunner(&installation);
    theApp.SetScreenFactory(&screens);
    theApp.InitInstance();
    Presentation::SetInstallRunner(nullptr);

    Sys::Transcript::Write("end", {{"status", 0}});
    return 0;
}
