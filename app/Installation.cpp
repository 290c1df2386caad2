#include "app/Installation.h"

#include "app/Launch.h"
#include "app/Processes.h"
#include "data/ProgramSettings.h"
#include "platform/Platform.h"

namespace App {

void Installation::Install(Presentation::InstallView& view, bool closeNow,
                           const std::vector<std::string>& installerPaths) {
    // Read afresh: the screen may have been open for a long time.
    bool elevation = Sys::Current().ElevationFlag();
    if (closeNow)
        CloseNowWay(view, elevation, installerPaths);
    else
        WaitWay(view, elevation, installerPaths);
}

void Installation::CloseNowWay(Presentation::InstallView& view, bool elevation,
                               const std::vector<std::string>& installerPaths) {
    if (!elevation) view.Minimise();
    CloseRunningProgram(kTaxProgramName);
    if (!elevation) view.Restore();
    view.Repaint();
    if (elevation) {
        view.HideAllControls();
        view.ShowInstallingTexts(true);
        view.Repaint();
    }
    // Before the first installer, so the tax program learns of it even if one fails.
    Data::MarkProgramUpdated(Data::ProgramSettingsPath());
    auto repaint = [&view] { view.Repaint(); };
    for (const auto& path : installerPaths) {
        if (!elevation) view.Minimise();
        RunAndWait(path, kUpdateInstallerParameters, kShow, repaint);
        if (!elevation) view.Restore();
        view.Repaint();
    }
    LaunchTaxProgram();
}

void Installation::WaitWay(Presentation::InstallView& view, bool elevation,
                           const std::vector<std::string>& installerPaths) {
    view.HideAllControls();
    view.ShowInstallingTexts(false);
    view.HideScreen();
    // Nothing is closed or brought to the front: the user closes the tax program.
    WaitForProgramExit(kTaxProgramName, kInstallWaitNotice);
    if (elevation) {
        Sys::Current().ShowMessage(kInstallUpdatesText, kInstallUpdatesTitle);
        if (installerPaths.size() > 1) {
            view.ShowInstallingTexts(true);
            view.ShowScreen();
        }
    }
    Data::MarkProgramUpdated(Data::ProgramSettingsPath());
    auto repaint = [&view] { view.Repaint(); };
    for (const auto& path : installerPaths)
        RunAndWait(path, kUpdateInstallerParameters, kShow, repaint);
}

}  // namespace App
