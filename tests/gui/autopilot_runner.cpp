// Shows one screen the way the program does, for the autopilot tests: the
// real Linux platform, the environment's autopilot and transcript. Exits with
// the screen's result (or 3 when the autopilot ends the run).
//
//   gui_autopilot_runner SCREEN [SERVER-ADDRESS [FEDERAL-SIZE]]

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "data/DownloadList.h"
#include "data/Manifest.h"
#include "platform/LinuxPlatform.h"
#include "screens/AllUpdsAvailDlg.h"
#include "screens/ConnIssueDlg.h"
#include "screens/DLMgrDlg.h"
#include "screens/FinishedDlg.h"
#include "screens/NoNetworkDlg.h"
#include "screens/NoUpdatesAvailDlg.h"
#include "screens/QtMessageBox.h"
#include "screens/UpdatesAvailableDlg.h"
#include "screens/WelcomeDlg.h"

using namespace Presentation;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) return 64;
    const std::string screen = argv[1];
    const std::string server = argc > 2 ? argv[2] : "127.0.0.1:9";
    const int federalSize = argc > 3 ? std::atoi(argv[3]) : 70000;
    Sys::Linux().SetCommandLine("/opt/tessra/tessra-swm /tmp/download.cfg /N " + server);
    InstallQtMessageBox();

    Data::ProductCatalog catalog;
    std::vector<std::unique_ptr<Data::UpdateEntry>> owned;
    auto add = [&](const char* code, int installed, int offered, int size, const char* message) {
        auto entry = std::make_unique<Data::UpdateEntry>();
        entry->product = catalog.FindProduct(code);
        entry->year = 2007;
        entry->edition = 1;
        entry->installedVersion = installed;
        entry->offeredVersion = offered;
        entry->size = size;
        entry->message = message;
        owned.push_back(std::move(entry));
        return owned.back().get();
    };
    Data::EntryList updates{add("us", 3, 4, federalSize, ""), add("hlp", 1, 2, 20000, "")};
    Data::EntryList current{add("ny", 5, 5, 0, "Next update expected January 18, 2008.")};
    Data::EntryList alert{add("alert", 0, 12, 0, "Please read this.")};
    Data::DownloadList check;

    int result = -1;
    if (screen == "UpdatesAvailableDlg") result = UpdatesAvailableDlg(updates, current).exec();
    if (screen == "AllUpdsAvailDlg") result = AllUpdsAvailDlg(updates).exec();
    if (screen == "WelcomeDlg") result = WelcomeDlg(check).exec();
    if (screen == "NoNetworkDlg") result = NoNetworkDlg(check).exec();
    if (screen == "ConnIssueDlg") result = ConnIssueDlg().exec();
    if (screen == "NoUpdatesAvailDlg") result = NoUpdatesAvailDlg(alert).exec();
    if (screen == "FinishedDlg") result = FinishedDlg(updates).exec();
    if (screen == "DLMgrDlg") {
        Data::EntryList federal{updates.front()};
        result = DLMgrDlg(federal, 1, "", "").exec();
    }
    std::printf("result %d\n", result);
    return result;
}
