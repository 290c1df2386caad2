#pragma once
// The last screen of the update wizard: checks each download against the
// manifest's size and either offers the two ways to install (success) or
// lists what failed (failure). OK hands the installation to the runner.

#include <string>
#include <vector>

#include "data/Manifest.h"
#include "screens/InstallRunner.h"
#include "screens/ScreenFrame.h"

namespace Presentation {

class FinishedDlg : public ScreenFrame, public InstallView {
    Q_OBJECT
  public:
    enum class Variant { Success, Failure };

    explicit FinishedDlg(const Data::EntryList& updates, QWidget* parent = nullptr);

    Variant ShownVariant() const { return failureVariant_ ? Variant::Failure : Variant::Success; }
    // Complete downloads, in order, that OK installs.
    const std::vector<Transfer::VerifiedCopy>& Installers() const { return installers_; }

    // InstallView
    void Minimise() override;
    void Restore() override;
    void HideScreen() override;
    void ShowScreen() override;
    void HideAllControls() override;
    void ShowInstallingTexts(bool visible) override;
    void Repaint() override;

  protected:
    bool Initialise() override;
    void OnOK() override;
    bool AsksConfirmation() const override { return true; }

  private:
    void ChooseCloseNow();
    void ChooseWait();
    void ShowSuccess();
    void ShowFailure();

    const Data::EntryList& updates_;
    std::vector<Transfer::VerifiedCopy> installers_;
    bool failure_ = false;         // a download other than the help files is incomplete
    bool failureVariant_ = false;  // OK then only closes the screen
};

// Where the progress screen stored the download of an entry.
std::string InstallerPath(const Data::UpdateEntry& entry);

}  // namespace Presentation
