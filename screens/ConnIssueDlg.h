#pragma once
// Troubleshooting advice for connections, firewalls and proxy servers.

#include <string>
#include <vector>

#include "screens/ScreenFrame.h"

namespace Presentation {

class ConnIssueDlg : public ScreenFrame {
    Q_OBJECT
  public:
    explicit ConnIssueDlg(QWidget* parent = nullptr);

    static std::vector<std::string> ConnectionAdvice();  // list 1055
    static std::vector<std::string> FirewallAdvice();    // list 1056
    static std::vector<std::string> ProxyAdvice();       // list 1057

  protected:
    bool Initialise() override;
};

}  // namespace Presentation
