#include "screens/NoUpdatesAvailDlg.h"

#include <QCheckBox>
#include <QLabel>

#include "data/AlertSuppression.h"
#include "data/Text.h"
#include "platform/CommandLine.h"
#include "platform/Platform.h"
#include "screens/EntryText.h"
#include "screens/ListBox.h"
#include "screens/PictureButton.h"
#include "screens/StaticLink.h"
#include "screens/WebAddresses.h"

namespace Presentation {

bool SuppressedAlert(const Data::UpdateEntry& first) {
    const std::string version = std::to_string(first.offeredVersion);
    const Data::AlertSuppression remembered =
        Data::ReadAlertSuppression(Data::AlertSuppressionPath());
    if (remembered.currentVersion && *remembered.currentVersion == version && remembered.show &&
        *remembered.show == "false")
        return true;
    // The alert-mode answer without an alert carries version 1000.
    return Sys::HasWord(Sys::Current().CommandLine(), "/alert") && version == "1000";
}

NoUpdatesAvailDlg::NoUpdatesAvailDlg(const Data::EntryList& entries, QWidget* parent)
    : ScreenFrame(parent, 313, 258, Banner::Large), entries_(entries) {
    // Both variants share the page; Initialise shows one of them.
    AddText(1027, "All Programs Current", Dlu(10, 28, 293, 24));
    AddText(1130, "Tessra Alert", Dlu(10, 28, 293, 24));
    AddText(1142,
            "All of your programs are currently up to date.  Please check again after the "
            "expected release dates listed below.",
            Dlu(10, 53, 293, 23));
    AddText(1131, "This critical information could impact your tax situation.",
            Dlu(10, 53, 293, 23));
    AddList(1026, Dlu(10, 78, 293, 100), true);
    // Up-to-date variant: two links under the list.
    AddLink(1100, "What's included and which forms are final in the current federal update?",
            Dlu(10, 182, 293, 23));
    AddLink(1110, "What's included and which forms are final in the current state update?",
            Dlu(10, 205, 293, 23));
    // Alert variant: the alerts link within its sentence, the check box, the hint.
    AddText(1133, "For more information please visit ", Dlu(10, 184, 160, 11));
    AddLink(1134, QString::fromStdString(AlertsText()), Dlu(170, 184, 120, 11));
    AddText(1144, ".", Dlu(290, 184, 6, 11));
    AddCheck(1132, "Do not show me this particular alert again", Dlu(10, 200, 293, 12));
    AddText(1135, "Click Close to check for Updates.", Dlu(10, 217, 200, 11));
    AddButton(2, "Close", PictureSet::Close, 250, 232);
    connect(static_cast<QCheckBox*>(Control(1132)), &QCheckBox::clicked, this,
            &NoUpdatesAvailDlg::RememberChoice);
}

bool NoUpdatesAvailDlg::Initialise() {
    CreateFonts("Verdana", 32, "Arial", 16);
    const Data::UpdateEntry* first = entries_.empty() ? nullptr : entries_.front();
    if (first && SuppressedAlert(*first)) return false;

    alert_ = first && Data::ToLower(DisplayName(*first)) == "alert";
    if (alert_) {
        ShowControls({1130, 1131, 1133, 1134, 1132, 1135, 1144}, true);
        ShowControls({1027, 1142, 1100, 1110}, false);
        UseHeadingFont({1130});
        UseBodyFont({1131, 1133, 1135, 1134, 1132, 2});
        PlaceAfter(1134, 1133);
        PlaceAfter(1144, 1134);
    } else {
        ShowControls({1027, 1142, 1100, 1110}, true);
        ShowControls({1130, 1135, 1131, 1133, 1134, 1132, 1144}, false);
        UseHeadingFont({1027});
        UseBodyFont({1142, 1100, 1110, 2});
    }

    auto* list = static_cast<ListBox*>(Control(1026));
    for (const Data::UpdateEntry* entry : entries_)
        if (entry) list->AddLines(MessageLines(*entry));
    return true;
}

void NoUpdatesAvailDlg::RememberChoice(bool doNotShow) {
    const Data::UpdateEntry* first = entries_.empty() ? nullptr : entries_.front();
    if (!first) return;
    // A missing data folder means nothing is written.
    Data::WriteAlertSuppression(Data::AlertSuppressionPath(), first->offeredVersion, doNotShow);
}

}  // namespace Presentation
