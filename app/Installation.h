#pragma once
// What the finished screen's OK does: gets the tax program out of the way,
// marks its settings as updated, runs each installer in turn and, in the
// close-now way, starts the tax program again.

#include "screens/InstallRunner.h"

namespace App {

inline constexpr const char* kInstallUpdatesText =
    "We will now install your update(s).\n\n          Click OK to continue.";
inline constexpr const char* kInstallUpdatesTitle = "Install Updates";
// Told while the wait way waits, with the screen hidden, for the user to close the tax program.
inline constexpr const char* kInstallWaitNotice =
    "Your updates are downloaded. They will be installed when you close Tessra.";
// Parameters of every update installer: /v/passive in double quotes.
inline constexpr const char* kUpdateInstallerParameters = "\"/v/passive\"";

class Installation : public Presentation::InstallRunner {
  public:
    void Install(Presentation::InstallView& view, bool closeNow,
                 const std::vector<Transfer::VerifiedCopy>& installers) override;

  private:
    void CloseNowWay(Presentation::InstallView& view, bool elevation,
                     const std::vector<Transfer::VerifiedCopy>& installers);
    void WaitWay(Presentation::InstallView& view, bool elevation,
                 const std::vector<Transfer::VerifiedCopy>& installers);
};

}  // namespace App
