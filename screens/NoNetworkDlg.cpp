#include "screens/NoNetworkDlg.h"

#include "platform/Platform.h"
#include "screens/ConnIssueDlg.h"
#include "screens/PictureButton.h"
#include "screens/WebAddresses.h"
#include "screens/WelcomeDlg.h"

namespace Presentation {

NoNetworkDlg::NoNetworkDlg(Data::DownloadList& check, QWidget* parent)
    : ScreenFrame(parent, 313, 258, Banner::Large), check_(check) {
    const QString site = QString::fromStdString(MakerWebSite());
    AddText(1027, "Cannot Connect to Server", Dlu(8, 30, 297, 24));
    AddText(1095,
            "Tessra was unable to connect to the server to check for or download update(s) from "
            "within Tessra. Please check your Internet connection. If you are connected to the "
            "Internet, ",
            Dlu(10, 60, 293, 34));
    AddText(1096,
            "the issue may be fixed by downloading the update directly from the Update Center on " +
                site,
            Dlu(10, 94, 293, 22));
    AddButton(1018, "Update Center", PictureSet::UpdateCenter, 10, 120);
    AddText(1098,
            "If you want to troubleshoot the issue downloading from within Tessra, click the "
            "Troubleshooting button below.",
            Dlu(10, 148, 293, 22));
    AddButton(1012, "Troubleshooting", PictureSet::Troubleshooting, 10, 174);
    AddButton(1, "Try Again", PictureSet::TryAgain, 189, 232);
    AddButton(2, "Cancel", PictureSet::Cancel, 250, 232);
    connect(static_cast<PictureButton*>(Control(1018)), &QPushButton::clicked, this,
            &NoNetworkDlg::OpenUpdateCenter);
    connect(static_cast<PictureButton*>(Control(1012)), &QPushButton::clicked, this,
            &NoNetworkDlg::ShowTroubleshooting);
}

bool NoNetworkDlg::Initialise() {
    CreateFonts("Verdana", 32, "Arial", 16);
    UseHeadingFont({1027});
    UseBodyFont({1095, 1096, 1098, 1012, 1018, 1, 2});
    return true;
}

void NoNetworkDlg::OnOK() { done(RunUpdateCheck(this, check_) ? 1 : 4); }

void NoNetworkDlg::OpenUpdateCenter() {
    // A browser that does not start gives no message here.
    Sys::Current().OpenUrl(UpdateCenterUrl());
}

void NoNetworkDlg::ShowTroubleshooting() {
    ConnIssueDlg advice(nullptr);
    advice.exec();
}

}  // namespace Presentation
