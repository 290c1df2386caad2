#pragma once
// The argument text's settings path, and the settings files that the alert
// and purchase modes write for themselves.

#include <memory>
#include <string>
#include <vector>

#include "data/DownloadList.h"

namespace App {

// The settings path of the update mode, from the trimmed argument text.
std::string SettingsPath(const std::string& trimmedArguments, bool alertFound, bool hideFound);

std::string AlertSettingsPath();     // per-user data folder + /Tessra/2007/alert.cfg
std::string PurchaseSettingsPath();  // all-users data folder + /Tessra/2007/purchase.cfg
std::vector<std::string> AlertSettingsLines();
std::vector<std::string> PurchaseSettingsLines(const std::string& stateCode);

// Writes each line followed by CR LF, replacing the file, and reads it back as
// a request list through the same descriptor: a second lookup of the path
// could find a file someone swapped in meanwhile. Nothing when the file cannot
// be created or written completely, or its folder is not a trusted one.
std::unique_ptr<Data::DownloadList> WriteSettingsLines(const std::string& path,
                                                       const std::vector<std::string>& lines);
// False, after telling the user which folder and why, when the folder or one
// above it is a link, belongs to another user or others may write to it (see
// Sys::OpenTrustedFolder). A missing folder passes: what needs it fails later
// as it always did.
bool SafeFolder(const std::string& folder);
// The message shown when a settings file cannot be written.
std::string CannotWriteText(const std::string& path);

// The state download of the purchase mode: its address (ending before a
// "/purchase" switch), the installer's file name (after the last "/"), the
// state code (the two characters before the first ".exe", lower case).
std::string PurchaseAddress();
std::string PurchaseFileName(const std::string& address);
std::string PurchaseStateCode(const std::string& address);
// A file name that names a file in the Downloads folder (not empty, "." or "..").
bool UsableFileName(const std::string& name);
std::string BadAddressText(const std::string& address);

}  // namespace App
