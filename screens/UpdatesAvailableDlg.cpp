#include "screens/UpdatesAvailableDlg.h"

#include <QLabel>

#include "screens/EntryText.h"
#include "screens/ListBox.h"
#include "screens/PictureButton.h"
#include "screens/StaticLink.h"

namespace Presentation {

int ListUpdates(ListBox& list, QLabel& dialUp, QLabel& broadband, const Data::EntryList& updates) {
    int64_t total = 0;
    int listed = 0;
    for (const Data::UpdateEntry* entry : updates) {
        if (!entry) continue;
        list.AddLine(UpdateLine(*entry));
        ++listed;
        total += Data::BytesToFetch(*entry);  // a patch when one fits
        const DownloadEstimate estimate = EstimateDownload(total);
        dialUp.setText(QString::fromStdString(estimate.dialUp));
        broadband.setText(QString::fromStdString(estimate.broadband));
    }
    return listed;
}

UpdatesAvailableDlg::UpdatesAvailableDlg(const Data::EntryList& updates,
                                         const Data::EntryList& current, QWidget* parent)
    : ScreenFrame(parent, 313, 258, Banner::Large), updates_(updates), current_(current) {
    AddText(1027, "Update Available", Dlu(10, 28, 293, 24));
    AddText(1031, "Updates are available for the following programs:", Dlu(10, 53, 293, 11));
    AddList(1082, Dlu(10, 65, 293, 27), true);
    AddLink(1100, "What's included and which forms are final in the current federal update?",
            Dlu(10, 94, 293, 23));
    AddLink(1110, "What's included and which forms are final in the current state update?",
            Dlu(10, 117, 293, 23));
    AddText(1101, "Estimated total download time:", Dlu(10, 142, 88, 23));
    AddText(1076, "Less than 1 minutes on Broadband", Dlu(100, 142, 203, 11));
    AddText(1075, "Less than 1 minutes on Dial-up", Dlu(100, 153, 203, 11));
    AddText(1030, "The following programs are currently up to date:", Dlu(10, 168, 293, 11));
    AddList(1083, Dlu(10, 180, 293, 33), true);
    AddText(1115, "Click Next to download available updates.", Dlu(10, 216, 293, 11));
    AddButton(1, "Next", PictureSet::Next, 185, 232);
    AddButton(2, "Cancel", PictureSet::Cancel, 250, 232);
}

bool UpdatesAvailableDlg::Initialise() {
    CreateFonts("Verdana", 32, "Arial", 16);
    UseHeadingFont({1027});
    UseBodyFont({1031, 1100, 1110, 1101, 1075, 1076, 1030, 1115, 1, 2});

    auto* updateList = static_cast<ListBox*>(Control(1082));
    const int listed = ListUpdates(*updateList, *static_cast<QLabel*>(Control(1075)),
                                   *static_cast<QLabel*>(Control(1076)), updates_);
    if (listed > 1) static_cast<QLabel*>(Control(1027))->setText("Updates Available!");

    auto* currentList = static_cast<ListBox*>(Control(1083));
    for (const Data::UpdateEntry* entry : current_)
        if (entry) currentList->AddLines(MessageLines(*entry));
    return true;
}

}  // namespace Presentation
