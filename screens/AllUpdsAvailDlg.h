#pragma once
// The result of the update check when every program has an update.

#include "data/Manifest.h"
#include "screens/ScreenFrame.h"

namespace Presentation {

class AllUpdsAvailDlg : public ScreenFrame {
    Q_OBJECT
  public:
    explicit AllUpdsAvailDlg(const Data::EntryList& updates, QWidget* parent = nullptr);

  protected:
    bool Initialise() override;
    bool AsksConfirmation() const override { return true; }

  private:
    const Data::EntryList& updates_;
};

}  // namespace Presentation
