#include "Gallery.h"

#include <QDir>
#include <QTemporaryDir>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "data/DownloadList.h"
#include "data/Manifest.h"
#include "data/ProductCatalog.h"
#include "platform/LinuxPlatform.h"
#include "screens/AllUpdsAvailDlg.h"
#include "screens/ConnIssueDlg.h"
#include "screens/DLMgrDlg.h"
#include "screens/FinishedDlg.h"
#include "screens/NoNetworkDlg.h"
#include "screens/NoUpdatesAvailDlg.h"
#include "screens/ProxyAuthDlg.h"
#include "screens/ResumeCancelDlg.h"
#include "screens/UpdatesAvailableDlg.h"
#include "screens/WelcomeDlg.h"

using namespace Presentation;

namespace Gallery {

namespace {

const char* const kUpdateCommandLine =
    "/opt/tessra/tessra-swm /home/user/.local/share/Tessra/2007/download.cfg /N "
    "updates.tessra.example";
const char* const kPurchaseCommandLine =
    "/opt/tessra/tessra-swm /purchase http://updates.tessra.example/states/2007/CA.exe";

// Entries as the update flow makes them from the manifests.
class Entries {
  public:
    Data::UpdateEntry* Add(const char* code, int installed, int offered, int size,
                           const std::string& message = std::string()) {
        auto entry = std::make_unique<Data::UpdateEntry>();
        entry->product = catalog_.FindProduct(code);
        entry->year = 2007;
        entry->edition = 4;
        entry->installedVersion = installed;
        entry->offeredVersion = offered;
        entry->size = size;
        entry->message = message;
        owned_.push_back(std::move(entry));
        return owned_.back().get();
    }

  private:
    Data::ProductCatalog catalog_;
    std::vector<std::unique_ptr<Data::UpdateEntry>> owned_;
};

void WriteFile(const std::string& path, int size) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << std::string(static_cast<size_t>(size), 'x');
}

// Sets a variable for the lifetime of the object, then puts the old value back.
class ScopedVariable {
  public:
    ScopedVariable(const char* name, const QByteArray& value)
        : name_(name), had_(qEnvironmentVariableIsSet(name)), old_(qgetenv(name)) {
        qputenv(name, value);
    }
    ~ScopedVariable() {
        if (had_)
            qputenv(name_, old_);
        else
            qunsetenv(name_);
    }

  private:
    const char* name_;
    bool had_;
    QByteArray old_;
};

bool Visit(const Visitor& visit, const QString& name, ScreenFrame& screen) {
    if (!screen.Prepare()) {
        std::fprintf(stderr, "%s: the screen declined to appear\n", qPrintable(name));
        return false;
    }
    return visit(name, screen);
}

}  // namespace

bool VisitEveryScreen(const Visitor& visit) {
    QTemporaryDir scratch;
    if (!scratch.isValid()) return false;
    const ScopedVariable appData("TESSRA_APPDATA",
                                 QDir(scratch.path()).filePath("appdata").toLocal8Bit());
    const ScopedVariable commonAppData("TESSRA_COMMON_APPDATA",
                                       QDir(scratch.path()).filePath("common").toLocal8Bit());
    const QString originalFolder = QDir::currentPath();
    QDir::setCurrent(scratch.path());
    const std::string originalCommandLine = Sys::Linux().CommandLine();
    Sys::Linux().SetCommandLine(kUpdateCommandLine);

    Entries entries;
    const std::string expected = "Next update expected January 18, 2008.";
    const std::string longMessage =
        "The final version of this state module, with every form approved by the state, is "
        "expected in the second week of February 2008.";
    Data::UpdateEntry* federal = entries.Add("us", 3, 4, 1850000);
    Data::UpdateEntry* california = entries.Add("ca", 2, 3, 920000);
    Data::UpdateEntry* help = entries.Add("hlp", 1, 2, 2400000);
    Data::UpdateEntry* newYorkUpdate = entries.Add("ny", 4, 5, 640000);
    Data::UpdateEntry* newYork = entries.Add("ny", 5, 5, 0, expected);
    Data::UpdateEntry* federalCurrent = entries.Add("us", 4, 4, 0, expected);
    Data::UpdateEntry* californiaCurrent = entries.Add("ca", 3, 3, 0, longMessage);
    Data::UpdateEntry* alert = entries.Add(
        "alert", 0, 12, 0,
        "A correction for Form 8863 (Education Credits) is available: please update before you "
        "file your return electronically.");

    bool ok = true;
    Data::DownloadList check;
    {
        WelcomeDlg screen(check);
        ok = Visit(visit, "welcome", screen) && ok;
    }
    {
        Data::EntryList updates{federal};
        Data::EntryList current{newYork, californiaCurrent};
        UpdatesAvailableDlg screen(updates, current);
        ok = Visit(visit, "updates-available-one", screen) && ok;
    }
    {
        // More updates than the list has lines: it scrolls.
        Data::EntryList updates{federal, california, newYorkUpdate, help};
        Data::EntryList current{federalCurrent};
        UpdatesAvailableDlg screen(updates, current);
        ok = Visit(visit, "updates-available-several", screen) && ok;
    }
    {
        Data::EntryList updates{federal, california, help};
        AllUpdsAvailDlg screen(updates);
        ok = Visit(visit, "all-updates-available", screen) && ok;
    }
    {
        Data::EntryList updates{federal, california, help};
        DLMgrDlg screen(updates, 4, "", "");
        screen.Prepare();
        screen.RestartClock();
        screen.HandleRecord(std::make_unique<Data::StartDownloadMsg>("", 0, federal->size));
        screen.HandleRecord(std::make_unique<Data::StartDownloadMsg>("", 0, california->size));
        for (int i = 0; i < 100; ++i)
            screen.HandleRecord(std::make_unique<Data::InProgressDownloadMsg>("", 16384));
        ok = Visit(visit, "progress-update", screen) && ok;
    }
    {
        Sys::Linux().SetCommandLine(kPurchaseCommandLine);
        Data::UpdateEntry* state = entries.Add("ca", 0, 1, 3400000);
        Data::EntryList updates{state};
        DLMgrDlg screen(updates, 4, "", "");
        ok = Visit(visit, "progress-state", screen) && ok;
        ResumeCancelDlg confirm;
        ok = Visit(visit, "resume-cancel-purchase", confirm) && ok;
        Sys::Linux().SetCommandLine(kUpdateCommandLine);
    }
    {
        // Complete downloads have the manifest's size exactly.
        WriteFile(InstallerPath(*federal), federal->size);
        WriteFile(InstallerPath(*california), california->size);
        WriteFile(InstallerPath(*help), help->size);
        Data::EntryList updates{federal, california, help};
        FinishedDlg screen(updates);
        ok = Visit(visit, "finished-success", screen) && ok;
        // What the screen shows while the installers run.
        screen.HideAllControls();
        screen.ShowInstallingTexts(true);
        ok = visit("finished-installing", screen) && ok;
    }
    {
        WriteFile(InstallerPath(*california), california->size / 2);
        Data::EntryList updates{federal, california, help};
        FinishedDlg screen(updates);
        ok = Visit(visit, "finished-failure", screen) && ok;
        WriteFile(InstallerPath(*california), california->size);
    }
    {
        WriteFile(InstallerPath(*help), help->size - 1);
        Data::EntryList updates{federal, california, help};
        FinishedDlg screen(updates);
        ok = Visit(visit, "finished-help-files-incomplete", screen) && ok;
    }
    {
        NoNetworkDlg screen(check);
        ok = Visit(visit, "no-network", screen) && ok;
    }
    {
        ConnIssueDlg screen;
        ok = Visit(visit, "connection-issues", screen) && ok;
    }
    {
        Data::EntryList current{federalCurrent, newYork, californiaCurrent};
        NoUpdatesAvailDlg screen(current);
        ok = Visit(visit, "no-updates", screen) && ok;
    }
    {
        Data::EntryList alerts{alert};
        NoUpdatesAvailDlg screen(alerts);
        ok = Visit(visit, "alert", screen) && ok;
    }
    {
        ResumeCancelDlg confirm;
        ok = Visit(visit, "resume-cancel-update", confirm) && ok;
    }
    {
        ProxyAuthDlg asked("proxy.tessra.example:3128", false, "");
        ok = Visit(visit, "proxy-password", asked) && ok;
        ProxyAuthDlg refused("proxy.tessra.example:3128", true, "taxpayer");
        ok = Visit(visit, "proxy-password-refused", refused) && ok;
    }
    Sys::Linux().SetCommandLine(originalCommandLine);
    QDir::setCurrent(originalFolder);
    return ok;
}

}  // namespace Gallery
