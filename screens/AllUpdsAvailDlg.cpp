#include "screens/AllUpdsAvailDlg.h"

#include <QLabel>

#include "screens/ListBox.h"
#include "screens/PictureButton.h"
#include "screens/StaticLink.h"
#include "screens/UpdatesAvailableDlg.h"

namespace Presentation {

AllUpdsAvailDlg::AllUpdsAvailDlg(const Data::EntryList& updates, QWidget* parent)
    : ScreenFrame(parent, 313, 258, Banner::Large), updates_(updates) {
    AddText(1057, "Update Available", Dlu(10, 28, 293, 24));
    AddText(1058, "Updates are available for the following programs:", Dlu(10, 53, 293, 11));
    AddList(1055, Dlu(10, 65, 293, 66), true);
    AddLink(1100, "What is included and which forms are final in the current federal update?",
            Dlu(10, 135, 293, 23));
    AddLink(1110, "What's included and which forms are final in the current state update?",
            Dlu(10, 158, 293, 23));
    AddText(1101, "Estimated total download time:", Dlu(10, 185, 88, 23));
    AddText(1076, "Less than 1 minutes on Broadband", Dlu(100, 185, 203, 11));
    AddText(1075, "Less than 1 minutes on Dial-up", Dlu(100, 196, 203, 11));
    AddText(1115, "Click Next to download available updates. ", Dlu(10, 216, 293, 11));
    AddButton(1, "Next", PictureSet::Next, 185, 232);
    AddButton(2, "Cancel", PictureSet::Cancel, 250, 232);
}

bool AllUpdsAvailDlg::Initialise() {
    CreateFonts("Verdana", 32, "Arial", 16);
    UseHeadingFont({1057});
    UseBodyFont({1058, 1100, 1110, 1101, 1075, 1076, 1115, 1, 2});
    ListUpdates(*static_cast<ListBox*>(Control(1055)), *static_cast<QLabel*>(Control(1075)),
                *static_cast<QLabel*>(Control(1076)), updates_);
    return true;
}

}  // namespace Presentation
