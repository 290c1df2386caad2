#pragma once
// The confirmation shown when the user cancels a wizard screen.

#include "screens/ScreenFrame.h"

namespace Presentation {

class ResumeCancelDlg : public ScreenFrame {
    Q_OBJECT
  public:
    static const char* const kUpdateMessage;
    static const char* const kPurchaseMessage;

    explicit ResumeCancelDlg(QWidget* parent = nullptr);

  protected:
    bool Initialise() override;
};

}  // namespace Presentation
