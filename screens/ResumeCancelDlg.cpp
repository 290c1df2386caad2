#include "screens/ResumeCancelDlg.h"

#include "platform/CommandLine.h"
#include "platform/Platform.h"
#include "screens/PictureButton.h"

namespace Presentation {

const char* const ResumeCancelDlg::kUpdateMessage =
    "Update has not been completed.  If you quit now, the program will not be updated.\n\n"
    "You may want to try updating at a later time to complete the process.\n\n"
    "To continue updating, click Resume.  To stop the update process, click Cancel.";
const char* const ResumeCancelDlg::kPurchaseMessage =
    "State purchase has not been completed.  If you quit now, the state you were getting will "
    "not be installed.\n\nYou may want to try getting your state at a later time.\n\n"
    "To continue getting your state, click Resume.  To stop the process, click Cancel.";

ResumeCancelDlg::ResumeCancelDlg(QWidget* parent) : ScreenFrame(parent, 230, 143, Banner::Small) {
    // The two messages lie on top of each other; one is shown.
    AddText(1118, kUpdateMessage, Dlu(8, 23, 214, 96));
    AddText(1129, kPurchaseMessage, Dlu(8, 23, 214, 96));
    AddButton(1, "&Resume", PictureSet::Resume, 105, 123);
    AddButton(2, "&Cancel", PictureSet::Cancel, 166, 123);
}

bool ResumeCancelDlg::Initialise() {
    // A purchase run is started with the download address on its command line.
    const bool purchase = Sys::HasWord(Sys::Current().CommandLine(), "http");
    ShowControls({1129}, purchase);
    ShowControls({1118}, !purchase);
    CreateFonts(nullptr, 0, "Arial", 16);
    UseBodyFont({purchase ? 1129 : 1118});
    return true;
}

}  // namespace Presentation
