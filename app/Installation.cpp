#include "app/Installation.h"

#include "app/Launch.h"
#include "app/Processes.h"
#include "data/ProgramSettings.h"
#include "platform/Platform.h"

namespace App {

void Installation::Install(Presentation::InstallView& view, bool closeNow,
                           const std::vector<Transfer::VerifiedCopy>& installers) {
    // Read afresh: the screen may have been open for a long time.
    bool elevation = Sys::Current().ElevationFlag();
    if (closeNow)
        CloseNowWay(view, elevation, installers);
    else
        WaitWay(view, elevation, installers);
}

void Installation::CloseNowWay(Presentation::InstallView& view, bool elevation,
                               const std::vector<Transfer::VerifiedCopy>& installers) {
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
    for (const auto& installer : installers) {
        if (!elevation) view.Minimise();
        RunVerifiedAndWait(installer, kUpdateInstallerParameters, kShow, repaint);
        if (!elevation) view.Restore();
        view.Repaint();
    }
    LaunchTaxProgram();
}

void Installation::WaitWay(Presentation::InstallView& view, bool elevation,
                           const std::vector<Transfer::VerifiedCopy>& installers) {
    view.HideAllControls();
    view.ShowInstallingTexts(false);
    view.HideScreen();
    // Nothing is closed or brought to the front: the user closes the tax program.
    WaitForProgramExit(kTaxProgramName, kInstallWaitNotice);
    if (elevation) {
        Sys::Current().ShowMessage(kInstallUpdatesText, kInstallUpdatesTitle);
        if (installers.size() > 1) {
            view.ShowInstallingTexts(true);
            view.ShowScreen();
        }
    }
    Data::MarkProgramUpdated(Data::ProgramSettingsPath());
    auto repaint = [&view] { view.Repaint(); };
    for (const auto& installer : installers)
        RunVerifiedAndWait(installer, kUpdateInstallerParameters, kShow, repaint);
}

}  // namespace App
