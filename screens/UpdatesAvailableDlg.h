#pragma once
// The result of the update check: the programs with an update (with the
// estimated download time) and the programs that are up to date.

#include "data/Manifest.h"
#include "screens/ScreenFrame.h"

class QLabel;

namespace Presentation {

class ListBox;

class UpdatesAvailableDlg : public ScreenFrame {
    Q_OBJECT
  public:
    UpdatesAvailableDlg(const Data::EntryList& updates, const Data::EntryList& current,
                        QWidget* parent = nullptr);

  protected:
    bool Initialise() override;
    bool AsksConfirmation() const override { return true; }

  private:
    const Data::EntryList& updates_;
    const Data::EntryList& current_;
};

// Lists the updates (the help files marked optional) and sets the two
// estimates from their running total. Returns the number of lines added.
int ListUpdates(ListBox& list, QLabel& dialUp, QLabel& broadband, const Data::EntryList& updates);

}  // namespace Presentation
