#include "screens/FinishedDlg.h"

#include <QApplication>
#include <QLabel>
#include <QRadioButton>

#include "download/InstallerCheck.h"
#include "download/UpdateAddress.h"
#include "screens/EntryText.h"
#include "screens/ListBox.h"
#include "screens/PictureButton.h"
#include "screens/StaticLink.h"
#include "screens/WebAddresses.h"

namespace Presentation {

namespace {
const char* const kInstallingHeading = "Installing Tessra Updates";
const char* const kInstallingText = "This may take a moment. Please wait.";
}  // namespace

std::string InstallerPath(const Data::UpdateEntry& entry) {
    // The same rule the progress screen stored the file under (also in install mode).
    Data::DownloadList probe;
    Transfer::AddUpdateItem(probe, entry, std::string(), std::string());
    if (probe.Count() > 0) return probe.Item(0).localPath;
    return Transfer::NormalLocalInstallerPath(entry);
}

FinishedDlg::FinishedDlg(const Data::EntryList& updates, QWidget* parent)
    : ScreenFrame(parent, 313, 258, Banner::Large), updates_(updates) {
    // Success variant.
    AddText(1077, "Update Successfully Downloaded\n\n", Dlu(10, 30, 293, 40));
    AddText(1119,
            "The following updates were downloaded successfully, now we just have to install "
            "them.",
            Dlu(10, 66, 293, 22));
    AddList(1129, Dlu(10, 90, 293, 58), false);
    AddRadio(1108, "     Close Tessra and install updates now.", Dlu(10, 154, 293, 12));
    AddText(1138, "(Your changes will be saved.)", Dlu(34, 167, 260, 11));
    AddRadio(1109, "     Wait until I close Tessra before installing updates.",
             Dlu(10, 182, 293, 12));
    // Failure variant.
    AddText(1079, "Update Failure", Dlu(10, 30, 293, 24));
    AddText(1120, "The following updates were not downloaded successfully.", Dlu(10, 60, 293, 11));
    AddList(1128, Dlu(10, 73, 293, 70), false);
    AddText(1114, "Please try to update again later or download the udpate(s)",
            Dlu(10, 150, 293, 11));
    AddText(1115, "from", Dlu(10, 162, 24, 11));
    AddLink(1112, QString::fromStdString(UpdateCenterText()), Dlu(34, 162, 200, 11));
    AddText(1113, "Click Close to return to Tessra.", Dlu(10, 182, 293, 11));
    // Heading and texts start hidden; Initialise shows one variant.
    ShowControls({1077, 1079}, false);
    AddButton(1, "Finish", PictureSet::Finish, 187, 232);
    AddButton(2, "Cancel", PictureSet::Cancel, 250, 232);
    connect(static_cast<QRadioButton*>(Control(1108)), &QRadioButton::clicked, this,
            &FinishedDlg::ChooseCloseNow);
    connect(static_cast<QRadioButton*>(Control(1109)), &QRadioButton::clicked, this,
            &FinishedDlg::ChooseWait);
}

bool FinishedDlg::Initialise() {
    CreateFonts("Verdana", 26, "Arial", 16);
    failure_ = false;
    auto* complete = static_cast<ListBox*>(Control(1129));
    auto* failed = static_cast<ListBox*>(Control(1128));
    for (const Data::UpdateEntry* entry : updates_) {
        if (!entry) continue;
        const std::string path = InstallerPath(*entry);
        // Exactly the manifest's size and, when it states one, its SHA-256.
        // Checked on a private copy, which is what installs later: the file
        // may change while the screen waits.
        Transfer::VerifiedCopy copy =
            Transfer::VerifiedCopy::Make(path, Transfer::ExpectationOf(entry));
        if (copy.Ok()) {
            complete->AddLine(DisplayName(*entry));
            installers_.push_back(std::move(copy));
        } else if (ProductCode(*entry) != "HLP") {
            failure_ = true;
            failed->AddLine(DisplayName(*entry));
        }
        // An incomplete help-files download is simply not installed.
    }
    if (failure_)
        ShowFailure();
    else
        ShowSuccess();  // also when only the help files are incomplete: the rest installs
    return true;
}

void FinishedDlg::ShowSuccess() {
    ShowControls({1077, 1119, 1129, 1108, 1109}, true);
    ShowControls({1079, 1120, 1128, 1114, 1115, 1112, 1113}, false);
    UseHeadingFont({1077});
    UseBodyFont({1119, 1129, 1108, 1109, 1});
    static_cast<QRadioButton*>(Control(1108))->setChecked(true);
    static_cast<QRadioButton*>(Control(1109))->setChecked(false);
    auto* ok = static_cast<PictureButton*>(Control(1));
    ok->setEnabled(true);
    ok->setText("Finish");
    ok->SetPictures(PictureSet::Finish);
}

void FinishedDlg::ShowFailure() {
    ShowControls({1079, 1120, 1128, 1114, 1115, 1112, 1113}, true);
    ShowControls({1077, 1119, 1129, 1108, 1109, 1138, 2}, false);
    UseHeadingFont({1079});
    UseBodyFont({1120, 1128, 1114, 1115, 1112, 1113, 1});
    PlaceAfter(1112, 1115, DluX(3));
    auto* ok = static_cast<PictureButton*>(Control(1));
    ok->setEnabled(true);
    ok->setText("Close");
    ok->SetPictures(PictureSet::Close);
    failureVariant_ = true;
}

void FinishedDlg::ChooseCloseNow() {
    static_cast<QRadioButton*>(Control(1108))->setChecked(true);
    static_cast<QRadioButton*>(Control(1109))->setChecked(false);
}

void FinishedDlg::ChooseWait() {
    static_cast<QRadioButton*>(Control(1109))->setChecked(true);
    static_cast<QRadioButton*>(Control(1108))->setChecked(false);
}

void FinishedDlg::OnOK() {
    if (failureVariant_) {
        done(1);
        return;
    }
    if (InstallRunner* runner = CurrentInstallRunner()) {
        const bool closeNow = static_cast<QRadioButton*>(Control(1108))->isChecked();
        runner->Install(*this, closeNow, installers_);
    }
    done(1);
}

void FinishedDlg::Minimise() { showMinimized(); }
void FinishedDlg::Restore() { showNormal(); }
void FinishedDlg::HideScreen() { setVisible(false); }
void FinishedDlg::ShowScreen() { showNormal(); }

void FinishedDlg::HideAllControls() {
    for (QWidget* control : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        bool numbered = false;
        const int id = control->objectName().toInt(&numbered);
        if (numbered && id != 1136) control->hide();
    }
}

void FinishedDlg::ShowInstallingTexts(bool visible) {
    auto* heading = static_cast<QLabel*>(Control(1077));
    auto* text = static_cast<QLabel*>(Control(1119));
    heading->setText(kInstallingHeading);
    heading->setFont(HeadingFont());
    text->setText(kInstallingText);
    text->setFont(BodyFont());
    heading->setVisible(visible);
    text->setVisible(visible);
}

void FinishedDlg::Repaint() {
    repaint();
    QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

}  // namespace Presentation
