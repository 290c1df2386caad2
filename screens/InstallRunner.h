#pragma once
// The installation that the finished screen's OK performs lives in app/;
// the screen calls it through this interface and offers its view to it.

#include <string>
#include <vector>

#include "download/InstallerCheck.h"

namespace Presentation {

// What the installation may do to the finished screen while it works.
class InstallView {
  public:
    virtual ~InstallView() = default;
    virtual void Minimise() = 0;
    virtual void Restore() = 0;  // shown normally again
    virtual void HideScreen() = 0;
    virtual void ShowScreen() = 0;
    virtual void HideAllControls() = 0;  // every control including buttons 1 and 2
    // Heading 1077 "Installing Tessra Updates" and text 1119 "This may take a moment. Please wait."
    virtual void ShowInstallingTexts(bool visible) = 0;
    virtual void Repaint() = 0;  // processes pending paint events
};

class InstallRunner {
  public:
    virtual ~InstallRunner() = default;
    // closeNow: radio 1108 was checked. installers: the complete downloads in
    // order, as the private copies made when they were checked.
    virtual void Install(InstallView& view, bool closeNow,
                         const std::vector<Transfer::VerifiedCopy>& installers) = 0;
};

// The process-wide runner the finished screen uses (set by the application).
InstallRunner* CurrentInstallRunner();
void SetInstallRunner(InstallRunner* runner);

}  // namespace Presentation
