#pragma once
// Reading a settings file into a request list (one item per product record).

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "data/DownloadList.h"

namespace Data {

struct PendingRecord {
    std::string output;
    int32_t fileBytes = -1;
    int32_t installedVersion = -1;
    int32_t year = -1;
    std::string camp;
    std::string product;
    std::string prom;
    std::string isAlert;
    std::string manifestName;
    std::string address;
};

// Never fails: a file that cannot be opened gives a list without items or values.
// Addresses are built from the platform's whole command line.
std::unique_ptr<DownloadList> LoadSettingsFile(const std::string& path);
// The same from a descriptor open for reading (owned from now on), read from
// its start; `path` names the file only for the rules that look at its name.
std::unique_ptr<DownloadList> LoadSettingsFile(int fd, const std::string& path);

// Appends an item when the record is complete, then empties it (is-alert kept).
void CompleteRecord(PendingRecord& record, DownloadList& list);

// The state installer's address on a purchase command line: from "http" to the
// end or to a following "/purchase" switch, blanks and quotes trimmed; empty
// without "http".
std::string PurchaseAddress(std::string_view commandLine);
// The same address with "ver.txt" in place of its file name: the state's manifest.
std::string PurchaseManifestAddress(std::string_view commandLine);
// Address of a file of the update server: "http://" + the server after "/N ",
// "/updates/" + year + "/win/" + product + "/" [+ registry edition + "/" with
// "/install"] + installed version + "/" + file name, all lower case.
std::string UpdateFileAddress(std::string_view commandLine, int32_t year,
                              const std::string& product, int32_t installedVersion,
                              const std::string& fileName);

// 1..6 for the edition words, 7 for a missing or unknown edition.
int32_t GetEditionCode(const DownloadList& list);

}  // namespace Data
