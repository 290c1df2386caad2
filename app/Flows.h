#pragma once
// The run modes: which screens each shows, in which order, and what each
// screen's result leads to.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/ScreenFactory.h"
#include "data/DownloadList.h"
#include "data/Manifest.h"

namespace App {

// Message texts and titles of the run.
inline constexpr const char* kErrorTitle = "Software Manager Error";
inline constexpr const char* kSecondCopyText =
    "Please wait for all downloads to finish before updating or downloading a state.";
inline constexpr const char* kRequiredFileText =
    "The Software Manager could not find a required file\nand will now exit.";
inline constexpr const char* kReinstallProblemText = "There was a problem reinstalling your state.";
inline constexpr const char* kReinstallProblemTitle = "Error";
inline constexpr const char* kStateDownloadCompleteText =
    "Your State Download is complete.\n\n                Click OK to install.";
inline constexpr const char* kStateDownloadCompleteTitle = "State Download Complete";
// A state download that may not run.
inline constexpr const char* kProblemTitle = "Problem Detected";
// Told while the purchase waits, with no window, for the user to close the tax program.
inline constexpr const char* kPurchaseWaitNotice =
    "Please close Tessra to download and install your state. The Software Manager goes on as "
    "soon as Tessra has closed.";

// The update entries of one checked settings list. The entries are owned here
// for the whole mode; the lists only refer to them.
struct CheckedEntries {
    std::vector<std::unique_ptr<Data::UpdateEntry>> owned;
    EntryList updates;  // offered version greater than installed version
    EntryList current;  // the others
    EntryList all;      // every usable entry, in request order
};

// One entry per request item whose manifest could be read and names a
// catalogue product; the others are left out of every list.
CheckedEntries ReadEntries(const Data::DownloadList& list);

class Flows {
  public:
    // The update check: the transfer job over the request list, on this thread.
    using UpdateCheck = std::function<bool(Data::DownloadList&)>;
    static bool RunUpdateCheck(Data::DownloadList& list);

    explicit Flows(ScreenFactory& screens, UpdateCheck check = RunUpdateCheck);

    // Writes alert.cfg and shows the alert. False when the whole run ends here
    // (Cancel on one of its screens, or its settings file could not be written).
    bool AlertMode(bool hide);
    void UpdateMode(const std::string& settingsPath, bool hide);
    // The state address is read from the command line, as the download reads it.
    void PurchaseMode();
    void ReinstallMode(const std::string& argumentText);

    // Shows the cannot-connect screen until Try Again succeeds (true) or the
    // user cancels (false).
    bool CannotConnectLoop(Data::DownloadList& check);

  private:
    bool Check(Data::DownloadList& list);

    ScreenFactory& screens_;
    UpdateCheck check_;
};

}  // namespace App
