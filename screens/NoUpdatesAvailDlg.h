#pragma once
// Either "All Programs Current" with the expected release dates, or an alert
// the maker publishes, with "Do not show me this particular alert again".
// The screen declines to appear for an alert the user asked not to see again
// and for an alert-mode answer that carries no alert.

#include "data/Manifest.h"
#include "screens/ScreenFrame.h"

namespace Presentation {

class NoUpdatesAvailDlg : public ScreenFrame {
    Q_OBJECT
  public:
    explicit NoUpdatesAvailDlg(const Data::EntryList& entries, QWidget* parent = nullptr);

    bool IsAlert() const { return alert_; }

  protected:
    bool Initialise() override;

  private:
    void RememberChoice(bool doNotShow);

    const Data::EntryList& entries_;
    bool alert_ = false;
};

// The do-not-show-again and no-alert rules for the first entry: true when the
// screen must not appear.
bool SuppressedAlert(const Data::UpdateEntry& first);

}  // namespace Presentation
