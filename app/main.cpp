// tessra-swm: the Software Manager program.
#include <QApplication>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "app/DLMgrApp.h"
#include "app/Installation.h"
#include "app/QtScreenFactory.h"
#include "platform/LinuxPlatform.h"
#include "platform/Transcript.h"
#include "screens/InstallRunner.h"
#include "screens/QtMessageBox.h"

DLMgrApp theApp;

namespace {

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

}  // namespace

int main(int argc, char** argv) {
    ChoosePlatformPlugin();
    Sys::Linux().SetArguments(argc, argv);

    // Qt is given only the program name: every word of the command line is
    // this program's, and none may be taken as a Qt option.
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    QApplication application(qtArgc, qtArgv);
    QApplication::setDesktopFileName("tessra-swm");  // name and icon from tessra-swm.desktop
    Presentation::InstallQtMessageBox();

    nlohmann::json arguments = nlohmann::json::array();
    for (int i = 0; i < argc; ++i) arguments.push_back(argv[i]);
    Sys::Transcript::Write("start",
                           {{"argv", arguments}, {"commandLine", Sys::Linux().CommandLine()}});

    App::QtScreenFactory screens;
    App::Installation installation;
    Presentation::SetInstallRunner(&installation);
    theApp.SetScreenFactory(&screens);
    theApp.InitInstance();
    Presentation::SetInstallRunner(nullptr);

    Sys::Transcript::Write("end", {{"status", 0}});
    return 0;
}
