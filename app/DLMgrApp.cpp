#include "app/DLMgrApp.h"

#include "app/Settings.h"
#include "data/Text.h"
#include "platform/CommandLine.h"
#include "platform/Platform.h"
#include "platform/Transcript.h"

namespace {

// Answers every screen with Cancel: a run without screens shows none.
class NoScreens : public App::ScreenFactory {
  public:
    int Welcome(Data::DownloadList&) override { return 2; }
    int NoNetwork(Data::DownloadList&) override { return 2; }
    int UpdatesAvailable(const App::EntryList&, const App::EntryList&) override { return 2; }
    int AllUpdsAvail(const App::EntryList&) override { return 2; }
    int NoUpdatesAvail(const App::EntryList&) override { return 2; }
    int Progress(int, const App::EntryList&, const std::string&, const std::string&) override {
        return 2;
    }
    int Finished(const App::EntryList&) override { return 2; }
};

}  // namespace

bool DLMgrApp::InitInstance() {
    Sys::Platform& sys = Sys::Current();

    if (!sys.AcquireSingleInstance("Tessra Software Manager")) {
        sys.ShowMessage(App::kSecondCopyText, App::kErrorTitle);
        return false;
    }
    m_hMutex = true;

    std::string arguments = sys.ArgumentText();
    if (arguments.empty()) {
        Sys::ReportFileProblem("", "no request file named on the command line");
        sys.ShowMessage(App::kRequiredFileText, App::kErrorTitle);
        return false;
    }

    NoScreens noScreens;
    App::Flows flows(screens_ ? *screens_ : noScreens, check_);

    // Searched in the untrimmed text, anywhere, also inside folder names.
    bool reinstall = Sys::HasWord(arguments, "-reinstall");
    bool http = Sys::HasWord(arguments, "http");
    bool alert = Sys::HasWord(arguments, "alert");
    bool hide = Sys::HasWord(arguments, "hide");

    if (reinstall) {
        flows.ReinstallMode(arguments);
        return false;
    }
    if (alert && !flows.AlertMode(hide)) return false;

    std::string trimmed = Data::StripBoth(arguments, "\t \"'");
    if (http)
        flows.PurchaseMode();
    else
        flows.UpdateMode(App::SettingsPath(trimmed, alert, hide), hide);
    return false;
}
