#pragma once
// Shown when the update check cannot reach the server: Try Again, the Update
// Center in the browser, or the troubleshooting advice.

#include "data/DownloadList.h"
#include "screens/ScreenFrame.h"

namespace Presentation {

class NoNetworkDlg : public ScreenFrame {
    Q_OBJECT
  public:
    explicit NoNetworkDlg(Data::DownloadList& check, QWidget* parent = nullptr);

  protected:
    bool Initialise() override;
    void OnOK() override;  // Try Again: 1 when the check succeeded, 4 when it failed
    bool AsksConfirmation() const override { return true; }

  private:
    void OpenUpdateCenter();
    void ShowTroubleshooting();

    Data::DownloadList& check_;
};

}  // namespace Presentation
