#include "app/Flows.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "app/Launch.h"
#include "app/Processes.h"
#include "app/Settings.h"
#include "data/DataFolders.h"
#include "data/SettingsFile.h"
#include "data/Text.h"
#include "download/DeltaPlan.h"
#include "download/InstallerCheck.h"
#include "download/TransferJob.h"
#include "platform/CommandLine.h"
#include "platform/Platform.h"
#include "platform/Transcript.h"
#include "platform/TrustedFolder.h"

namespace App {

namespace {

// Why a settings file gave no known edition, for the support log: the
// "required file" message does not say.
std::string SettingsProblem(const std::string& path) {
    if (path.empty()) return "no settings file named on the command line";
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return std::string("cannot read the settings file: ") + std::strerror(errno);
    std::fclose(f);
    return "the settings file names no known edition";
}

// What each download will fetch, chosen during the check so the screens show
// the bytes that will really arrive; only for what is offered now.
void PlanDeltas(const EntryList& updates) {
    for (Data::UpdateEntry* entry : updates) Transfer::PlanDelta(*entry);
}

}  // namespace

CheckedEntries ReadEntries(const Data::DownloadList& list) {
    CheckedEntries out;
    for (int i = 0; i < list.Count(); ++i) {
        const Data::DownloadItem& item = list.Item(i);
        auto entry = Data::ReadManifest(item.localPath, list);
        // The screens need a product for every entry they show.
        if (!entry || !entry->product) continue;
        entry->installedVersion = item.installedVersion;
        Data::UpdateEntry* e = entry.get();
        out.owned.push_back(std::move(entry));
        out.all.push_back(e);
        (Data::OffersUpdate(*e) ? out.updates : out.current).push_back(e);
    }
    return out;
}

bool Flows::RunUpdateCheck(Data::DownloadList& list) {
    Transfer::DownloadWorker worker;
    worker.list = &list;
    worker.notify = false;
    return Transfer::RunList(worker);
}

Flows::Flows(ScreenFactory& screens, UpdateCheck check)
    : screens_(screens), check_(std::move(check)) {}

bool Flows::Check(Data::DownloadList& list) {
    if (check_(list)) return true;
    return CannotConnectLoop(list);
}

bool Flows::CannotConnectLoop(Data::DownloadList& check) {
    for (;;) {
        int result = screens_.NoNetwork(check);
        if (result == 1) return true;
        if (result == 2) return false;
    }
}

bool Flows::AlertMode(bool hide) {
    const std::string path = AlertSettingsPath();
    if (!SafeFolder(Sys::FolderOf(path))) return false;
    auto settings = WriteSettingsLines(path, AlertSettingsLines());
    if (!settings) {
        Sys::Current().ShowMessage(CannotWriteText(path), kErrorTitle);
        return false;
    }
    if (!hide && screens_.Welcome(*settings) == 2) return false;
    // Checked again even when the welcome screen's own check just succeeded.
    if (!Check(*settings)) return false;
    CheckedEntries entries = ReadEntries(*settings);
    if (!entries.all.empty()) screens_.NoUpdatesAvail(entries.all);
    return true;
}

void Flows::UpdateMode(const std::string& settingsPath, bool hide) {
    Sys::Platform& sys = Sys::Current();
    auto settings = Data::LoadSettingsFile(settingsPath);
    int edition = Data::GetEditionCode(*settings);
    if (edition == 7) {
        Sys::ReportFileProblem(settingsPath, SettingsProblem(settingsPath));
        sys.ShowMessage(kRequiredFileText, kErrorTitle);
        return;
    }
    if (!Check(*settings)) return;
    std::string prom = settings->GetValue("prom");
    std::string camp = settings->GetValue("camp");

    CheckedEntries entries = ReadEntries(*settings);
    // A staged rollout may not offer this installation the new version yet.
    Data::HoldBackRollouts(entries.all, entries.updates, entries.current, std::time(nullptr));
    PlanDeltas(entries.updates);
    // Products whose manifest could not be used take no part in the counts.
    size_t u = entries.updates.size();
    size_t p = entries.all.size();
    if (u < p && u == 0) {
        if (!hide) screens_.NoUpdatesAvail(entries.current);
        return;
    }
    int result = u < p ? screens_.UpdatesAvailable(entries.updates, entries.current)
                       : screens_.AllUpdsAvail(entries.updates);
    if (result != 1 || p == 0) return;

    // Neither result is examined: a cancelled download still leads to the
    // finished screen, which finds the files incomplete.
    screens_.Progress(edition, entries.updates, prom, camp);
    screens_.Finished(entries.updates);
}

void Flows::PurchaseMode() {
    Sys::Platform& sys = Sys::Current();
    std::string address = PurchaseAddress();
    std::string fileName = PurchaseFileName(address);
    // The installer path must name a file in the Downloads folder.
    if (!UsableFileName(fileName)) {
        sys.ShowMessage(BadAddressText(address), kErrorTitle);
        return;
    }

    WaitForProgramExit(kTaxProgramName, kPurchaseWaitNotice);

    // Nothing is written into, or run from, a folder another user could have planted.
    std::string installer = Data::CommonDataPath("Downloads/" + fileName);
    if (!SafeFolder(Sys::FolderOf(installer))) return;
    std::string settingsPath = PurchaseSettingsPath();
    auto settings =
        WriteSettingsLines(settingsPath, PurchaseSettingsLines(PurchaseStateCode(address)));
    if (!settings) {
        sys.ShowMessage(CannotWriteText(settingsPath), kErrorTitle);
        return;
    }
    if (!Check(*settings)) return;
    CheckedEntries entries = ReadEntries(*settings);
    PlanDeltas(entries.updates);
    int edition = Data::GetEditionCode(*settings);
    // Cancelled downloads: nothing installed, the settings file stays.
    if (screens_.Progress(edition, entries.updates, "", "") == 2) return;

    // The purchase list has one item; its manifest states what may run. What
    // runs is the copy checked here, whatever happens to the file meanwhile.
    const Data::UpdateEntry* offer = entries.all.empty() ? nullptr : entries.all.front();
    Transfer::VerifiedCopy copy =
        Transfer::VerifiedCopy::Make(installer, Transfer::ExpectationOf(offer));
    if (!copy.Ok()) {
        // Ends as a failed download does: purchase.cfg stays for the next run,
        // Tessra is not started.
        sys.ShowMessage(Transfer::RejectionText(copy.Verdict(), fileName), kProblemTitle,
                        Sys::MessageIcon::Exclamation);
        return;
    }
    bool elevation = sys.ElevationFlag();
    if (elevation) sys.ShowMessage(kStateDownloadCompleteText, kStateDownloadCompleteTitle);
    RunVerifiedAndWait(copy, " /v\"RUN=/G\"", elevation ? kShowNormal : kShow);
    std::remove(settingsPath.c_str());
    LaunchTaxProgram();
}

void Flows::ReinstallMode(const std::string& argumentText) {
    size_t found = Sys::FindWord(argumentText, "-reinstall");
    std::string codesText = Data::StripStart(argumentText, "-reinstall ");
    std::vector<std::string> codes;
    for (size_t i = found == std::string::npos ? 0 : found; i < codesText.size(); i += 3)
        codes.push_back(codesText.substr(i, 2));

    // Installers are run from the Downloads folder, uninstall codes read beside it.
    if (!codes.empty() && !SafeFolder(Data::CommonDataPath("Downloads"))) return;
    for (const auto& code : codes) {
        if (!UninstallState(code)) {
            Sys::ReportFileProblem(ProductCodeFilePath(code), "cannot read the product-code file");
            // Modules already removed stay removed; the tax program is not started.
            Sys::Current().ShowMessage(kReinstallProblemText, kReinstallProblemTitle);
            return;
        }
    }
    for (const auto& code : codes) ReinstallState(code);
    LaunchTaxProgram();
}

}  // namespace App
