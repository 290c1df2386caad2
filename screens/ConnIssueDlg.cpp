#include "screens/ConnIssueDlg.h"

#include "screens/ListBox.h"
#include "screens/PictureButton.h"
#include "screens/StaticLink.h"
#include "screens/WebAddresses.h"

namespace Presentation {

std::vector<std::string> ConnIssueDlg::ConnectionAdvice() {
    return {
        "Telephone Dialup Connection:",
        "1. Minimize Tessra",
        "2. Connect to the Internet using your dial-up connection.",
        "3. Once you are connected to the Internet, maximize Tessra",
        "4. Click Try Again to check for an update.",
        "",
        "DSL or Cable Modem Connection:",
        "1. Make sure your cables are securely attached to your computer",
        "and that you are connected to the Internet.",
        "2. Click Try Again to check for an update.",
    };
}

std::vector<std::string> ConnIssueDlg::FirewallAdvice() { return FirewallAdviceLines(); }

std::vector<std::string> ConnIssueDlg::ProxyAdvice() {
    return {
        "If you use a proxy server to connect to the Internet, you may ",
        "need to change Tessra's proxy settings.",
        "",
        "To change proxy server settings:",
        "1. Open the Tools menu in Tessra and select Proxy Settings",
        "2. On the Proxy Settings dialog box, select Specific proxy ",
        "settings.",
        "3. Enter the Proxy Server address and Port Number.",
        "4. Click OK when finished.",
        "",
        "*Note: Changing these settings will only affect Tessra. No ",
        "other programs will be affected. If you are having problems",
        "downloading an update and your system's Internet Options proxy",
        "is set to 'Use automatic configureation script', contact your ",
        "network administrator for the apporpriate settings to manually ",
        "configure your Internet Options, or obtain an update directly ",
        "from " + MakerWebSite() + ".",
    };
}

ConnIssueDlg::ConnIssueDlg(QWidget* parent)
    : ScreenFrame(parent, 234, 314, Banner::Small, "Connection Issues") {
    const QString site = QString::fromStdString(MakerWebSite());
    AddText(1149, "Connection Issues", Dlu(6, 21, 222, 23));
    AddText(1150, "Checking Your Internet Connection", Dlu(6, 46, 222, 12));
    AddList(1055, Dlu(6, 58, 222, 43), false, false);
    AddText(1151, "Disabling Firewalls", Dlu(6, 104, 222, 12));
    AddList(1056, Dlu(6, 116, 222, 44), false, false);
    AddText(1152, "Changing Proxy Server Connections", Dlu(6, 163, 222, 12));
    AddList(1057, Dlu(6, 175, 222, 43), false, false);
    AddText(1148, "Downloading an Update from " + site, Dlu(6, 221, 222, 23));
    AddText(1147,
            "If you have tried the options above and are still unable to update through Tessra, "
            "try downloading the update from",
            Dlu(6, 245, 222, 35));
    AddLink(1153, QString::fromStdString(UpdateCenterText()), Dlu(6, 281, 222, 12));
    AddButton(2, "Close", PictureSet::Close, 168, 295);
}

bool ConnIssueDlg::Initialise() {
    CreateFonts("Verdana", 32, "Verdana", 16);
    UseHeadingFont({1149});
    UseBodyFont({1150, 1151, 1152, 1148, 1147, 1153, 2});
    static_cast<ListBox*>(Control(1055))->AddLines(ConnectionAdvice());
    static_cast<ListBox*>(Control(1056))->AddLines(FirewallAdvice());
    static_cast<ListBox*>(Control(1057))->AddLines(ProxyAdvice());
    return true;
}

}  // namespace Presentation
