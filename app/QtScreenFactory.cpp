#include "app/QtScreenFactory.h"

#include "screens/AllUpdsAvailDlg.h"
#include "screens/DLMgrDlg.h"
#include "screens/FinishedDlg.h"
#include "screens/NoNetworkDlg.h"
#include "screens/NoUpdatesAvailDlg.h"
#include "screens/UpdatesAvailableDlg.h"
#include "screens/WelcomeDlg.h"

namespace App {

int QtScreenFactory::Welcome(Data::DownloadList& check) {
    Presentation::WelcomeDlg dlg(check);
    return dlg.exec();
}

int QtScreenFactory::NoNetwork(Data::DownloadList& check) {
    Presentation::NoNetworkDlg dlg(check);
    return dlg.exec();
}

int QtScreenFactory::UpdatesAvailable(const EntryList& updates, const EntryList& current) {
    Presentation::UpdatesAvailableDlg dlg(updates, current);
    return dlg.exec();
}

int QtScreenFactory::AllUpdsAvail(const EntryList& updates) {
    Presentation::AllUpdsAvailDlg dlg(updates);
    return dlg.exec();
}

int QtScreenFactory::NoUpdatesAvail(const EntryList& entries) {
    Presentation::NoUpdatesAvailDlg dlg(entries);
    return dlg.exec();
}

int QtScreenFactory::Progress(int edition, const EntryList& updates, const std::string& prom,
                              const std::string& camp) {
    Presentation::DLMgrDlg dlg(updates, edition, prom, camp);
    return dlg.exec();
}

int QtScreenFactory::Finished(const EntryList& updates) {
    Presentation::FinishedDlg dlg(updates);
    return dlg.exec();
}

}  // namespace App
