#pragma once
// The first screen of the update wizard; Next runs the update check.

#include "data/DownloadList.h"
#include "screens/ScreenFrame.h"

namespace Presentation {

class WelcomeDlg : public ScreenFrame {
    Q_OBJECT
  public:
    explicit WelcomeDlg(Data::DownloadList& check, QWidget* parent = nullptr);

  protected:
    bool Initialise() override;
    void OnOK() override;  // 1 when the check succeeded, 4 when it failed
    bool AsksConfirmation() const override { return true; }

  private:
    Data::DownloadList& check_;
};

// Runs the update check on the calling thread, without progress records; the
// screen takes no input meanwhile. True when every item was fetched.
bool RunUpdateCheck(QWidget* screen, Data::DownloadList& check);

}  // namespace Presentation
