#pragma once
// Asks for the user name and password of a proxy that wants them, in the
// program's own frame: the proxy's "host:port", a line when the last ones were
// refused, "Remember" (the desktop's secret store keeps them), Try Again and
// Cancel. The password field's text never reaches the transcript.

#include <optional>
#include <string>

#include "platform/Platform.h"
#include "screens/ScreenFrame.h"

class QLineEdit;

namespace Presentation {

class ProxyAuthDlg : public ScreenFrame {
    Q_OBJECT
  public:
    enum Id {
        kPrompt = 1170,
        kRefused = 1171,
        kUserLabel = 1172,
        kUser = 1173,
        kPasswordLabel = 1174,
        kPassword = 1175,
        kRemember = 1176,
    };

    ProxyAuthDlg(const std::string& hostPort, bool refused, const std::string& user,
                 QWidget* parent = nullptr);

    // What was typed, once the screen ended with OK (Try Again).
    Sys::ProxyCredentials Credentials() const;

  protected:
    bool Initialise() override;
    void OnOK() override;

  private:
    QLineEdit* user_;
    QLineEdit* password_;
    bool refused_;
};

// Shows the screen for the platform's AskProxyCredentials, always on the UI
// thread (a worker waits for the answer). Call once after the QApplication exists.
void InstallProxyCredentialsDialog();

}  // namespace Presentation
