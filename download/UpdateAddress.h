#pragma once
// Installer addresses and local paths of update entries.

#include <string>

#include "data/DownloadList.h"
#include "data/Manifest.h"

namespace Transfer {

// Letter for an edition code ("c", "l", "f", "p", "s", "b"), empty for others.
std::string EditionLetter(int32_t edition);
// "upd.exe" with "inst"/"hlp" and, for US and HLP, the edition letter in front.
std::string ServerFileName(const std::string& productCode, int32_t edition);
// Normal-mode local path: current folder + "/Update/" + code + installed + offered + letter +
// "upd.exe".
std::string NormalLocalInstallerPath(const Data::UpdateEntry& entry);
// The state address of a purchase command line, ending before a "/purchase" switch.
std::string StateAddress(const std::string& commandLine);

// Appends one item for an entry that offers an update (no-op otherwise).
void AddUpdateItem(Data::DownloadList& list, const Data::UpdateEntry& entry,
                   const std::string& prom, const std::string& camp);

}  // namespace Transfer
