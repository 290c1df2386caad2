#include "screens/WelcomeDlg.h"

#include <QApplication>

#include "download/TransferJob.h"
#include "screens/PictureButton.h"

namespace Presentation {

bool RunUpdateCheck(QWidget* screen, Data::DownloadList& check) {
    screen->setEnabled(false);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    Transfer::DownloadWorker worker;
    worker.list = &check;
    worker.notify = false;
    const bool ok = Transfer::RunList(worker);
    QApplication::restoreOverrideCursor();
    screen->setEnabled(true);
    return ok;
}

WelcomeDlg::WelcomeDlg(Data::DownloadList& check, QWidget* parent)
    : ScreenFrame(parent, 313, 258, Banner::Large), check_(check) {
    AddText(1035, "Updating Tessra\n\n", Dlu(14, 40, 285, 46));
    AddText(1056,
            "Tessra will connect to the Internet to check for available updates.  If you are not "
            "already connected to the Internet, you will need to connect before clicking Next.",
            Dlu(14, 82, 285, 60));
    AddButton(1, "Next", PictureSet::Next, 185, 232);
    AddButton(2, "Cancel", PictureSet::Cancel, 250, 232);
}

bool WelcomeDlg::Initialise() {
    CreateFonts("Verdana", 32, "Arial", 16);
    UseHeadingFont({1035});
    UseBodyFont({1056, 1, 2});
    return true;
}

void WelcomeDlg::OnOK() { done(RunUpdateCheck(this, check_) ? 1 : 4); }

}  // namespace Presentation
